// mailproxy: a logged-on POP3 or IMAP client whose mailbox is on another
// mail host of the site is served there: this host logs on at the mail
// host for the user and then relays the bytes both ways, so the client
// sees one server.
//
// Who calls it. The session process of the POP3 and the IMAP server
// (ZELFETCH/pop3session, ZELIMAP/imapsession), started by the root logon
// helper once the password was right, asks ProxyMailHost before it reaches
// a mailbox: a user whose directory entry names another host
// (AccountFound::MailHost, compared with this host's names by
// net/localhost) is handed to ServeProxiedSession instead, which becomes
// unprivileged, logs on at the mail host (LogOnAtMailHost), answers the
// client's logon command with the mail host's answer, and relays
// (platform/relay) until either side ends. The front (the unprivileged
// server) keeps the client's TLS as for any session; the leg to the mail
// host has its own (ProxyTls).
//
// Credentials. With ProxySecretFile, the logon is a master-user logon:
// SASL PLAIN with authzid the user, authcid kProxyIdentity and the file's
// first line as password, read by the session while it is still root.
// The mail host accepts it in its root logon helper (common/logonpool's
// CheckLogon, MasterLogonAllowed: its own secret, ProxyClients).
// Without it the user's own password is used: the front offers it to the
// session on the session's control socket (OfferPasswordToSession) before
// the logon is checked, and every session takes it off that socket at its
// start (TakeOfferedPassword), proxied or not, and wipes it. Passwords and
// the secret live in memory only and never reach a log.
//
// Settings (suite key, read by the front and the session): ProxyLogons
// (default 1), ProxySecretFile, ProxyTls ("none", "opportunistic",
// "verify"; default verify: a password never goes to a host that did not
// prove its name), ProxyCa (the CA file for verify; default the system's
// store), ProxyPop3Port (110) and ProxyImapPort (143): the plain ports,
// TLS by STLS and STARTTLS.
//
// Untrusted input: every byte from the mail host (it is a host of the
// site, but its replies are parsed bounded all the same: lines of at most
// kMaxProxyLine, at most kMaxProxyLines before the answer) and the host
// name from the directory (bounded, used only as a name to resolve and to
// verify). Failures: a mail host that cannot be reached, speaks no
// protocol we know or refuses TLS under verify is kUnavailable, which the
// client hears as a temporary failure ("-ERR [SYS/TEMP] ...", "NO
// [UNAVAILABLE] ..."), never as a wrong password.
//
// Threads: LogOnAtMailHost blocks, each step bounded; it is called from
// the session's main thread, once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/logonpool.h"
#include "common/sasl.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/tls.h"

enum class ProxyProtocol { kPop3, kImap };
enum class ProxyTlsMode { kNone, kOpportunistic, kVerify };

constexpr uint16_t kDefaultProxyPop3Port = 110;
constexpr uint16_t kDefaultProxyImapPort = 143;
// The authcid of a master-user logon (the mail host's helper checks it).
inline constexpr const char *kProxyIdentity = kMasterLogonIdentity;
// A reply line from the mail host: RFC 2449's 512 octets for POP3, and
// room for an IMAP capability list.
constexpr size_t kMaxProxyLine = 4096;
// Lines (greeting, untagged data) before the answer a step waits for.
constexpr size_t kMaxProxyLines = 64;
// A shared secret, and a directory's mail host name (a DNS name).
constexpr size_t kMaxProxySecret = kMaxMasterLogonSecret;
constexpr size_t kMaxMailHostName = 253;
// The connection to the mail host (each of its addresses), and the whole
// logon dialogue: within the logon helper's wait for the session's first
// word (kSessionStartWaitMs), so the client hears our answer, not the
// front's time-out.
constexpr DWORD kProxyConnectMs = 10000;
constexpr DWORD kProxyDialogueMs = 20000;
// A session's reply and the client's pipelined input, once written.
constexpr DWORD kProxyWriteMs = 10000;
// Addresses of one mail host tried in turn.
constexpr size_t kMaxProxyAddresses = 4;

struct ProxySettings {
  bool bLogons = true;
  std::string SecretFile;
  ProxyTlsMode Tls = ProxyTlsMode::kVerify;
  std::string CaFile;
  uint16_t Pop3Port = kDefaultProxyPop3Port;
  uint16_t ImapPort = kDefaultProxyImapPort;
};
// The settings as loaded (LoadProxySettings, once at the start of a front
// or a session); read only afterwards.
extern ProxySettings MailProxy;
// Reads the suite key's values into MailProxy; a value that does not parse
// is reported (event 41) and its default kept.
void LoadProxySettings();
bool ParseProxyTls(std::string_view text, ProxyTlsMode &mode);

// The mail host of a logged-on user: true with host set when the directory
// names one that is not this host; false with host empty when the mailbox
// is here. A lookup that fails is false with *lookupFailed set: where the
// mailbox is cannot be told now.
bool ProxyMailHost(const std::string &accountName, std::string &host, bool *lookupFailed);
// The same for an account already found: its MailHost when that is
// another host (a trailing "." ignored); *wrongEntry when the name is too
// long for any host.
struct AccountFound;
bool MailHostElsewhere(const AccountFound &found, std::string &host, bool *wrongEntry);
// host names this computer: a name or alias of the local host table, or
// one of its addresses.
bool IsThisMailHost(std::string_view host);

