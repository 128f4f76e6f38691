// mailproxy: see mailproxy.h.
#include "net/mailproxy.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/usermove.h"
#include "common/sasl.h"
#include "common/sessionstart.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "net/localhost.h"
#include "net/sessionhandoff.h"
#include "platform/accounts.h"
#include "platform/ascii.h"
#include "platform/fileview.h"
#include "platform/hostres.h"
#include "platform/ipaddr.h"
#include "platform/localipc.h"
#include "platform/relay.h"
#include "platform/sockets.h"
#include "platform/sync.h"

ProxySettings MailProxy;

namespace {

// The tags of our own IMAP commands.
constexpr const char *kTagTls = "p0";
constexpr const char *kTagLogon = "p1";
// The control message that carries an offered password.
constexpr char kControlPassword = 'P';
// An offered password: longer than any the logon check takes.
constexpr size_t kMaxOfferedPassword = 1024;
// ProxySecretFile is read this far: the secret, its line end, one more.
// A setting's text: a path or a mode word.
constexpr size_t kMaxProxySettingChars = 1024;

void BadSetting(const char *name, const std::string &text) {
  LogEvent(EVENTLOG_WARNING_TYPE, MSG_BAD_SETTING_ENTRY, name, text.c_str());
}

// 0 is the standard port, as for the servers' own PortNo.
void LoadPort(HKEY suite, const char *name, uint16_t &port) {
  DWORD value = 0;
  if (!QueryRegDword(suite, name, value) || value == 0) return;
  if (value <= 0xFFFF) port = static_cast<uint16_t>(value);
  else BadSetting(name, std::to_string(value) + " (not a port; " + std::to_string(port) + " is used)");
}

}  // namespace

bool ParseProxyTls(std::string_view text, ProxyTlsMode &mode) {
  if (EqualsNoCase(text, "none")) mode = ProxyTlsMode::kNone;
  else if (EqualsNoCase(text, "opportunistic")) mode = ProxyTlsMode::kOpportunistic;
  else if (EqualsNoCase(text, "verify")) mode = ProxyTlsMode::kVerify;
  else return false;
  return true;
}

void LoadProxySettings() {
  MailProxy = ProxySettings();
  RegKey suite;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_READ, suite.out()) != ERROR_SUCCESS) return;
  DWORD on = 1;
  if (QueryRegDword(suite.get(), "ProxyLogons", on)) MailProxy.bLogons = on != 0;
  QueryRegString(suite.get(), "ProxySecretFile", kMaxProxySettingChars, MailProxy.SecretFile);
  QueryRegString(suite.get(), "ProxyCa", kMaxProxySettingChars, MailProxy.CaFile);
  std::string tls;
  if (QueryRegString(suite.get(), "ProxyTls", kMaxProxySettingChars, tls) && !tls.empty() &&
      !ParseProxyTls(tls, MailProxy.Tls))
    BadSetting("ProxyTls", tls + " (not none, opportunistic or verify; verify is used)");
  LoadPort(suite.get(), "ProxyPop3Port", MailProxy.Pop3Port);
  LoadPort(suite.get(), "ProxyImapPort", MailProxy.ImapPort);
}

// ---- where the mailbox is

// The local host table decides, as it does for the receiver and the agent:
// another instance on another loopback address is another host.
bool IsThisMailHost(std::string_view host) {
  if (LocalHostIPInfo.Entries.empty()) GetLocalHostIPInfo(false);
  IpAddress address;
  if (ParseAddress(host, &address)) return FindLocalAddress(address) != nullptr;
  return MatchLocalHostName(host) != nullptr;
}

bool MailHostElsewhere(const AccountFound &found, std::string &host, bool *wrongEntry) {
  host.clear();
  *wrongEntry = false;
  std::string_view named = found.MailHost;
  while (!named.empty() && named.back() == '.') named.remove_suffix(1);
  if (named.empty() || IsThisMailHost(named)) return false;
  // No host has a longer name: the entry is wrong, and the mailbox cannot
  // be found today.
  *wrongEntry = named.size() > kMaxMailHostName;
  if (!*wrongEntry) host.assign(named);
  return !*wrongEntry;
}

