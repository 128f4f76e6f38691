// genfilter: the mail the delivery agent generates (failure reports, list
// copies, automatic replies, forwards) through the mail filters named by
// ZELDELIV `Milters` before it is queued, so that a signing filter signs it
// like the mail of the inside clients. The message is presented as coming
// from 127.0.0.1 with {daemon_name} "zeldeliv", so a filter's rule for
// internal hosts takes it as our own; only a message with a recipient in
// another domain is filtered (mail that stays here needs no signature).
//
// Where the filters run: a filter connection is a network socket, which
// the agent's privileged side never holds. There HandGeneratedFiltersOff is
// set (ZELDELIV/remote), and FilterGeneratedFile hands the message file's
// descriptor and the envelope to the remote side, which runs
// RunGeneratedFilters and answers; while it cannot, the message waits
// (kRetry): mail is never queued unfiltered while filters are configured.
// Without the hook (the remote side itself, tests) the filters run here.
//
// Settings: ZELDELIV's Milters, MilterDefaultAction and the time-outs, as
// the receiver reads them (common/milter.h), loaded by LoadDeliveryFilters.
//
// Caller: msgtext's GeneratedMessage::Queue, on the agent's own threads,
// once the message file is whole and durable and before its recipient file
// is written. The filter's changes to the text rewrite the message file
// (whole and durable under a temporary name, then renamed over it: nothing
// reads it before the recipient file exists); envelope changes change
// *sender and *recipients. Untrusted input: the filters' answers, and the
// envelope and text the remote side hands back, which are checked here as
// if a filter had sent them. Results and failures are events 208-211.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

void LoadDeliveryFilters();
// Filters are configured.
bool GeneratedFiltersEnabled();
// The largest text a filter run reads or takes back (MilterSettings).
size_t GeneratedFilterTextLimit();

enum class GeneratedFilterOutcome {
  kQueue,    // queue it (with the changes made)
  kDrop,     // a filter refused or discarded it: it is dropped
  kRetry,    // a temporary failure: the caller fails as for a disk error
};

// The envelope of a generated message, as the filters leave it.
struct GeneratedEnvelope {
  std::string Sender;
  std::vector<std::string> Recipients;
};

GeneratedFilterOutcome FilterGeneratedFile(const std::string &path, const std::string &messageId,
                                           std::string *sender,
                                           std::vector<std::string> *recipients);

// Runs the filters on text (the message file's content) for env. With
// kQueue, env is the envelope to queue (at least one recipient) and
// *changed holds the text when the filters changed it.
GeneratedFilterOutcome RunGeneratedFilters(std::string_view text, const std::string &messageId,
                                           GeneratedEnvelope &env,
                                           std::optional<std::string> *changed);

// Hands the work of RunGeneratedFilters to where the filters can be
// reached; messageFd is the message file, open for reading.
typedef GeneratedFilterOutcome (*GeneratedFilterHandOff)(int messageFd,
                                                         const std::string &messageId,
                                                         GeneratedEnvelope &env,
                                                         std::optional<std::string> *changed);
extern GeneratedFilterHandOff HandGeneratedFiltersOff;
