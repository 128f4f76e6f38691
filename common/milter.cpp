// milter: see milter.h.
#include "common/milter.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/membudget.h"
#include "common/milterproto.h"
#include "messages/zelmsg.h"
#include "platform/ascii.h"
#include "platform/hostres.h"
#include "platform/sockets.h"
#include "platform/sync.h"
#include "platform/thread.h"

const char *const kMilterRejectReply = "550 Command rejected\r\n";
const char *const kMilterTempFailReply = "451 Service unavailable - try again later\r\n";
const char *const kMilterShutdownReply = "421 Service not available - closing connection\r\n";

namespace {

// A MilterDefaultAction value is one of three short words.
constexpr size_t kMaxDefaultActionChars = 32;
// Filters whose failures are remembered (to report each cause once an
// hour); a process has a handful, tests a few dozen.
constexpr size_t kMaxTrackedFilters = 256;
// A filter that keeps failing the same way is reported again after this.
constexpr long long kMilterReportIntervalMs = 3600 * 1000;
// Bytes taken from a filter's socket at a time.
constexpr size_t kReadBytes = 64 * 1024;
// Commands that expect no answer are sent together once this much is queued.
constexpr size_t kSendBatchBytes = 64 * 1024;
// Pool threads wait on a filter, they do not compute: a small stack.
constexpr size_t kMilterThreadStackBytes = 1 << 20;
// A completion the port could not take is offered again this much later.
constexpr DWORD kRepostDelayMs = 1000;

// ---- settings

bool ParsePort(std::string_view text, uint16_t *port) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v == 0 || v > 65535) return false;
  *port = static_cast<uint16_t>(v);
  return true;
}

bool IsHostNameText(std::string_view host) {
  return !host.empty() && host.size() <= kMaxHostNameLength &&
         std::all_of(host.begin(), host.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == '_';
         });
}

void ReportBadSetting(const char *name, const std::string &what) {
  LogEvent(EVENTLOG_WARNING_TYPE, MSG_BAD_SETTING_ENTRY, name, what.c_str());
}

void LoadTimeout(HKEY params, const char *name, DWORD *ms) {
  DWORD seconds = *ms / 1000;
  if (!QueryRegDword(params, name, seconds)) return;
  DWORD kept = std::clamp<DWORD>(seconds, 1, kMaxMilterTimeout);
  if (kept != seconds) ReportBadSetting(name, std::to_string(seconds) + " (" + std::to_string(kept) + " is used)");
  *ms = kept * 1000;
}

void LoadRetryInterval(HKEY params, MilterSettings *s) {
  DWORD seconds = s->RetryIntervalMs / 1000;
  if (!QueryRegDword(params, kMilterRetryIntervalValue, seconds)) return;
  DWORD kept = std::min<DWORD>(seconds, kMaxMilterTimeout);
  if (kept != seconds)
    ReportBadSetting(kMilterRetryIntervalValue,
                     std::to_string(seconds) + " (" + std::to_string(kept) + " is used)");
  s->RetryIntervalMs = kept * 1000;
}

void LoadFilters(HKEY params, MilterSettings *s) {
  DWORD size = 0;
  if (RegQueryValueEx(params, kMiltersValue, nullptr, nullptr, &size) != ERROR_SUCCESS) return;
  s->Filters.clear();
  std::vector<std::string> entries;
  if (!QueryRegMultiString(params, kMiltersValue, kMaxMiltersBytes, entries)) {
    ReportBadSetting(kMiltersValue, "(the value is too long)");
    return;
  }
  for (const std::string &entry : entries) {
    MilterAddress a;
    if (!ParseMilterAddress(entry, &a)) {
      ReportBadSetting(kMiltersValue, "\"" + LogSafeText(entry) + "\"");
      continue;
    }
    if (s->Filters.size() == kMaxMilters) {
      ReportBadSetting(kMiltersValue, "\"" + LogSafeText(entry) + "\" (more than " +
                                          std::to_string(kMaxMilters) + " filters)");
      continue;
    }
    s->Filters.push_back(std::move(a));
  }
}

// ---- failure reports: once per filter and cause and hour

enum class Cause { Unreachable, Timeout, Closed, Protocol, Stopping, Down };
constexpr size_t kCauses = 4;   // Stopping and Down are never reported

struct Health {
  std::mutex Lock;
  // Per filter, when each cause was last reported (monotonic ms; 0: not).
  std::map<std::string, std::array<long long, kCauses>> Reported;
  // Per filter that is down, until when (monotonic ms).
  std::map<std::string, long long> DownUntil;
};

Health &TheHealth() {
  static Health h;
  return h;
}

// A filter that could not be reached or did not answer in time is down,
// for every session of the process, for retryMs.
void MarkDown(const MilterAddress &a, DWORD retryMs) {
  if (retryMs == 0) return;
  Health &h = TheHealth();
  std::lock_guard<std::mutex> g(h.Lock);
  auto it = h.DownUntil.find(a.Spec);
  if (it == h.DownUntil.end() && h.DownUntil.size() >= kMaxTrackedFilters) return;
  h.DownUntil[a.Spec] = MonotonicMs() + retryMs;
}

