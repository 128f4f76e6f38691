// dkim: see dkim.h.
#include "common/dkim.h"

// The library's header is C and spells its booleans _Bool, which C++ calls
// bool (the same type in the x86-64 and ARM ABIs).
#define _Bool bool
#include <opendkim/dkim.h>
#undef _Bool

#include <cstring>
#include <memory>

#include "common/mimeaddr.h"
#include "common/mimeheader.h"
#include "platform/ascii.h"
#include "platform/dnswire.h"
#include "platform/pubkeycache.h"

namespace {

// The body goes to the library in pieces of this size: a large message is
// never whole in memory.
constexpr size_t kBodyPiece = 64 * 1024;
// libopendkim folds the fields it writes at this column after the name.
constexpr size_t kSignatureNameLength = sizeof("DKIM-Signature: ") - 1;
// What libopendkim logs a message as; the handles are never logged.
const unsigned char kJobId[] = "zel";

struct DkimFree {
  void operator()(DKIM *d) const { dkim_free(d); }
};
using DkimHandle = std::unique_ptr<DKIM, DkimFree>;

// ---- the library's DNS, through the caller's lookup

// The lookup of the DkimVerify running on this thread and the answers it
// gave; a query handle is an answer's place in Replies, plus one.
struct LookupScope {
  const DkimTxtLookup *Lookup = nullptr;
  struct Reply {
    bool Ok = false;
    size_t Bytes = 0;
  };
  std::vector<Reply> Replies;
};
thread_local LookupScope *tLookupScope = nullptr;

// An answer the library may read: no such name (no key), or records. Any
// other error, a truncated answer or no answer is a temporary failure.
bool UsableAnswer(const DkimTxtLookup &lookup, std::string_view name, std::string &wire) {
  DkimTxtAnswer answer;
  if (!lookup(name, answer)) return false;
  if (answer.Rcode != kDnsRcodeNoError && answer.Rcode != kDnsRcodeNxDomain) return false;
  if (answer.Rcode == kDnsRcodeNxDomain) answer.Records.clear();
  return BuildDnsReply(name, kDnsTypeTXT, answer.Rcode, answer.Records, wire);
}

int DnsStart(void *, int type, unsigned char *query, unsigned char *buf, size_t buflen,
             void **qh) {
  LookupScope *scope = tLookupScope;
  if (scope == nullptr || type != kDnsTypeTXT) return -1;   // only keys, only while verifying
  std::string_view name(reinterpret_cast<char *>(query),
                        strnlen(reinterpret_cast<char *>(query), kMaxDnsNameTextLength + 1));
  LookupScope::Reply reply;
  std::string wire;
  if (UsableAnswer(*scope->Lookup, name, wire) && wire.size() <= buflen) {
    std::memcpy(buf, wire.data(), wire.size());
    reply = {true, wire.size()};
  }
  scope->Replies.push_back(reply);
  *qh = reinterpret_cast<void *>(static_cast<uintptr_t>(scope->Replies.size()));
  return 0;
}

int DnsWait(void *, void *qh, struct timeval *, size_t *bytes, int *error, int *dnssec) {
  LookupScope *scope = tLookupScope;
  const uintptr_t index = reinterpret_cast<uintptr_t>(qh);
  if (scope == nullptr || index == 0 || index > scope->Replies.size()) return DKIM_DNS_ERROR;
  const LookupScope::Reply &reply = scope->Replies[index - 1];
  if (error != nullptr) *error = 0;
  if (dnssec != nullptr) *dnssec = DKIM_DNSSEC_UNKNOWN;
  if (!reply.Ok) return DKIM_DNS_ERROR;
  *bytes = reply.Bytes;
  return DKIM_DNS_SUCCESS;
}

// The answers live in the scope, which the verify call frees.
int DnsCancel(void *, void *) { return DKIM_DNS_SUCCESS; }
int DnsInit(void **service) {
  *service = nullptr;
  return 0;
}
void DnsClose(void *) {}
int DnsSetting(void *, const char *) { return 0; }

// Signatures beyond the first kMaxDkimSignatures are never processed.
DKIM_CBSTAT Prescreen(DKIM *, DKIM_SIGINFO **sigs, int nsigs) {
  for (int i = static_cast<int>(kMaxDkimSignatures); i < nsigs; ++i) dkim_sig_ignore(sigs[i]);
  return DKIM_CBSTAT_CONTINUE;
}

void SetOption(DKIM_LIB *lib, int option, const void *value, size_t size) {
  dkim_options(lib, DKIM_OP_SETOPT, option, const_cast<void *>(value), size);
}

// One library handle for the process (the library is thread-safe with
// per-message handles), with its DNS hooks set before any use, so that its
// own resolver is never started.
DKIM_LIB *Library() {
  static DKIM_LIB *const lib = [] {
    DKIM_LIB *l = dkim_init(nullptr, nullptr);
    if (l == nullptr) return l;
    // The library decodes each signer's key afresh; keep decoded keys.
    EnablePublicKeyCache();
    // Signatures with errors keep their handles, so each gets its own
    // result.
    unsigned int flags = DKIM_LIBFLAGS_BADSIGHANDLES;
    SetOption(l, DKIM_OPTS_FLAGS, &flags, sizeof flags);
    SetOption(l, DKIM_OPTS_SIGNHDRS, dkim_should_signhdrs, sizeof(unsigned char **));
    static const char *const kOversigned[] = {"from", nullptr};
    SetOption(l, DKIM_OPTS_OVERSIGNHDRS, kOversigned, sizeof(char **));
    dkim_dns_set_query_service(l, nullptr);
    dkim_dns_set_init(l, DnsInit);
    dkim_dns_set_close(l, DnsClose);
    dkim_dns_set_nslist(l, DnsSetting);
    dkim_dns_set_config(l, DnsSetting);
    dkim_dns_set_trustanchor(l, DnsSetting);
    dkim_dns_set_query_start(l, DnsStart);
    dkim_dns_set_query_waitreply(l, DnsWait);
    dkim_dns_set_query_cancel(l, DnsCancel);
    dkim_set_prescreen(l, Prescreen);
    return l;
  }();
  return lib;
}

// ---- the message, to every handle

// The header fields, un-stuffed and without their last line end, then the
// body a piece at a time. A handle that refuses a part keeps failing (the
// library's status is sticky); the caller reads it at the end.
bool FeedFields(const MessageTextLayout &layout, const std::vector<DKIM *> &handles,
                DKIM_STAT *eoh) {
  for (const MessageTextField &field : layout.Fields) {
    std::string text;
    AppendUnstuffedBody(field.Raw, 0, field.Raw.size(), &text);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    for (DKIM *d : handles)
      dkim_header(d, reinterpret_cast<unsigned char *>(text.data()), text.size());
  }
  for (DKIM *d : handles) *eoh = dkim_eoh(d);
  return true;
}

bool FeedMessage(const MessageSource &source, const std::vector<DKIM *> &handles, DKIM_STAT *eoh,
                 std::string *why) {
  std::string head;
  MessageTextLayout layout;
  if (!SplitMessageSource(source, &head, &layout, why)) return false;
  FeedFields(layout, handles, eoh);
  if (*eoh == DKIM_STAT_NOSIG) return true;   // verifying a message without signatures
  MessageBodyReader reader(source, layout.BodyStart, layout.BodyEnd);
  std::string piece;
  while (reader.Next(kBodyPiece, &piece))
    for (DKIM *d : handles)
      dkim_body(d, reinterpret_cast<unsigned char *>(piece.data()), piece.size());
  if (reader.Failed()) return *why = "the message cannot be read", false;
  return true;
}

std::string Text(const unsigned char *text) {
  return text == nullptr ? std::string() : std::string(reinterpret_cast<const char *>(text));
}

// ---- a signature's result

DkimResult ErrorResult(int error) {
  switch (error) {
    case DKIM_SIGERROR_KEYFAIL:
      return DkimResult::kTempError;
    case DKIM_SIGERROR_BADSIG:
      return DkimResult::kFail;
    case DKIM_SIGERROR_NOKEY:
    case DKIM_SIGERROR_DNSSYNTAX:
    case DKIM_SIGERROR_MULTIREPLY:
    case DKIM_SIGERROR_KEYVERSION:
    case DKIM_SIGERROR_KEYUNKNOWNHASH:
    case DKIM_SIGERROR_KEYHASHMISMATCH:
    case DKIM_SIGERROR_NOTEMAILKEY:
    case DKIM_SIGERROR_KEYTYPEMISSING:
    case DKIM_SIGERROR_KEYTYPEUNKNOWN:
    case DKIM_SIGERROR_KEYREVOKED:
    case DKIM_SIGERROR_KEYDECODE:
      return DkimResult::kPermError;
    case DKIM_SIGERROR_EXPIRED:
    case DKIM_SIGERROR_FUTURE:
    case DKIM_SIGERROR_TIMESTAMPS:
    case DKIM_SIGERROR_SUBDOMAIN:
    case DKIM_SIGERROR_TOOLARGE_L:
    case DKIM_SIGERROR_MBSFAILED:
    case DKIM_SIGERROR_KEYTOOSMALL:
      return DkimResult::kPolicy;
    default:   // the signature's own syntax
      return DkimResult::kNeutral;
  }
}

DkimCheck CheckOf(DKIM_SIGINFO *sig) {
  DkimCheck check;
  check.Domain = Text(dkim_sig_getdomain(sig)).substr(0, kMaxDnsNameTextLength);
  check.Selector = Text(dkim_sig_getselector(sig)).substr(0, kMaxDnsNameTextLength);
  check.Algorithm = Text(dkim_sig_gettagvalue(sig, false, const_cast<unsigned char *>(
                                                              reinterpret_cast<const unsigned char *>("a"))))
                        .substr(0, kMaxDnsLabelLength);
  for (char c : Text(dkim_sig_gettagvalue(
           sig, false, const_cast<unsigned char *>(reinterpret_cast<const unsigned char *>("b")))))
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && check.HeaderB.size() < kDkimHeaderBLength)
      check.HeaderB += c;
  const unsigned flags = dkim_sig_getflags(sig);
  const int error = dkim_sig_geterror(sig);
  if ((flags & DKIM_SIGFLAG_PASSED) != 0 && dkim_sig_getbh(sig) == DKIM_SIGBH_MATCH) {
    check.Result = DkimResult::kPass;
  } else if (error != DKIM_SIGERROR_OK) {
    check.Result = ErrorResult(error);
    const char *text = dkim_sig_geterrorstr(error);
    check.Reason = text == nullptr ? "error " + std::to_string(error) : text;
  } else if (dkim_sig_getbh(sig) == DKIM_SIGBH_MISMATCH) {
    check.Result = DkimResult::kFail;
    check.Reason = "body hash mismatch";
  } else {
    check.Result = DkimResult::kTempError;   // the library stopped before it
    check.Reason = "not verified";
  }
  return check;
}

}  // namespace