bool ProxyMailHost(const std::string &accountName, std::string &host, bool *lookupFailed) {
  host.clear();
  AccountFound found;
  if (!FindAccountByName(accountName, found)) {
    *lookupFailed = !IsNoSuchAccount(GetLastError());
    return false;
  }
  return MailHostElsewhere(found, host, lookupFailed);
}

// ---- the mail host's replies

void ProxyLineReader::Feed(std::string_view bytes) {
  if (failed_) return;
  buffer_.append(bytes);
  size_t lf = buffer_.find('\n');
  if ((lf == std::string::npos ? buffer_.size() : lf) > kMaxProxyLine) failed_ = true;
}

bool ProxyLineReader::Next(std::string &line) {
  size_t lf = failed_ ? std::string::npos : buffer_.find('\n');
  if (lf == std::string::npos) return false;
  size_t end = lf > 0 && buffer_[lf - 1] == '\r' ? lf - 1 : lf;
  line.assign(buffer_, 0, end);
  buffer_.erase(0, lf + 1);
  size_t next = buffer_.find('\n');
  if ((next == std::string::npos ? buffer_.size() : next) > kMaxProxyLine) failed_ = true;
  return true;
}

std::string ProxyLineReader::TakeRest() {
  std::string rest;
  rest.swap(buffer_);
  return rest;
}

ProxyAnswer ClassifyPop3Line(std::string_view line) {
  if (line.starts_with("+OK") && (line.size() == 3 || line[3] == ' ')) return ProxyAnswer::kOk;
  if (line.starts_with("-ERR") && (line.size() == 4 || line[4] == ' ')) return ProxyAnswer::kNo;
  if (line == "+" || line.starts_with("+ ")) return ProxyAnswer::kMore;
  return ProxyAnswer::kBad;
}

ProxyAnswer ClassifyImapLine(std::string_view line, std::string_view tag) {
  if (line.ends_with("}")) return ProxyAnswer::kBad;   // a literal follows
  if (line.starts_with("* ") || line == "+" || line.starts_with("+ ")) return ProxyAnswer::kMore;
  if (tag.empty() || !line.starts_with(tag) || line.size() <= tag.size() ||
      line[tag.size()] != ' ')
    return ProxyAnswer::kBad;
  std::string_view status = line.substr(tag.size() + 1);
  status = status.substr(0, status.find(' '));
  if (EqualsNoCase(status, "OK")) return ProxyAnswer::kOk;
  if (EqualsNoCase(status, "NO")) return ProxyAnswer::kNo;
  return ProxyAnswer::kBad;
}

ProxyAnswer ClassifyGreeting(ProxyProtocol protocol, std::string_view line) {
  if (protocol == ProxyProtocol::kPop3)
    return ClassifyPop3Line(line) == ProxyAnswer::kOk ? ProxyAnswer::kOk : ProxyAnswer::kBad;
  return StartsWithNoCase(line, "* OK") && (line.size() == 4 || line[4] == ' ')
             ? ProxyAnswer::kOk
             : ProxyAnswer::kBad;
}

std::string ReplyForClient(ProxyProtocol protocol, std::string_view line,
                           std::string_view clientTag, size_t maxBytes) {
  std::string reply;
  if (protocol == ProxyProtocol::kImap) {
    size_t space = line.find(' ');
    reply.assign(clientTag.empty() ? std::string_view("*") : clientTag);
    line = space == std::string_view::npos ? std::string_view() : line.substr(space);
  }
  reply.append(line);
  for (char &c : reply)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  // Cut whole: the reply and its line end fit maxBytes.
  reply.resize(std::min(reply.size(), maxBytes > 2 ? maxBytes - 2 : 0));
  return reply + "\r\n";
}

// ---- the dialogue

namespace {

// The leg to the mail host while the logon runs: the socket, its TLS once
// started, the lines read, and the dialogue's deadline.
struct Leg {
  UniqueFd Socket;
  TlsSocket Tls;
  bool bTls = false;
  ProxyLineReader Reader;
  long long DeadlineMs = 0;
  std::string Why;

