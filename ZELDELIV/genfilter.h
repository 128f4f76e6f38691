// genfilter: the mail the delivery agent generates (failure reports, list
// copies, automatic replies, forwards) through the mail filters named by
// ZELDELIV `Milters` before it is queued, so that a signing filter signs it
// like the mail of the inside clients. The message is presented as coming
// from 127.0.0.1 with {daemon_name} "zeldeliv", so a filter's rule for
// internal hosts takes it as our own; only a message with a recipient in
// another domain is filtered (mail that stays here needs no signature).
//
// Settings: ZELDELIV's Milters, MilterDefaultAction and the time-outs, as
// the receiver reads them (common/milter.h), loaded by LoadDeliveryFilters.
//
// Caller: msgtext's GeneratedMessage::Queue, on the agent's own threads,
// once the message file is whole and durable and before its recipient file
// is written. The filter's changes to the text rewrite the message file
// (whole and durable under a temporary name, then renamed over it: nothing
// reads it before the recipient file exists); envelope changes change
// *sender and *recipients. Results and failures are events 208-211.
#pragma once

#include <string>
#include <vector>

void LoadDeliveryFilters();

enum class GeneratedFilterOutcome {
  kQueue,    // queue it (with the changes made)
  kDrop,     // a filter refused or discarded it: it is dropped
  kRetry,    // a temporary failure: the caller fails as for a disk error
};

GeneratedFilterOutcome FilterGeneratedFile(const std::string &path, const std::string &messageId,
                                           std::string *sender,
                                           std::vector<std::string> *recipients);