bool DkimSign(const MessageSource &source, const std::vector<DkimSigningKey> &keys,
              std::vector<std::string> *values, std::string *why) {
  values->clear();
  DKIM_LIB *lib = Library();
  if (lib == nullptr) return *why = "libopendkim cannot start", false;
  std::vector<DkimHandle> owned;
  std::vector<DKIM *> handles;
  for (const DkimSigningKey &key : keys) {
    DKIM_STAT status = DKIM_STAT_OK;
    DKIM *d = dkim_sign(
        lib, kJobId, nullptr,
        reinterpret_cast<dkim_sigkey_t>(const_cast<char *>(key.PrivateKeyPem.c_str())),
        reinterpret_cast<const unsigned char *>(key.Selector.c_str()),
        reinterpret_cast<const unsigned char *>(key.Domain.c_str()), DKIM_CANON_RELAXED,
        DKIM_CANON_RELAXED,
        key.Type == SigningKeyType::kRsa ? DKIM_SIGN_RSASHA256 : DKIM_SIGN_ED25519SHA256, -1,
        &status);
    if (d == nullptr) return *why = std::string("dkim_sign: ") + dkim_getresultstr(status), false;
    owned.emplace_back(d);
    handles.push_back(d);
  }
  DKIM_STAT eoh = DKIM_STAT_OK;
  if (!FeedMessage(source, handles, &eoh, why)) return false;
  for (DKIM *d : handles) {
    unsigned char *text = nullptr;
    size_t length = 0;
    DKIM_STAT status = dkim_eom(d, nullptr);
    if (status == DKIM_STAT_OK) status = dkim_getsighdr_d(d, kSignatureNameLength, &text, &length);
    if (status != DKIM_STAT_OK || text == nullptr) {
      const char *error = dkim_geterror(d);
      *why = std::string("cannot sign: ") + (error != nullptr ? error : dkim_getresultstr(status));
      values->clear();
      return false;
    }
    std::string value;
    for (size_t i = 0; i < length; ++i)
      if (text[i] != '\r') value += static_cast<char>(text[i]);
    values->push_back(std::move(value));
  }
  return true;
}