  DWORD Left() const {
    long long left = DeadlineMs - MonotonicMs();
    return left > 0 ? static_cast<DWORD>(left) : 0;
  }
  bool Send(std::string_view text) {
    bool sent = bTls ? Tls.Send(text.data(), text.size(), Left())
                     : SendSocketWithin(Socket.Get(), text.data(), text.size(), Left());
    if (!sent) Why = "the mail host cannot be written to (" + std::to_string(GetLastError()) + ")";
    return sent;
  }
  // The next line, at most kMaxProxyLine, within the deadline.
  bool ReadLine(std::string &line) {
    char buffer[4096];
    while (!Reader.Next(line)) {
      if (Reader.Failed()) {
        Why = "the mail host sent a line longer than " + std::to_string(kMaxProxyLine) + " bytes";
        return false;
      }
      DWORD left = Left();
      long n = left == 0 ? -1
               : bTls    ? Tls.Recv(buffer, sizeof buffer, left)
                         : RecvSocket(Socket.Get(), buffer, sizeof buffer, left);
      if (n <= 0) {
        Why = n == 0 ? "the mail host closed the connection"
                     : "no answer from the mail host (" + std::to_string(GetLastError()) + ")";
        return false;
      }
      Reader.Feed(std::string_view(buffer, static_cast<size_t>(n)));
    }
    return true;
  }
};

// The answer to a step: lines until one that is not kMore (at most
// kMaxProxyLines); a SASL continuation is answered once with onMore.
ProxyAnswer Await(Leg &leg, ProxyProtocol protocol, std::string_view tag, std::string &line,
                  std::string *onMore = nullptr) {
  for (size_t lines = 0; lines < kMaxProxyLines; ++lines) {
    if (!leg.ReadLine(line)) return ProxyAnswer::kBad;
    ProxyAnswer a = protocol == ProxyProtocol::kPop3 ? ClassifyPop3Line(line)
                                                     : ClassifyImapLine(line, tag);
    bool continuation = line.starts_with("+") && a == ProxyAnswer::kMore;
    if (a != ProxyAnswer::kMore) return a;
    if (!continuation) continue;
    if (onMore == nullptr || onMore->empty()) {
      leg.Why = "the mail host asked for more than a logon needs";
      return ProxyAnswer::kBad;
    }
    bool sent = leg.Send(*onMore + "\r\n");
    WipeSecret(*onMore);
    if (!sent) return ProxyAnswer::kBad;
  }
  leg.Why = "the mail host sent more than " + std::to_string(kMaxProxyLines) + " lines";
  return ProxyAnswer::kBad;
}

bool Connect(Leg &leg, const ProxyTarget &target) {
  std::vector<IpAddress> addresses;
  IpAddress literal;
  if (ParseAddress(target.Host, &literal)) {
    addresses.push_back(literal);
  } else {
    HostEntry entry;
    long rc = ZelGetHostByName(target.Host, entry);
    if (rc != ERROR_SUCCESS) {
      leg.Why = "the name cannot be resolved (" + std::to_string(rc) + ")";
      return false;
    }
    for (uint32_t a : entry.addresses)
      if (addresses.size() < kMaxProxyAddresses) addresses.push_back(IpV4(a));
  }
  for (const IpAddress &a : addresses) {
    DWORD wait = std::min<DWORD>(kProxyConnectMs, leg.Left());
    leg.Socket.Reset(wait == 0 ? -1 : ConnectSocket(a, target.Port, wait));
    if (leg.Socket.Valid()) return true;
    leg.Why = "no connection to " + AddressText(a) + " port " + std::to_string(target.Port) +
              " (" + std::to_string(GetLastError()) + ")";
  }
  if (addresses.empty()) leg.Why = "the name has no address";
  return false;
}

// STLS or STARTTLS, then the handshake; false only when the logon must not
// go on (verify demands TLS; a handshake that failed leaves nothing usable).
bool StartTls(Leg &leg, const ProxyTarget &target) {
  if (target.Tls == ProxyTlsMode::kNone) return true;
  const bool pop3 = target.Protocol == ProxyProtocol::kPop3;
  std::string line;
  if (!leg.Send(pop3 ? "STLS\r\n" : std::string(kTagTls) + " STARTTLS\r\n")) return false;
  ProxyAnswer a = Await(leg, target.Protocol, kTagTls, line);
  if (a != ProxyAnswer::kOk) {
    if (a == ProxyAnswer::kNo && target.Tls == ProxyTlsMode::kOpportunistic) return true;
    if (leg.Why.empty()) leg.Why = "the mail host refused TLS: " + LogSafeText(line);
    return false;
  }
  // Anything the mail host sent behind its answer would be read in clear.
  if (!leg.Reader.TakeRest().empty()) {
    leg.Why = "the mail host sent data behind its answer to STARTTLS";
    return false;
  }
  TlsContextRef context = target.Context;
  if (!context && !MakeProxyTlsContext(target.Tls, target.CaFile, context, leg.Why)) return false;
  TlsPeerCheck check;
  if (target.Tls == ProxyTlsMode::kVerify) {
    check.Check = TlsPeerCheck::Kind::kName;
    check.Names.push_back(target.Host);
  }
  if (!leg.Tls.Connect(leg.Socket.Get(), context, target.Host, leg.Left(), check)) {
    leg.Why = "TLS with the mail host failed: " + leg.Tls.Session().ErrorText();
    return false;
  }
  leg.bTls = true;
  return true;
}

bool Greeted(Leg &leg, ProxyProtocol protocol) {
  std::string line;
  if (!leg.ReadLine(line)) return false;
  if (ClassifyGreeting(protocol, line) == ProxyAnswer::kOk) return true;
  leg.Why = "the mail host's greeting is " + LogSafeText(line);
  return false;
}

std::string PlainMessage(const ProxyCredentials &c) {
  std::string message;
  message.reserve(c.AuthzId.size() + c.AuthcId.size() + c.Password.size() + 2);
  message.append(c.AuthzId).push_back('\0');
  message.append(c.AuthcId).push_back('\0');
  message.append(c.Password);
  std::string encoded = Base64Encode(message);
  WipeSecret(message);
  return encoded;
}

}  // namespace

