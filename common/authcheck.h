// authcheck: what the receiver checks of mail that arrives from other
// servers: SPF (RFC 7208) on libspf2, the DKIM signatures (common/dkim)
// and DMARC (RFC 7489) on libopendmarc, with the organisational domain from
// the public suffix list; the Authentication-Results field (RFC 8601) that
// records them; and what the receiver does with a DMARC failure.
//
// Nothing here expands SPF macros, evaluates mechanisms or aligns domains:
// libspf2 and libopendmarc do. Every DNS question goes through an
// AuthDnsLookup; NameServerDnsLookup asks the NameServer servers through
// platform/dnsclient. libspf2's DNS layer is replaced by one that asks the
// lookup (its resolver layer is never made); libopendmarc is handed the
// DMARC record we fetched (opendmarc_policy_store_dmarc), so its own
// resolver is never used. No answer from the servers is "temperror".
//
// Callers: the receiver (ZELRECV/msgaccept) on a pool thread, for mail on
// the plain port from clients that are neither relay clients nor logged on.
//
// Untrusted input: the client's address text, HELO name and MAIL FROM
// (already bounded by the dialogue), the message (read bounded by
// SplitMessageSource) and every DNS answer. Text from them reaches the
// field only through AuthPropertyValue, and a reply only as a checked
// domain.
//
// Threads: any; each call has its own library handles (the public suffix
// list is read once per process, under a once-flag).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/dkim.h"
#include "common/milterresult.h"
#include "platform/dnsclient.h"

// Where Debian's publicsuffix package puts the list.
constexpr const char *kPublicSuffixFile = "/usr/share/publicsuffix/public_suffix_list.dat";
// A domain or selector in the field: a DNS name is at most this long.
constexpr size_t kMaxAuthPropertyText = 253;
// The authserv-id of a field that came with the message is looked at this
// far: a host name is shorter; a longer one is not ours.
constexpr size_t kMaxAuthServIdScan = 1024;

// The answer to one question of any type.
struct AuthDnsAnswer {
  uint8_t Rcode = 0;                 // kDnsRcodeNoError, kDnsRcodeNxDomain ...
  std::vector<DnsRecord> Records;    // the answer section's records of the type asked
};
// false: no answer at all (every server silent or unreachable).
using AuthDnsLookup =
    std::function<bool(std::string_view name, uint16_t type, AuthDnsAnswer &answer)>;
// Answers with records are kept for the process, for their TTL (at most
// kMaxAuthCacheTtl) and at most kMaxAuthCachedAnswers of them: a busy
// sender's key, policy and SPF record come with every message, and the round
// trip to the name server costs the receiver more than the check. Negative
// answers and failures are never kept (their time is not in the answer),
// nor is a record with a TTL of 0.
constexpr uint32_t kMaxAuthCacheTtl = 3600;
constexpr size_t kMaxAuthCachedAnswers = 4096;
AuthDnsLookup NameServerDnsLookup(std::vector<DnsServerAddress> servers);
// Forgets the kept answers (tests).
void ClearAuthDnsCache();
// The same lookup for TXT questions, as DkimVerify asks them.
DkimTxtLookup TxtLookupOf(const AuthDnsLookup &lookup);
// A TXT record's strings joined (its raw RDATA), at most 64 KiB.
std::string TxtRecordText(const std::string &raw);
// The organisational domain of a domain (public suffix list); the domain
// itself when it is under no listed suffix or the list cannot be read.
std::string OrganisationalDomainOf(const std::string &domain);

// What the receiver knows of the client.
struct ArrivalClient {
  std::string Address;    // "192.0.2.1" or "2001:db8::1"
  bool bIPv6 = false;
  std::string HeloName;
  std::string MailFrom;   // "" for the null sender
};

enum class SpfResult { kNone, kNeutral, kPass, kFail, kSoftFail, kTempError, kPermError };
enum class DmarcResult { kNone, kPass, kFail, kTempError, kPermError };
enum class DmarcPolicy { kNone, kQuarantine, kReject };