bool IsDown(const MilterAddress &a) {
  Health &h = TheHealth();
  std::lock_guard<std::mutex> g(h.Lock);
  auto it = h.DownUntil.find(a.Spec);
  if (it == h.DownUntil.end()) return false;
  if (MonotonicMs() < it->second) return true;
  h.DownUntil.erase(it);
  return false;
}

void ReportFailure(const MilterAddress &a, Cause cause, const std::string &text) {
  if (cause == Cause::Stopping || cause == Cause::Down) return;
  {
    Health &h = TheHealth();
    std::lock_guard<std::mutex> g(h.Lock);
    auto it = h.Reported.find(a.Spec);
    if (it == h.Reported.end() && h.Reported.size() < kMaxTrackedFilters)
      it = h.Reported.emplace(a.Spec, std::array<long long, kCauses>{}).first;
    if (it != h.Reported.end()) {
      long long &last = it->second[static_cast<size_t>(cause)];
      long long now = MonotonicMs();
      if (last != 0 && now - last < kMilterReportIntervalMs) return;
      last = now;
    }
  }
  LogEvent(EVENTLOG_WARNING_TYPE,
           cause == Cause::Unreachable ? MSG_MILTER_UNREACHABLE : MSG_MILTER_FAILED,
           LogSafeText(a.Spec).c_str(), text.c_str());
}

// A filter reported unreachable has been reached.
void ReportReached(const MilterAddress &a) {
  Health &h = TheHealth();
  {
    std::lock_guard<std::mutex> g(h.Lock);
    auto it = h.Reported.find(a.Spec);
    if (it == h.Reported.end()) return;
    long long &last = it->second[static_cast<size_t>(Cause::Unreachable)];
    if (last == 0) return;
    last = 0;
  }
  LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_MILTER_RECOVERED, LogSafeText(a.Spec).c_str(), nullptr);
}

std::string SystemText(long code) {
  std::string text;
  if (!FormatSystemMessage(code, text)) text = "error " + std::to_string(code);
  return text;
}

void ClearChanges(MilterResult *r) {
  MilterResult kept;
  kept.Decision = r->Decision;
  kept.Reply = std::move(r->Reply);
  kept.Filter = std::move(r->Filter);
  kept.bFilterFailed = r->bFilterFailed;
  kept.FailureText = std::move(r->FailureText);
  *r = std::move(kept);
}

// One filter's connection in a session.
struct Filter {
  const MilterAddress *Address = nullptr;
  int Fd = -1;
  MilterOptions Options;
  std::string In;              // bytes read and not yet taken
  size_t Taken = 0;            // the front of In that the last packet used
  std::string Out;             // commands queued that expect no answer
  bool bFailed = false;        // counts as MilterDefaultAction from now on
  bool bDoneWithMessage = false;
  bool bInTransaction = false;

  bool Open() const { return Fd >= 0; }
  bool Wants(uint32_t step) const { return (Options.Protocol & step) == 0; }
  bool Answers(uint32_t noReply) const { return (Options.Protocol & noReply) == 0; }
};

}  // namespace

// ---- the session

struct MilterSession::Impl {
  MilterSettings Settings;
  MilterConnectInfo Info;
  std::vector<Filter> Filters;
  bool bConnected = false;     // the Connect stage has run
  bool bDiscard = false;       // a filter discarded the transaction
};

namespace {

// Closes f, telling it QUIT when its socket takes that at once.
void CloseFilter(Filter &f, bool quit) {
  if (!f.Open()) return;
  if (quit) {
    std::string q;
    AppendMilterPacket(&q, kMilterCmdQuit, {});
    SendSocket(f.Fd, q.data(), q.size(), 0);
  }
  close(f.Fd);
  f.Fd = -1;
  f.In.clear();
  f.Out.clear();
  f.Taken = 0;
  f.bInTransaction = false;
}

// One call of RunMilterStage.
struct Exchange {
  MilterSession &Session;
  MilterSession::Impl &I;
  MilterResult *Result;
  const std::atomic<bool> *Cancel;

  bool Cancelled() const { return Cancel != nullptr && Cancel->load(); }

  // The decision that stands for a failed filter.
  void DefaultDecision(const Filter &f, bool stopping) {
    MilterDefaultAction action = stopping ? MilterDefaultAction::TempFail : I.Settings.DefaultAction;
    if (Result->Decision != MilterDecision::Continue) return;
    Result->bFilterFailed = true;
    Result->Filter = f.Address->Spec;
    if (action == MilterDefaultAction::Accept) return;
    bool reject = action == MilterDefaultAction::Reject;
    Result->Decision = reject ? MilterDecision::Reject : MilterDecision::TempFail;
    Result->Reply = reject ? kMilterRejectReply : kMilterTempFailReply;
    ClearChanges(Result);
  }