ProxyCredentials::~ProxyCredentials() { WipeSecret(Password); }

bool MakeProxyTlsContext(ProxyTlsMode mode, const std::string &caFile, TlsContextRef &context,
                         std::string &why) {
  if (mode == ProxyTlsMode::kNone) return true;
  return mode == ProxyTlsMode::kVerify ? MakeTlsVerifyingClientContext(caFile, context, why)
                                       : MakeTlsClientContext(context, why);
}

void LogOnAtMailHost(const ProxyTarget &target, ProxyCredentials &credentials,
                     ProxyOutcome &outcome) {
  outcome = ProxyOutcome();
  Leg leg;
  leg.DeadlineMs = MonotonicMs() + kProxyDialogueMs;
  std::string response = PlainMessage(credentials);
  WipeSecret(credentials.Password);
  std::string line;
  const bool pop3 = target.Protocol == ProxyProtocol::kPop3;
  if (!Connect(leg, target) || !Greeted(leg, target.Protocol) || !StartTls(leg, target)) {
    WipeSecret(response);
    outcome.Why = leg.Why;
    return;
  }
  std::string command = pop3 ? "AUTH PLAIN " : std::string(kTagLogon) + " AUTHENTICATE PLAIN ";
  command.append(response).append("\r\n");
  bool sent = leg.Send(command);
  WipeSecret(command);
  ProxyAnswer a = sent ? Await(leg, target.Protocol, kTagLogon, line, &response)
                       : ProxyAnswer::kBad;
  WipeSecret(response);
  if (a == ProxyAnswer::kBad) {
    outcome.Why = leg.Why.empty() ? "the mail host's answer is " + LogSafeText(line) : leg.Why;
    return;
  }
  outcome.Line = line;
  if (a == ProxyAnswer::kNo) {
    outcome.Result = ProxyOutcome::kRefused;
    return;
  }
  outcome.Result = ProxyOutcome::kLoggedOn;
  outcome.Rest = leg.Reader.TakeRest();
  outcome.Socket = std::move(leg.Socket);
  if (leg.bTls) outcome.Tls = leg.Tls.TakeSession();
}