std::string FromFieldDomain(const MessageTextField &field) {
  std::string value = MimeUnfold(MilterFieldValue(field, false), kMaxFieldValue);
  for (const MimeAddress &a : MimeParseAddressList(value))
    if (a.What == MimeAddress::Kind::Mailbox && !a.Host.empty()) return LowerAsciiCopy(a.Host);
  return "";
}

std::string DkimSigningDomain(const MessageSource &source, std::string_view returnPath) {
  std::string head, why;
  MessageTextLayout layout;
  if (!SplitMessageSource(source, &head, &layout, &why)) return "";
  for (const MessageTextField &field : layout.Fields)
    if (EqualsNoCase(field.Name, "From")) return FromFieldDomain(field);
  size_t at = returnPath.rfind('@');
  return at == std::string_view::npos ? "" : LowerAsciiCopy(returnPath.substr(at + 1));
}

bool DkimSignForDomain(const MessageSource &source, std::string_view returnPath,
                       const std::function<bool(std::string_view)> &isLocal,
                       std::vector<std::string> *values, std::string *domain, std::string *why) {
  values->clear();
  *domain = DkimSigningDomain(source, returnPath);
  if (domain->empty() || !IsDkimDomain(*domain) || !isLocal(*domain)) return true;
  std::vector<DkimSigningKey> keys;
  bool whole = ReadDkimSigningKeys(*domain, keys, why);
  if (keys.empty()) return whole;
  // One key unusable: the others still sign, and the failure is reported.
  std::string signWhy;
  if (!DkimSign(source, keys, values, &signWhy)) return *why = signWhy, false;
  return whole;
}