// A DMARC record's rua= list is read this far; more destinations than a
// report would be sent to (aggregate reports, common/dmarcreport).
constexpr size_t kMaxRuaUris = 8;
// One rua= URI: an address and a size limit fit well inside this.
constexpr size_t kMaxRuaUri = 320;

// The DMARC record that applied and what the library made of the message,
// as the aggregate report (common/dmarcjournal) records it.
struct DmarcPublished {
  bool bFound = false;          // a record was found and parsed
  std::string Domain;           // the record's: the From domain's, or its organisation's
  DmarcPolicy P = DmarcPolicy::kNone;
  DmarcPolicy Sp = DmarcPolicy::kNone;   // p= when the record has no sp=
  int Pct = 100;
  bool bStrictDkim = false;     // adkim=s
  bool bStrictSpf = false;      // aspf=s
  std::vector<std::string> Rua; // as published, at most kMaxRuaUris of at most kMaxRuaUri
  bool bDkimAligned = false;    // an aligned DKIM signature passed
  bool bSpfAligned = false;     // SPF passed for an aligned domain
};

struct ArrivalChecks {
  SpfResult Spf = SpfResult::kNone;
  std::string SpfDomain;        // the domain checked: MAIL FROM's, or the HELO name
  bool bSpfHelo = false;        // MAIL FROM was empty: the HELO name was checked
  std::vector<DkimCheck> Dkim;  // empty: no signature
  DmarcResult Dmarc = DmarcResult::kNone;
  std::string FromDomain;       // the author's domain ("" when none could be read)
  DmarcPolicy Policy = DmarcPolicy::kNone;   // the one that applies (p=, or sp=), pct applied
  DmarcPublished Published;
};

// "pass", "fail", ... as the field writes them.
const char *SpfResultName(SpfResult result);
const char *DmarcResultName(DmarcResult result);
const char *DmarcPolicyName(DmarcPolicy policy);

// Runs the three checks. False with *why when the message cannot be read
// (the caller accepts it unchecked, as before the checks existed).
bool CheckArrival(const MessageSource &source, const ArrivalClient &client,
                  const AuthDnsLookup &lookup, ArrivalChecks *checks, std::string *why);

// What the receiver does with a checked message.
enum class ArrivalVerdict { kAccept, kJunk, kReject, kTempFail };
// DMARC failures alone decide; SPF and DKIM failures never do. A failure
// under p=reject is refused when dmarcReject (DmarcReject), else filed as
// junk; under p=quarantine filed as junk. A temporary failure under
// p=reject asks the sender to try again; under any other policy it is
// accepted.
ArrivalVerdict DecideArrival(const ArrivalChecks &checks, bool dmarcReject);
// The reply of a refusal ("" for kAccept and kJunk), CR LF ended.
std::string ArrivalReply(ArrivalVerdict verdict, const ArrivalChecks &checks);

// A domain, selector or algorithm as a property value: lower case, letters,
// digits, "-", "_" and "."; "" when the text has anything else or is over
// kMaxAuthPropertyText (the property is then left out).
std::string AuthPropertyValue(std::string_view text);
// The field's value (behind "Authentication-Results:"), folded with "\n\t".
std::string AuthResultsValue(std::string_view authservId, const ArrivalChecks &checks);
// The authserv-id that begins a field's value (comments and folding
// skipped; a quoted-string unquoted), at most kMaxAuthServIdScan bytes
// looked at; "" when there is none.
std::string AuthServIdOf(std::string_view value);
// The edits of the message text: every Authentication-Results field whose
// authserv-id is ours removed, and the new field put behind the first
// Received field (the receiver's own line), above every field that came
// with the message. False with *why when the header cannot be read.
bool AuthResultsEdits(const MessageSource &source, std::string_view authservId,
                      const std::string &value, MilterEdits *edits, std::string *why);