// ---- the session's part

bool OfferPasswordToSession(int frontControlFd, std::string_view password) {
  if (!MailProxy.bLogons || !MailProxy.SecretFile.empty()) return true;
  if (password.size() > kMaxOfferedPassword) return false;
  std::string message(1, kControlPassword);
  message.reserve(1 + password.size());
  message.append(password);
  bool sent = SendMessage(frontControlFd, message, nullptr, 0, 0);
  WipeSecret(message);
  return sent;
}

void TakeOfferedPassword(int controlFd, std::string &password) {
  WipeSecret(password);
  char buffer[1 + kMaxOfferedPassword];
  std::vector<UniqueFd> none;
  long n = ReceiveMessage(controlFd, buffer, sizeof buffer, none, 0, 0);
  if (n > 1 && buffer[0] == kControlPassword) {
    password.reserve(static_cast<size_t>(n) - 1);
    password.assign(buffer + 1, static_cast<size_t>(n) - 1);
  }
  volatile char *wipe = buffer;
  for (size_t i = 0; i < sizeof buffer; ++i) wipe[i] = 0;
}

bool ReadProxySecret(const std::string &path, std::string &secret, std::string &why) {
  return ReadSecretFileLine(path, kMaxProxySecret, secret, why);
}

namespace {

// The client's reply for a mail host that cannot be used: temporary.
std::string Unavailable(const ProxySession &s) {
  if (s.Protocol == ProxyProtocol::kPop3)
    return "-ERR [SYS/TEMP] " + s.UserName + "'s mail host is not available now\r\n";
  return (s.Tag.empty() ? std::string("*") : s.Tag) +
         " NO [UNAVAILABLE] The mail host is not available now\r\n";
}

std::string CannotLocate(const ProxySession &s) {
  if (s.Protocol == ProxyProtocol::kPop3)
    return "-ERR [SYS/TEMP] " + s.UserName + "'s mailbox cannot be located now\r\n";
  return (s.Tag.empty() ? std::string("*") : s.Tag) +
         " NO [UNAVAILABLE] The mailbox cannot be located now\r\n";
}

std::string BeingMoved(const ProxySession &s) {
  if (s.Protocol == ProxyProtocol::kPop3)
    return "-ERR [SYS/TEMP] " + s.UserName + "'s mailbox is being moved; try again later\r\n";
  return (s.Tag.empty() ? std::string("*") : s.Tag) +
         " NO [UNAVAILABLE] The mailbox is being moved; try again later\r\n";
}

void NoteUnavailable(const ProxySession &s, const std::string &why) {
  LogEvent(EVENTLOG_WARNING_TYPE, MSG_MAIL_HOST_UNAVAILABLE, s.MailHost.c_str(), why.c_str());
  (void)SendSessionWord(s.ControlFd, kControlRefused, Unavailable(s));
}

// The credentials: the master-user logon with the secret, or the user's own.
bool TakeCredentials(ProxySession &s, ProxyCredentials &c) {
  if (!MailProxy.SecretFile.empty()) {
    WipeSecret(s.Password);
    std::string why;
    if (!ReadProxySecret(MailProxy.SecretFile, c.Password, why)) {
      NoteUnavailable(s, why);
      return false;
    }
    c.AuthzId = s.UserName;
    c.AuthcId = kProxyIdentity;
    return true;
  }
  if (s.Password.empty()) {
    NoteUnavailable(s, "no password to log on with (the front offered none)");
    return false;
  }
  c.AuthcId = s.UserName;
  c.Password.swap(s.Password);
  WipeSecret(s.Password);
  return true;
}

// Until the relay has ended.
struct RelayEnd {
  std::mutex Lock;
  std::condition_variable Done;
  bool bEnded = false;
};

}  // namespace