  void Failed(Filter &f, Cause cause, const std::string &text) {
    CloseFilter(f, false);
    f.bFailed = true;
    if (cause == Cause::Unreachable || cause == Cause::Timeout)
      MarkDown(*f.Address, I.Settings.RetryIntervalMs);
    ReportFailure(*f.Address, cause, text);
    if (Result->FailureText.empty()) Result->FailureText = text;
    DefaultDecision(f, cause == Cause::Stopping);
  }

  // A filter that failed before: true when its default action stops the stage.
  bool FailedBefore(Filter &f) {
    if (!f.bFailed) return false;
    if (Result->FailureText.empty()) Result->FailureText = "failed earlier in this session";
    DefaultDecision(f, false);
    return Result->Decision != MilterDecision::Continue;
  }

  bool Send(Filter &f, std::string_view bytes, DWORD timeoutMs) {
    if (SendSocket(f.Fd, bytes.data(), bytes.size(), timeoutMs)) return true;
    long code = GetLastError();
    if (code == ERROR_TIMEOUT) {
      Failed(f, Cause::Timeout, "it took no command for " + std::to_string(timeoutMs / 1000) + " s");
    } else {
      Failed(f, Cause::Closed, "sending to it failed: " + SystemText(code));
    }
    return false;
  }

  // Queues a command that expects no answer; sends when enough is queued.
  bool Queue(Filter &f, std::string_view bytes, DWORD timeoutMs) {
    f.Out.append(bytes);
    if (f.Out.size() < kSendBatchBytes) return true;
    return Flush(f, timeoutMs);
  }

  bool Flush(Filter &f, DWORD timeoutMs) {
    if (f.Out.empty()) return true;
    std::string out;
    out.swap(f.Out);
    return Send(f, out, timeoutMs);
  }

  // The next packet from f within the deadline (progress packets may move
  // it, up to the ceiling); false when f failed.
  bool NextPacket(Filter &f, long long deadline, MilterPacket *packet) {
    f.In.erase(0, f.Taken);
    f.Taken = 0;
    char buffer[kReadBytes];
    for (;;) {
      size_t used = 0;
      MilterPacketStatus status = TakeMilterPacket(f.In, packet, &used);
      if (status == MilterPacketStatus::Packet) {
        f.Taken = used;
        return true;
      }
      if (status == MilterPacketStatus::Bad) {
        Failed(f, Cause::Protocol, "it sent a packet of impossible length");
        return false;
      }
      if (Cancelled()) {
        Failed(f, Cause::Stopping, "the service is stopping");
        return false;
      }
      long long left = deadline - MonotonicMs();
      if (left <= 0) {
        Failed(f, Cause::Timeout, "it did not answer in time");
        return false;
      }
      if (Cancel != nullptr) left = std::min<long long>(left, kMilterCancelSliceMs);
      long n = RecvSocket(f.Fd, buffer, sizeof buffer, static_cast<DWORD>(left));
      if (n > 0) {
        f.In.append(buffer, static_cast<size_t>(n));
      } else if (n == 0) {
        Failed(f, Cause::Closed, "it closed the connection");
        return false;
      } else if (GetLastError() != ERROR_TIMEOUT) {
        Failed(f, Cause::Closed, "reading from it failed: " + SystemText(GetLastError()));
        return false;
      }
    }
  }

  // Sends what is queued and command; unless noReply was negotiated, reads
  // the answer into reader. False when f failed.
  bool Ask(Filter &f, std::string_view command, uint32_t noReply, MilterReplyReader &reader,
           DWORD timeoutMs) {
    if (FoundDown(f)) return false;
    if (!f.Answers(noReply)) return Queue(f, command, timeoutMs);
    f.Out.append(command);
    if (!Flush(f, timeoutMs)) return false;
    long long start = MonotonicMs();
    long long ceiling = start + static_cast<long long>(timeoutMs) * kMilterProgressCeiling;
    long long deadline = start + timeoutMs;
    for (;;) {
      MilterPacket packet;
      if (!NextPacket(f, deadline, &packet)) return false;
      std::string error;
      switch (reader.Take(packet, &error)) {
        case MilterReplyStatus::More:
          break;
        case MilterReplyStatus::Progress:
          deadline = std::min(MonotonicMs() + timeoutMs, ceiling);
          break;
        case MilterReplyStatus::Done:
          return true;
        case MilterReplyStatus::Bad:
          Failed(f, Cause::Protocol, "it broke the protocol: " + error);
          return false;
      }
    }
  }

  // Another session found f down a moment ago: no session waits for it.
  bool FoundDown(Filter &f) {
    if (!IsDown(*f.Address)) return false;
    Failed(f, Cause::Down,
           "it failed less than " + std::to_string(I.Settings.RetryIntervalMs / 1000) +
               " s ago (MilterRetryInterval)");
    return true;
  }

