// dkim: DKIM signatures (RFC 6376, and Ed25519 of RFC 8463) made and checked
// by libopendkim; this module only feeds it and reads its answers. The
// canonicalisation, hashing and key record parsing are the library's.
//
// Signing: relaxed/relaxed, the header fields RFC 6376 5.4.1 recommends
// (the library's list) with From signed once more than it occurs, so that
// no From can be added after signing; one signature per key (an RSA and an
// Ed25519 one when the domain has both: common/dkimkeys). The caller puts
// the fields on top of the message.
//
// Verifying: every signature of the message, at most kMaxDkimSignatures of
// them (the rest are not looked at), each with its own result in the terms
// of the Authentication-Results field (RFC 8601 2.7.1). The key records are
// asked for through a DkimTxtLookup: NameServerTxtLookup asks the servers
// of NameServer through platform/dnsclient, never the C library's resolver
// (libopendkim's DNS hooks are set to it once, for the process; its own
// resolver is never started). No answer, or an answer with an error other
// than "no such name", is a temporary failure (temperror).
//
// Callers: the receiver (authenticated submission and relay clients) and
// the delivery agent (the mail it generates) sign; zeladm dkim verify, and
// the checks on arriving mail, verify.
//
// Untrusted input: the message (its header block is read up to
// kMaxMilterHeaderBlock by SplitMessageSource, its body a piece at a time,
// never whole in memory) and the key records from DNS. The text is the
// spool's SMTP form (CR LF lines, dot-stuffed, the "." line at the
// end); it is un-stuffed before the library sees it.
//
// Threads: any; each call has its own library handles. The lookup runs on
// the calling thread, inside the call.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/dkimkeys.h"
#include "common/milterresult.h"
#include "platform/dnsclient.h"

// Signatures of one message looked at; RFC 6376 leaves the number to the
// verifier, and five is more than honest mail carries.
constexpr size_t kMaxDkimSignatures = 5;
// The part of b= an Authentication-Results field names (RFC 6008: enough
// to tell two signatures of one domain apart).
constexpr size_t kDkimHeaderBLength = 12;

// The signature fields for keys, in the order of keys: each "DKIM-Signature"
// value folded with "\n\t" (the caller writes it in its file's line ends).
// False with *why when the text cannot be read or the library fails.
bool DkimSign(const MessageSource &source, const std::vector<DkimSigningKey> &keys,
              std::vector<std::string> *values, std::string *why);

// The domain a message is signed for: that of the first address of its
// From field (the author's, which receivers align the signature with), or
// when it has none the envelope sender's (returnPath). Lower case; "" when
// neither names a domain or the text cannot be read.
std::string DkimSigningDomain(const MessageSource &source, std::string_view returnPath);

// The domain of the first mailbox of a From field, lower case; "" when
// it names none.
std::string FromFieldDomain(const MessageTextField &field);

// Signs for DkimSigningDomain when isLocal says it is ours and it has keys
// (common/dkimkeys): the fields' values in *values, the domain in *domain.
// True with no values: nothing to sign. False with *why: the domain has
// keys but the message could not be signed (the caller sends it unsigned
// and reports it: event 241).
bool DkimSignForDomain(const MessageSource &source, std::string_view returnPath,
                       const std::function<bool(std::string_view)> &isLocal,
                       std::vector<std::string> *values, std::string *domain, std::string *why);

// The edit that puts the signature fields on top of a stored text
// (ApplyMilterEdits writes it), in the order of values.
MilterEdits DkimSignatureEdits(std::vector<std::string> values);

// The answer to one TXT question.
struct DkimTxtAnswer {
  uint8_t Rcode = 0;                  // kDnsRcodeNoError, kDnsRcodeNxDomain ...
  std::vector<std::string> Records;   // each TXT record's data as on the wire
};
// false: no answer at all (every server silent or unreachable).
using DkimTxtLookup = std::function<bool(std::string_view name, DkimTxtAnswer &answer)>;
// Asks servers (ReadNameServerList's) with DnsQuery's defaults.
DkimTxtLookup NameServerTxtLookup(std::vector<DnsServerAddress> servers);

enum class DkimResult { kPass, kFail, kNeutral, kTempError, kPermError, kPolicy };
// "pass", "fail", "neutral", "temperror", "permerror", "policy".
const char *DkimResultName(DkimResult result);

struct DkimCheck {
  DkimResult Result = DkimResult::kNeutral;
  std::string Domain;      // d=, as the signature has it ("" when absent)
  std::string Selector;    // s=
  std::string Algorithm;   // a=
  std::string HeaderB;     // the first kDkimHeaderBLength characters of b=
  std::string Reason;      // the library's word for a result that is not pass
};

// Checks the signatures of source; *checks empty: the message has none
// (dkim=none). False with *why when the text cannot be read or split (a
// header block over the bound, no "." line): nothing was checked.
bool DkimVerify(const MessageSource &source, const DkimTxtLookup &lookup,
                std::vector<DkimCheck> *checks, std::string *why);