bool ServeIfElsewhere(const std::string &accountName, ProxySession &s,
                      bool (*becomeUnprivileged)(void *context), void *context, int *status) {
  // Nothing may change a mailbox that is being copied to another host.
  if (UserMoveInProgress(accountName)) {
    WipeSecret(s.Password);
    (void)SendSessionWord(s.ControlFd, kControlRefused, BeingMoved(s));
    *status = 1;
    return true;
  }
  bool lookupFailed = false;
  if (!MailProxy.bLogons || !ProxyMailHost(accountName, s.MailHost, &lookupFailed)) {
    WipeSecret(s.Password);
    if (!lookupFailed) return false;
    (void)SendSessionWord(s.ControlFd, kControlRefused, CannotLocate(s));
    *status = 1;
    return true;
  }
  *status = ServeProxiedSession(s, becomeUnprivileged, context);
  WipeSecret(s.Password);
  return true;
}

int ServeProxiedSession(ProxySession &s, bool (*becomeUnprivileged)(void *context),
                        void *context) {
  ProxyCredentials credentials;
  if (!TakeCredentials(s, credentials)) return 1;
  ProxyTarget target;
  target.Protocol = s.Protocol;
  target.Host = s.MailHost;
  target.Port = s.Protocol == ProxyProtocol::kPop3 ? MailProxy.Pop3Port : MailProxy.ImapPort;
  target.Tls = MailProxy.Tls;
  target.CaFile = MailProxy.CaFile;
  // The CA store is read as root, like the server's own pair: the user
  // need not be able to read it.
  std::string why;
  if (!MakeProxyTlsContext(target.Tls, target.CaFile, target.Context, why)) {
    NoteUnavailable(s, why);
    return 1;
  }
  if (!becomeUnprivileged(context)) {
    NoteUnavailable(s, "the session could not leave root (" + std::to_string(GetLastError()) + ")");
    return 1;
  }
  ProxyOutcome outcome;
  LogOnAtMailHost(target, credentials, outcome);
  if (outcome.Result == ProxyOutcome::kUnavailable) {
    NoteUnavailable(s, outcome.Why);
    return 1;
  }
  std::string reply = ReplyForClient(s.Protocol, outcome.Line, s.Tag, kMaxSessionReply);
  if (outcome.Result == ProxyOutcome::kRefused) {
    (void)SendSessionWord(s.ControlFd, kControlRefused, reply);
    return 1;
  }
  // The client hears the mail host's answer, then whatever it sent behind
  // it; the mail host gets what the client pipelined behind its logon.
  reply += outcome.Rest;
  if (!SendSessionWord(s.ControlFd, kControlServing, "") ||
      !SendSocketWithin(s.DataFd, reply.data(), reply.size(), kProxyWriteMs))
    return 1;
  SessionLogLine(s.ControlFd, s.UserName + " proxied to " + s.MailHost);
  RelaySpec spec;
  if (!s.PendingInput.empty()) {
    bool sent = outcome.Tls ? false
                            : SendSocketWithin(outcome.Socket.Get(), s.PendingInput.data(),
                                               s.PendingInput.size(), kProxyWriteMs);
    if (outcome.Tls) {
      // Under TLS the relay's first write carries it.
      sent = outcome.Tls->Write(s.PendingInput.data(), s.PendingInput.size()) == TlsResult::kDone;
    }
    if (!sent) return 1;
  }
  spec.Client = std::move(outcome.Socket);
  spec.Tls = std::move(outcome.Tls);
  spec.bPlainClient = spec.Tls == nullptr;
  spec.bEndWithClient = true;
  spec.Local.Reset(s.DataFd);
  s.DataFd = -1;
  RelayEnd end;
  spec.OnEnd = [&end] {
    std::lock_guard<std::mutex> guard(end.Lock);
    end.bEnded = true;
    end.Done.notify_all();
  };
  if (!StartRelayThread() || !AddRelay(std::move(spec))) return 1;
  std::unique_lock<std::mutex> guard(end.Lock);
  end.Done.wait(guard, [&end] { return end.bEnded; });
  return 0;
}