  // Connects to f and negotiates; false when f failed.
  bool Connect(Filter &f) {
    const MilterAddress &a = *f.Address;
    const MilterSettings &s = I.Settings;
    if (FoundDown(f)) return false;
    if (a.Family == MilterFamily::Unix) {
      f.Fd = ConnectLocalSocket(a.Path, s.ConnectTimeoutMs);
    } else {
      IpAddress address = a.Address;
      HostEntry host;
      if (!address.Valid() && ZelGetHostByName(a.Host, host) == ERROR_SUCCESS &&
          !host.addresses.empty())
        address = IpV4(host.addresses[0]);
      if (!address.Valid()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
      } else {
        f.Fd = ConnectSocket(address, a.Port, s.ConnectTimeoutMs);
      }
    }
    if (!f.Open()) {
      long code = GetLastError();
      Failed(f, Cause::Unreachable,
             code == ERROR_FILE_NOT_FOUND && a.Family != MilterFamily::Unix
                 ? "its host name is not known"
                 : SystemText(code));
      return false;
    }
    if (!Send(f, MilterNegotiatePacket(), s.CommandTimeoutMs)) return false;
    MilterPacket packet;
    if (!NextPacket(f, MonotonicMs() + s.CommandTimeoutMs, &packet)) return false;
    std::string error;
    if (packet.Command != kMilterReplyNegotiate) error = "no negotiation reply";
    if (error.empty() && ParseMilterNegotiation(packet.Data, &f.Options, &error)) {
      ReportReached(a);
      return true;
    }
    Failed(f, Cause::Protocol, "it broke the protocol: " + error);
    return false;
  }

  // What f's answer means; true when the stage stops at it.
  bool Decide(Filter &f, const MilterReplyReader &r, MilterStage stage) {
    bool connection = stage == MilterStage::Connect || stage == MilterStage::Helo;
    switch (r.Answer) {
      case MilterAnswer::Continue:
      case MilterAnswer::Skip:
        return false;
      case MilterAnswer::Accept:
        if (connection) {
          CloseFilter(f, true);
        } else {
          f.bDoneWithMessage = true;
        }
        return false;
      case MilterAnswer::Reject:
      case MilterAnswer::TempFail: {
        bool reject = r.Answer == MilterAnswer::Reject;
        Result->Decision = reject ? MilterDecision::Reject : MilterDecision::TempFail;
        Result->Reply = !r.Reply.empty() ? r.Reply : reject ? kMilterRejectReply : kMilterTempFailReply;
        if (connection) CloseFilter(f, true);
        if (stage != MilterStage::Rcpt) f.bDoneWithMessage = true;
        break;
      }
      case MilterAnswer::Discard:
        Result->Decision = MilterDecision::Discard;
        I.bDiscard = true;
        f.bDoneWithMessage = true;
        break;
      case MilterAnswer::Shutdown:
        Result->Decision = MilterDecision::Shutdown;
        Result->Reply = kMilterShutdownReply;
        CloseFilter(f, true);
        break;
    }
    Result->Filter = f.Address->Spec;
    ClearChanges(Result);
    return true;
  }

  // The filters a stage of the transaction goes to, in order; stage runs
  // for each and returns true to stop.
  template <typename Step>
  void ForEachFilter(bool transaction, Step step) {
    for (Filter &f : I.Filters) {
      if (FailedBefore(f)) return;
      if (!f.Open() || (transaction && f.bDoneWithMessage)) continue;
      if (step(f)) return;
    }
  }

  // Sends command (after macros) to each filter that wants it; stops at
  // the first that refuses.
  void SimpleStage(MilterStage stage, char command, const MilterMacros &macros,
                   const std::string &packet, uint32_t skipStep, uint32_t noReply) {
    bool transaction = stage != MilterStage::Connect && stage != MilterStage::Helo;
    MilterReplyContext context =
        transaction ? MilterReplyContext::Transaction : MilterReplyContext::Connection;
    ForEachFilter(transaction, [&](Filter &f) {
      if (stage == MilterStage::Mail) f.bInTransaction = true;
      if (!f.Wants(skipStep)) return false;
      std::string out;
      AppendMilterMacros(&out, command, macros);
      out += packet;
      MilterReplyReader reader(context, f.Options, I.Settings.MaxBodyBytes);
      if (!Ask(f, out, noReply, reader, I.Settings.CommandTimeoutMs))
        return Result->Decision != MilterDecision::Continue;
      return Decide(f, reader, stage);
    });
  }

  // Filters in an unfinished transaction are told it is over.
  void AbortTransaction() {
    std::string abort;
    AppendMilterPacket(&abort, kMilterCmdAbort, {});
    for (Filter &f : I.Filters) {
      if (f.Open() && f.bInTransaction && !f.bDoneWithMessage) {
        f.Out += abort;
        Flush(f, I.Settings.CommandTimeoutMs);
      }
      f.bInTransaction = f.bDoneWithMessage = false;
    }
    I.bDiscard = false;
  }