// ---- the mail host's replies (bounded; fuzzed)

// Lines out of bytes as they arrive: at most kMaxProxyLine each, "\n" or
// "\r\n" ended. A longer line fails the reader for good.
class ProxyLineReader {
 public:
  void Feed(std::string_view bytes);
  // The next whole line without its end; false when none is complete.
  bool Next(std::string &line);
  bool Failed() const { return failed_; }
  // What is buffered behind the lines taken.
  std::string TakeRest();

 private:
  std::string buffer_;
  bool failed_ = false;
};

enum class ProxyAnswer { kMore, kOk, kNo, kBad };
// "+OK" kOk, "-ERR" kNo, "+ " (a SASL continuation) kMore, anything else kBad.
ProxyAnswer ClassifyPop3Line(std::string_view line);
// Untagged ("* ...") and continuations ("+ ...") kMore; the line tagged tag:
// "OK" kOk, "NO" kNo, "BAD" or anything else kBad; another tag kBad. A
// line ending in a literal ("{n}") is kBad: no step of a logon has one.
ProxyAnswer ClassifyImapLine(std::string_view line, std::string_view tag);
// The greeting: kOk for "+OK" and "* OK", anything else kBad.
ProxyAnswer ClassifyGreeting(ProxyProtocol protocol, std::string_view line);

// The mail host's answer for the client: one line, CR LF ended, at most
// maxBytes, no control byte but the end; under IMAP its tag replaced by
// clientTag.
std::string ReplyForClient(ProxyProtocol protocol, std::string_view line,
                           std::string_view clientTag, size_t maxBytes);

// ---- the logon at the mail host

struct ProxyTarget {
  ProxyProtocol Protocol = ProxyProtocol::kPop3;
  std::string Host;          // as the directory names it
  uint16_t Port = 0;
  ProxyTlsMode Tls = ProxyTlsMode::kVerify;
  std::string CaFile;
  TlsContextRef Context;     // made beforehand (MakeProxyTlsContext), or null
};

// The client context mode asks for (verify: the CA store of caFile, or the
// system's); none needs none. False with why.
bool MakeProxyTlsContext(ProxyTlsMode mode, const std::string &caFile, TlsContextRef &context,
                         std::string &why);

// SASL PLAIN's three fields; the password is wiped when it goes.
struct ProxyCredentials {
  std::string AuthzId, AuthcId, Password;
  ~ProxyCredentials();
};

struct ProxyOutcome {
  enum Kind { kLoggedOn, kRefused, kUnavailable } Result = kUnavailable;
  std::string Line;          // the mail host's answer (kLoggedOn, kRefused)
  std::string Why;           // kUnavailable: for the log
  UniqueFd Socket;           // kLoggedOn: the connection
  std::unique_ptr<TlsSession> Tls;   // ... and its TLS, or null in clear
  std::string Rest;          // plaintext the mail host sent behind its answer
};

// Connects (each address within kProxyConnectMs), reads the greeting,
// starts TLS as target.Tls says and logs on with SASL PLAIN, all within
// kProxyDialogueMs. credentials.Password is wiped before it returns.
void LogOnAtMailHost(const ProxyTarget &target, ProxyCredentials &credentials,
                     ProxyOutcome &outcome);

// ---- the session's part

// The front: the password a session may need, sent on the front's end of
// the control socket before the logon is checked; nothing is sent unless
// ProxyLogons is on and ProxySecretFile unset. False when it was not sent.
bool OfferPasswordToSession(int frontControlFd, std::string_view password);
// The session: the password the front offered, taken off its control
// socket (without waiting); "" when none was.
void TakeOfferedPassword(int controlFd, std::string &password);
// ProxySecretFile's first line (the file must be its owner's alone).
bool ReadProxySecret(const std::string &path, std::string &secret, std::string &why);

struct ProxySession {
  ProxyProtocol Protocol = ProxyProtocol::kPop3;
  std::string UserName;      // as the client gave it
  std::string Tag;           // IMAP: the client's tag of its logon command
  std::string PendingInput;  // what the client sent behind its logon
  std::string MailHost;
  std::string Password;      // offered by the front ("" with a secret); wiped
  int DataFd = -1;           // the client (in clear: the front keeps its TLS)
  int ControlFd = -1;
};
// The session process's question before it reaches a mailbox, still root:
// when ProxyLogons is on and the user's mail host is another host, serves
// the session there (ServeProxiedSession) and is true with the exit
// status; also true (status 1) when the directory cannot say now where the
// mailbox is, after refusing the logon for now ("-ERR [SYS/TEMP] ...",
// "NO [UNAVAILABLE] ..."): a user is never served an empty mailbox here
// because the directory failed, and while the user's mailbox is being
// moved (common/usermove: "... is being moved; try again later"). False:
// the mailbox is here. session holds
// everything but MailHost; its password is wiped either way.
bool ServeIfElsewhere(const std::string &accountName, ProxySession &session,
                      bool (*becomeUnprivileged)(void *context), void *context, int *status);
// The session process of a proxied user, still root: reads the secret when
// there is one, calls becomeUnprivileged, logs on at the mail host and
// tells the front (SendSessionWord: serving, or refused with the client's
// reply), then relays until either side ends. The process's exit status.
int ServeProxiedSession(ProxySession &session, bool (*becomeUnprivileged)(void *context),
                        void *context);