MilterEdits DkimSignatureEdits(std::vector<std::string> values) {
  MilterEdits edits;
  for (std::string &value : values)
    edits.Headers.push_back({MilterHeaderOp::Insert, static_cast<uint32_t>(edits.Headers.size()),
                             "DKIM-Signature", std::move(value), false});
  return edits;
}

DkimTxtLookup NameServerTxtLookup(std::vector<DnsServerAddress> servers) {
  return [servers = std::move(servers)](std::string_view name, DkimTxtAnswer &answer) {
    DnsAnswer reply;
    if (DnsQuery(servers, name, kDnsTypeTXT, DnsQueryOptions{}, reply) != ERROR_SUCCESS ||
        reply.message.partial)
      return false;
    answer.Rcode = reply.message.header.rcode;
    answer.Records.clear();
    for (const DnsRecord &r : reply.message.answers)
      if (r.type == kDnsTypeTXT && r.cls == kDnsClassIN) answer.Records.push_back(r.raw);
    return true;
  };
}

const char *DkimResultName(DkimResult result) {
  switch (result) {
    case DkimResult::kPass: return "pass";
    case DkimResult::kFail: return "fail";
    case DkimResult::kNeutral: return "neutral";
    case DkimResult::kTempError: return "temperror";
    case DkimResult::kPermError: return "permerror";
    case DkimResult::kPolicy: return "policy";
  }
  return "neutral";
}

bool DkimVerify(const MessageSource &source, const DkimTxtLookup &lookup,
                std::vector<DkimCheck> *checks, std::string *why) {
  checks->clear();
  DKIM_LIB *lib = Library();
  if (lib == nullptr) return *why = "libopendkim cannot start", false;
  DKIM_STAT status = DKIM_STAT_OK;
  DkimHandle d(dkim_verify(lib, kJobId, nullptr, &status));
  if (!d) return *why = std::string("dkim_verify: ") + dkim_getresultstr(status), false;
  LookupScope scope;
  scope.Lookup = &lookup;
  tLookupScope = &scope;
  DKIM_STAT eoh = DKIM_STAT_OK;
  bool read = FeedMessage(source, {d.get()}, &eoh, why);
  if (read && eoh != DKIM_STAT_NOSIG) dkim_eom(d.get(), nullptr);
  tLookupScope = nullptr;
  if (!read || eoh == DKIM_STAT_NOSIG) return read;
  DKIM_SIGINFO **sigs = nullptr;
  int count = 0;
  if (dkim_getsiglist(d.get(), &sigs, &count) != DKIM_STAT_OK) return true;
  for (int i = 0; i < count && checks->size() < kMaxDkimSignatures; ++i)
    if ((dkim_sig_getflags(sigs[i]) & DKIM_SIGFLAG_IGNORE) == 0) checks->push_back(CheckOf(sigs[i]));
  return true;
}