  MilterMacros ConnectMacros() const {
    const MilterConnectInfo &c = I.Info;
    std::string client = c.ClientAddress.Valid() ? AddressText(c.ClientAddress) : std::string();
    MilterMacros m = {{"j", c.HostName}, {"{daemon_name}", c.DaemonName}};
    if (!client.empty()) m.push_back({"{client_addr}", client});
    m.push_back({"{client_name}", ClientName()});
    if (c.LocalAddress.Valid()) m.push_back({"{if_addr}", AddressText(c.LocalAddress)});
    return m;
  }

  std::string ClientName() const {
    const MilterConnectInfo &c = I.Info;
    if (!c.ClientName.empty()) return c.ClientName;
    return c.ClientAddress.Valid() ? "[" + AddressText(c.ClientAddress) + "]" : "localhost";
  }

  MilterMacros IdMacros() const {
    MilterMacros m;
    if (!Session.MessageId.empty()) m.push_back({"i", Session.MessageId});
    return m;
  }

  void RunConnect() {
    I.bConnected = true;
    std::string packet = MilterConnectPacket(ClientName(), I.Info.ClientAddress, I.Info.ClientPort);
    MilterMacros macros = ConnectMacros();
    for (Filter &f : I.Filters) {
      if (!Connect(f)) {
        if (Result->Decision != MilterDecision::Continue) return;
        continue;
      }
      if (!f.Wants(kMilterNoConnect)) continue;
      std::string out;
      AppendMilterMacros(&out, kMilterCmdConnect, macros);
      out += packet;
      MilterReplyReader reader(MilterReplyContext::Connection, f.Options, 0);
      if (!Ask(f, out, kMilterNoReplyConnect, reader, I.Settings.CommandTimeoutMs)) {
        if (Result->Decision != MilterDecision::Continue) return;
        continue;
      }
      if (Decide(f, reader, MilterStage::Connect)) return;
    }
  }

  void RunEnvelope(const MilterRequest &r) {
    bool mail = r.Stage == MilterStage::Mail;
    MilterMacros macros;
    if (mail) {
      macros = IdMacros();
      macros.push_back({"{mail_addr}", r.Argument});
      if (!Session.AuthName.empty()) macros.push_back({"{auth_authen}", Session.AuthName});
    } else {
      macros.push_back({"{rcpt_addr}", r.Argument});
    }
    char command = mail ? kMilterCmdMail : kMilterCmdRcpt;
    SimpleStage(r.Stage, command, macros, MilterEnvelopePacket(command, r.Argument, r.Parameters),
                mail ? kMilterNoMail : kMilterNoRcpt, mail ? kMilterNoReplyMail : kMilterNoReplyRcpt);
  }

  // The message through one filter: headers, end of headers, body, end of
  // message. False when the stage stops at f (refused, or failed with a
  // refusing default action).
  bool MessageThrough(Filter &f, const MessageSource &text, const MessageTextLayout &layout,
                      MilterChanges *changes) {
    const MilterSettings &s = I.Settings;
    auto stops = [this] { return Result->Decision != MilterDecision::Continue; };
    auto ask = [&](std::string_view out, uint32_t noReply, MilterReplyContext context,
                   DWORD timeoutMs, bool *skipped) {
      MilterReplyReader reader(context, f.Options, s.MaxBodyBytes);
      *skipped = false;
      if (!Ask(f, out, noReply, reader, timeoutMs)) return false;
      *skipped = reader.Answer == MilterAnswer::Skip;
      if (Decide(f, reader, MilterStage::Message)) return false;
      return !f.bDoneWithMessage;
    };
    bool skip = false;
    if (f.Wants(kMilterNoHeaders)) {
      bool leading = (f.Options.Protocol & kMilterHeaderLeadingSpace) != 0;
      for (const MessageTextField &field : layout.Fields) {
        std::string packet = MilterHeaderPacket(field.Name, MilterFieldValue(field, leading));
        if (!ask(packet, kMilterNoReplyHeader, MilterReplyContext::Transaction, s.CommandTimeoutMs,
                 &skip))
          return !stops();
      }
    }
    if (f.Wants(kMilterNoEndOfHeaders)) {
      std::string out;
      AppendMilterMacros(&out, kMilterCmdEndOfHeaders, IdMacros());
      AppendMilterPacket(&out, kMilterCmdEndOfHeaders, {});
      if (!ask(out, kMilterNoReplyEndOfHeaders, MilterReplyContext::Transaction,
               s.CommandTimeoutMs, &skip))
        return !stops();
    }
    if (f.Wants(kMilterNoBody) && !SendBody(text, layout, ask)) return !stops();
    std::string out;
    AppendMilterMacros(&out, kMilterCmdEndOfMessage, IdMacros());
    AppendMilterPacket(&out, kMilterCmdEndOfMessage, {});
    MilterReplyReader reader(MilterReplyContext::EndOfMessage, f.Options, s.MaxBodyBytes);
    if (!Ask(f, out, 0, reader, s.ContentTimeoutMs)) return !stops();
    f.bInTransaction = false;
    if (Decide(f, reader, MilterStage::Message)) return false;
    *changes = std::move(reader.Changes);
    return true;
  }

  // The body in chunks, read a piece at a time; false when the filter is
  // done with the message (refused, accepted, or failed), true after the
  // last chunk or a skip.
  template <typename AskFn>
  bool SendBody(const MessageSource &text, const MessageTextLayout &layout, AskFn &ask) {
    MessageBodyReader body(text, layout.BodyStart, layout.BodyEnd);
    std::string chunk;
    while (body.Next(kMilterBodyChunk, &chunk)) {
      std::string packet;
      AppendMilterPacket(&packet, kMilterCmdBody, chunk);
      bool skipped = false;
      if (!ask(packet, kMilterNoReplyBody, MilterReplyContext::Body, I.Settings.ContentTimeoutMs,
               &skipped))
        return false;
      if (skipped) return true;
    }
    if (!body.Failed()) return true;
    OurTextFailed("the message text cannot be read: " + SystemText(GetLastError()));
    return false;
  }

  // The text is ours, not the filter's: no filter is to blame.
  void OurTextFailed(const std::string &why, const char *reply = kMilterTempFailReply) {
    Result->Decision = MilterDecision::TempFail;
    Result->Reply = reply;
    Result->FailureText = why;
  }

  void RunMessage(MessageSource text) {
    std::string head;     // the header as read for the filter at hand
    std::string edited;   // the text as the filters so far left it (its changed part)
    MemoryHold hold;
    for (Filter &f : I.Filters) {
      if (FailedBefore(f)) return;
      if (!f.Open() || f.bDoneWithMessage) continue;
      MessageTextLayout layout;
      std::string error;
      if (!SplitMessageSource(text, &head, &layout, &error)) return OurTextFailed(error);
      if (!hold.Resize(head.capacity() + edited.capacity()))
        return OurTextFailed("no room in the memory budget", kNoMemoryReply);
      MilterChanges changes;
      if (!MessageThrough(f, text, layout, &changes)) return;
      if (changes.Empty()) continue;
      if (!hold.Resize(hold.Held() + changes.Text.Body.capacity()))
        return OurTextFailed("no room in the memory budget", kNoMemoryReply);
      if (!changes.Text.Empty() && &f != &I.Filters.back()) {
        std::string next;
        MessageSource nextText;
        if (!EditMessageSource(text, {changes.Text}, &next, &nextText, &error)) {
          Failed(f, Cause::Protocol, "its changes cannot be applied: " + error);
          return;
        }
        edited = std::move(next);
        text = nextText;
        text.Memory = edited;
      }
      Merge(f, std::move(changes));
    }
  }

  void Merge(const Filter &f, MilterChanges c) {
    MilterResult &r = *Result;
    r.Changers.push_back(f.Address->Spec);
    if (!c.Text.Empty()) r.TextEdits.push_back(std::move(c.Text));
    if (c.bChangeSender) {
      r.bChangeSender = true;
      r.Sender = std::move(c.Sender);
      r.SenderParameters = std::move(c.SenderParameters);
    }
    for (auto &a : c.AddedRecipients) r.AddedRecipients.push_back(std::move(a));
    for (auto &d : c.DeletedRecipients) r.DeletedRecipients.push_back(std::move(d));
    if (c.bQuarantine && !r.bQuarantine) {
      r.bQuarantine = true;
      r.QuarantineReason = std::move(c.QuarantineReason);
    }
  }

  void Run(const MilterRequest &r) {
    Dispatch(r);
    // Commands that expect no answer leave now, not with the next stage.
    for (Filter &f : I.Filters)
      if (f.Open()) Flush(f, I.Settings.CommandTimeoutMs);
  }

  void Dispatch(const MilterRequest &r) {
    if (!I.bConnected && r.Stage != MilterStage::Close && r.Stage != MilterStage::Abort) {
      RunConnect();
      if (r.Stage == MilterStage::Connect || Result->Decision != MilterDecision::Continue) return;
    }
    bool discarded = I.bDiscard && (r.Stage == MilterStage::Rcpt || r.Stage == MilterStage::Data ||
                                    r.Stage == MilterStage::Message);
    if (discarded) {
      Result->Decision = MilterDecision::Discard;
      if (r.Stage == MilterStage::Message) AbortTransaction();
      return;
    }
    switch (r.Stage) {
      case MilterStage::Connect:
        return;
      case MilterStage::Helo:
        AbortTransaction();
        return SimpleStage(r.Stage, kMilterCmdHelo, {}, MilterHeloPacket(r.Argument),
                           kMilterNoHelo, kMilterNoReplyHelo);
      case MilterStage::Mail:
        AbortTransaction();
        return RunEnvelope(r);
      case MilterStage::Rcpt:
        return RunEnvelope(r);
      case MilterStage::Data: {
        std::string packet;
        AppendMilterPacket(&packet, kMilterCmdData, {});
        return SimpleStage(r.Stage, kMilterCmdData, IdMacros(), packet, kMilterNoData,
                           kMilterNoReplyData);
      }
      case MilterStage::Message:
        RunMessage(r.MessageFd >= 0 ? MessageSource{{}, r.MessageFd, 0, r.MessageSize}
                                    : MessageSource{r.Message});
        // Those that refused before the end, and those after a refusal,
        // never saw the end: they are told.
        if (Result->Decision != MilterDecision::Continue) return AbortTransaction();
        for (Filter &f : I.Filters) f.bInTransaction = f.bDoneWithMessage = false;
        return;
      case MilterStage::Abort:
        return AbortTransaction();
      case MilterStage::Close:
        for (Filter &f : I.Filters) CloseFilter(f, true);
        return;
    }
  }
};

}  // namespace

// ---- settings and names

bool ParseMilterAddress(std::string_view entry, MilterAddress *out) {
  MilterAddress a;
  a.Spec = entry;
  if (StartsWithNoCase(entry, "unix:")) {
    std::string_view path = entry.substr(5);
    if (path.empty() || path[0] != '/' || path.size() > kMaxLocalSocketPath) return false;
    if (std::any_of(path.begin(), path.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }))
      return false;
    a.Family = MilterFamily::Unix;
    a.Path = path;
  } else if (StartsWithNoCase(entry, "inet6:")) {
    std::string_view rest = entry.substr(6);
    size_t close = rest.find(']');
    if (rest.empty() || rest[0] != '[' || close == std::string_view::npos ||
        close + 1 >= rest.size() || rest[close + 1] != ':')
      return false;
    if (!ParseAddress(rest.substr(1, close - 1), &a.Address) || !a.Address.IsV6()) return false;
    if (!ParsePort(rest.substr(close + 2), &a.Port)) return false;
    a.Family = MilterFamily::Inet6;
  } else if (StartsWithNoCase(entry, "inet:")) {
    std::string_view rest = entry.substr(5);
    size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos || !ParsePort(rest.substr(colon + 1), &a.Port)) return false;
    std::string_view host = rest.substr(0, colon);
    if (!IsHostNameText(host)) return false;
    a.Family = MilterFamily::Inet;
    a.Host = host;
    IpAddress literal;
    if (ParseAddress(host, &literal)) a.Address = literal;
  } else {
    return false;
  }
  *out = std::move(a);
  return true;
}

void LoadMilterSettings(HKEY params, MilterSettings *settings) {
  LoadFilters(params, settings);
  LoadTimeout(params, kMilterConnectTimeoutValue, &settings->ConnectTimeoutMs);
  LoadTimeout(params, kMilterCommandTimeoutValue, &settings->CommandTimeoutMs);
  LoadTimeout(params, kMilterContentTimeoutValue, &settings->ContentTimeoutMs);
  LoadRetryInterval(params, settings);
  std::string action;
  if (!QueryRegString(params, kMilterDefaultActionValue, kMaxDefaultActionChars, action)) return;
  if (EqualsNoCase(action, "tempfail")) {
    settings->DefaultAction = MilterDefaultAction::TempFail;
  } else if (EqualsNoCase(action, "accept")) {
    settings->DefaultAction = MilterDefaultAction::Accept;
  } else if (EqualsNoCase(action, "reject")) {
    settings->DefaultAction = MilterDefaultAction::Reject;
  } else {
    ReportBadSetting(kMilterDefaultActionValue, "\"" + LogSafeText(action) + "\" (tempfail is used)");
    settings->DefaultAction = MilterDefaultAction::TempFail;
  }
}

const char *MilterStageName(MilterStage stage) {
  switch (stage) {
    case MilterStage::Connect: return "connect";
    case MilterStage::Helo: return "helo";
    case MilterStage::Mail: return "mail";
    case MilterStage::Rcpt: return "rcpt";
    case MilterStage::Data: return "data";
    case MilterStage::Message: return "message";
    case MilterStage::Abort: return "abort";
    case MilterStage::Close: return "close";
  }
  return "?";
}

MilterSession::MilterSession(const MilterSettings &settings, const MilterConnectInfo &info)
    : impl_(std::make_unique<Impl>()) {
  impl_->Settings = settings;
  impl_->Info = info;
  impl_->Filters.resize(impl_->Settings.Filters.size());
  for (size_t i = 0; i < impl_->Filters.size(); ++i)
    impl_->Filters[i].Address = &impl_->Settings.Filters[i];
}

MilterSession::~MilterSession() {
  for (Filter &f : impl_->Filters) CloseFilter(f, true);
}

void RunMilterStage(MilterSession &session, const MilterRequest &request, MilterResult *result,
                    const std::atomic<bool> *cancel) {
  *result = MilterResult();
  if (session.impl_->Filters.empty()) return;
  Exchange x{session, *session.impl_, result, cancel};
  x.Run(request);
}

void FilterGeneratedMessage(const MilterSettings &settings, const MilterConnectInfo &info,
                            const std::string &messageId, const std::string &sender,
                            const std::vector<std::string> &recipients, std::string_view message,
                            MilterResult *result, std::vector<size_t> *refused,
                            const std::atomic<bool> *cancel) {
  refused->clear();
  *result = MilterResult();
  if (!settings.Enabled()) return;
  MilterSession session(settings, info);
  session.MessageId = messageId;
  auto run = [&](MilterStage stage, const std::string &argument) {
    MilterRequest r;
    r.Stage = stage;
    r.Argument = argument;
    RunMilterStage(session, r, result, cancel);
    return result->Decision == MilterDecision::Continue;
  };
  if (!run(MilterStage::Connect, {}) || !run(MilterStage::Helo, info.HostName) ||
      !run(MilterStage::Mail, sender))
    return;
  MilterResult lastRefusal;
  for (size_t i = 0; i < recipients.size(); ++i) {
    if (run(MilterStage::Rcpt, recipients[i])) continue;
    if (result->Decision != MilterDecision::Reject && result->Decision != MilterDecision::TempFail)
      return;
    refused->push_back(i);
    lastRefusal = *result;
  }
  if (refused->size() == recipients.size() && !recipients.empty()) {
    *result = std::move(lastRefusal);
    return;
  }
  if (!run(MilterStage::Data, {})) return;
  MilterRequest r;
  r.Stage = MilterStage::Message;
  r.Message = message;
  RunMilterStage(session, r, result, cancel);
}

// ---- the pool

struct MilterPool::Impl {
  CompletionPort *Port = nullptr;
  std::mutex Lock;
  std::condition_variable Work;    // a job queued, or the stop
  std::condition_variable Left;    // a thread left
  std::deque<MilterJob *> Queue;
  bool Running = false;
  bool Stopping = false;
  unsigned Threads = 0;            // threads that have not left yet
  std::atomic<bool> Cancel{false};

  void Complete(MilterJob *job) {
    // A port out of memory is asked again rather than leave a connection hanging.
    while (!Port->Post(0, job->Key, job->Overlapped)) Sleep(kRepostDelayMs);
  }

  void Worker() {
    std::unique_lock<std::mutex> lk(Lock);
    for (;;) {
      Work.wait(lk, [&] { return Stopping || !Queue.empty(); });
      if (Stopping) break;
      MilterJob *job = Queue.front();
      Queue.pop_front();
      lk.unlock();
      if (!job->Before || job->Before(*job))
        RunMilterStage(*job->Session, job->Request, &job->Result, &Cancel);
      if (job->After) job->After(*job);
      Complete(job);
      lk.lock();
    }
    --Threads;
    Left.notify_all();
  }
};

MilterPool::MilterPool() : impl_(std::make_unique<Impl>()) {}

MilterPool::~MilterPool() { Stop(); }

bool MilterPool::Start(CompletionPort &port, unsigned threads) {
  Impl &p = *impl_;
  unsigned count = std::min(threads == 0 ? kDefaultMilterThreads : threads, kMaxMilterThreads);
  {
    std::lock_guard<std::mutex> g(p.Lock);
    p.Port = &port;
    p.Stopping = false;
    p.Running = true;
    p.Cancel = false;
  }
  for (unsigned i = 0; i < count; ++i) {
    if (!StartCountedThread(p.Lock, p.Threads, [&p] { p.Worker(); }, kMilterThreadStackBytes)) {
      long error = GetLastError();
      Stop();
      SetLastError(error);
      return false;
    }
  }
  return true;
}

bool MilterPool::Submit(MilterJob *job) {
  Impl &p = *impl_;
  std::lock_guard<std::mutex> g(p.Lock);
  if (!p.Running || p.Stopping) {
    SetLastError(ERROR_OPERATION_ABORTED);
    return false;
  }
  job->bAborted = false;
  p.Queue.push_back(job);
  p.Work.notify_one();
  return true;
}

void MilterPool::Stop() {
  Impl &p = *impl_;
  std::deque<MilterJob *> unrun;
  {
    std::unique_lock<std::mutex> lk(p.Lock);
    if (!p.Running) return;
    p.Stopping = true;
    p.Cancel = true;
    p.Work.notify_all();
    p.Left.wait(lk, [&] { return p.Threads == 0; });
    unrun.swap(p.Queue);
    p.Running = false;
  }
  for (MilterJob *job : unrun) {
    job->Result = MilterResult();
    job->Result.Decision = MilterDecision::TempFail;
    job->Result.Reply = kMilterTempFailReply;
    job->Result.FailureText = "the service is stopping";
    job->bAborted = true;
    p.Complete(job);
  }
}
