// remote: see remote.h.
#include "ZELDELIV/remote.h"

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ZELDELIV/channel.h"
#include "ZELDELIV/chanwire.h"
#include "ZELDELIV/delivery.h"
#include "ZELDELIV/genfilter.h"
#include "ZELDELIV/msgtext.h"
#include "ZELDELIV/mtasts.h"
#include "ZELDELIV/ndreport.h"
#include "ZELDELIV/queue.h"
#include "ZELDELIV/routing.h"
#include "ZELDELIV/settings.h"
#include "ZELDELIV/smtpauth.h"
#include "ZELDELIV/smtpsend.h"
#include "common/fileutils.h"
#include "common/logging.h"
#include "common/pconfig.h"
#include "common/sasl.h"
#include "common/str.h"
#include "common/svcaccount.h"
#include "common/zel.h"
#include "messages/zelmsg.h"
#include "net/localhost.h"
#include "platform/childproc.h"
#include "platform/files.h"
#include "platform/privilege.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace {

// The supervisor, and the upkeep loop that reads domain records: the
// delivery threads' stack.
constexpr size_t kRemoteThreadStack = 1024 * 1024;
// The remote side's arguments after kRemoteSideArgument: the parent's
// process id, switch (0 or 1), uid, gid, and the spool it must serve.
constexpr int kRemoteSideArgs = 7;
// How long the child lets its domain threads notice the stop.
constexpr DWORD kChildStopGraceMs = 1000;
// StopRemoteSide waits this long for the supervisor to see the child end.
constexpr DWORD kStopWaitMs = kRemoteSideExitWaitMs + 2000;

// The channel of this process's side (the privileged side's to its
// current child, the child's to its parent) and the supervisor's state.
struct ChannelSlot {
  std::mutex Lock;
  std::condition_variable Changed;
  std::shared_ptr<Channel> Current;   // null while there is none
  bool Starting = false;              // a child is about to be there
  bool CycleDone = false;             // the scanning thread finished a work cycle
  bool Stopping = false;
  bool SupervisorDone = true;
  ZelEvent Stop{true, false};         // wakes the supervisor's back-off
  ZelEvent Wake{false, false};        // the child's upkeep: auto-reset
};

// Never destroyed: handler threads may still use it while the process ends.
ChannelSlot &Slot() {
  static ChannelSlot *slot = new ChannelSlot;
  return *slot;
}

// True when the new channel's side may work on the domains at once: the
// scanning thread has filed what was queued before (a work cycle ended).
bool Publish(std::shared_ptr<Channel> channel) {
  ChannelSlot &s = Slot();
  std::lock_guard<std::mutex> guard(s.Lock);
  // A child started while the service began to stop goes at once.
  if (s.Stopping && channel) channel->Close();
  s.Current = std::move(channel);
  s.Starting = false;
  s.Changed.notify_all();
  return s.CycleDone;
}

void Wake(Channel &channel) {
  ChannelMessage wake;
  wake.Kind = ChannelKind::kWake;
  channel.Notify(wake);
}

void MarkStarting() {
  ChannelSlot &s = Slot();
  std::lock_guard<std::mutex> guard(s.Lock);
  s.Starting = true;
}

// The channel; while a child is being started, waiting up to waitMs for
// it (not while a child that ended waits out its back-off: the work then
// waits for a later pass instead of holding up this one).
std::shared_ptr<Channel> CurrentChannel(DWORD waitMs) {
  ChannelSlot &s = Slot();
  std::unique_lock<std::mutex> guard(s.Lock);
  s.Changed.wait_for(guard, std::chrono::milliseconds(waitMs), [&] {
    return s.Stopping || !s.Starting || (s.Current && !s.Current->Closed());
  });
  return s.Current;
}

bool StopRequested() {
  ChannelSlot &s = Slot();
  std::lock_guard<std::mutex> guard(s.Lock);
  return s.Stopping;
}

constexpr std::string_view kHeldExtension = ".MSG";

std::string LastComponent(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// A name the child may give for a file or directory below one of ours.
bool IsPlainName(const std::string &name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string::npos && IsSafeHeaderText(name);
}

// ---- the privileged side: what the child asks

// A domain whose queue the child may hand over: never the local queue.
bool IsRemoteDomain(const std::string &domain) {
  return IsPlainName(domain) && !EqualsNoCase(domain, kLocalQueueName) &&
         !DomainDirectory(domain).empty();
}

}  // namespace

uint32_t ServeRemoteSideRequest(const ChannelMessage &m) {
  switch (m.Kind) {
    case ChannelKind::kDeliverLocally:
      if (!IsRemoteDomain(m.Texts[0])) return kAnswerRefused;
      return DeliverDomainHere(m.Texts[0].c_str()) == 1 ? 1 : 0;
    case ChannelKind::kDeadLetter:
      // Only a held message's file: "<base>.MSG".
      if (!IsPlainName(m.Texts[0]) || m.Texts[0].size() <= kHeldExtension.size() ||
          !EndsWithNoCase(m.Texts[0], kHeldExtension))
        return kAnswerRefused;
      return DeadMessage(MailHoldingDirectory + "/" + m.Texts[0], LogSafeText(m.Texts[1]).c_str())
                 ? 1
                 : 0;
    case ChannelKind::kQueueLeft:
      if (IsPlainName(m.Texts[0]) && !EqualsNoCase(m.Texts[0], kLocalQueueName))
        RemoveQueueDirectory(MailDomainsDirectory + "/" + m.Texts[0]);
      return 0;
    default:
      return kAnswerRefused;   // the privileged side's own kinds
  }
}

uint32_t HandGatewayPassword(std::vector<UniqueFd> &fds) {
  if (fds.size() != 1) return kAnswerRefused;
  std::string password, why;
  bool ok = false;
  if (GatewayUser.empty() || GatewayPasswordFile.empty())
    why = "GatewayUser and GatewayPasswordFile are not both set";
  else
    ok = ReadGatewayPassword(GatewayPasswordFile, password, why);
  bool written = WriteHandedFile(fds[0].Get(), ok ? std::string_view(password) : why);
  WipeSecret(password);
  if (!written) return kAnswerRefused;
  return ok ? 1 : 0;
}

namespace {

void ServeRemoteSide(const std::shared_ptr<Channel> &channel, ChannelMessage &message,
                     std::vector<UniqueFd> &fds) {
  uint32_t value = message.Kind == ChannelKind::kGatewayPassword ? HandGatewayPassword(fds)
                                                                  : ServeRemoteSideRequest(message);
  if (message.Id != 0) channel->Answer(message.Id, value);
}

// ---- the privileged side: what it asks

// The end of a work cycle: the queues it filed are there for the child.
// A child that starts later is woken by the supervisor (Publish).
void WakeRemoteSide() {
  StartRemoteSide();   // again, should its supervisor have failed to start
  ChannelSlot &s = Slot();
  std::shared_ptr<Channel> channel;
  {
    std::lock_guard<std::mutex> guard(s.Lock);
    s.CycleDone = true;
    channel = s.Current;
  }
  if (channel) Wake(*channel);
}

GeneratedFilterOutcome FilterOnRemoteSide(int messageFd, const std::string &messageId,
                                          GeneratedEnvelope &env,
                                          std::optional<std::string> *changed) {
  std::shared_ptr<Channel> channel = CurrentChannel(kRemoteSideStartWaitMs);
  UniqueFd envelope(CreateTempFileDeleteOnClose()), text(CreateTempFileDeleteOnClose());
  if (!channel || !envelope.Valid() || !text.Valid() ||
      !WriteHandedFile(envelope.Get(), EncodeEnvelope(env.Sender, env.Recipients)))
    return GeneratedFilterOutcome::kRetry;
  ChannelMessage request;
  request.Kind = ChannelKind::kFilterGenerated;
  request.Texts = {messageId};
  const int fds[] = {messageFd, envelope.Get(), text.Get()};
  uint32_t value = kAnswerRefused;
  if (!channel->Call(request, fds, kFilterAnswerWaitMs, &value))
    return GeneratedFilterOutcome::kRetry;
  uint32_t outcome = value & 0xFF;
  if (value == kAnswerRefused || outcome > static_cast<uint32_t>(GeneratedFilterOutcome::kRetry))
    return GeneratedFilterOutcome::kRetry;
  if (outcome != static_cast<uint32_t>(GeneratedFilterOutcome::kQueue))
    return static_cast<GeneratedFilterOutcome>(outcome);
  std::string wire, edited;
  if (!ReadHandedFile(envelope.Get(), kMaxEnvelopeBytes, wire) ||
      !DecodeEnvelope(wire, env.Sender, env.Recipients))
    return GeneratedFilterOutcome::kRetry;
  if ((value & kFilterTextChanged) != 0) {
    if (!ReadHandedFile(text.Get(), GeneratedFilterTextLimit(), edited))
      return GeneratedFilterOutcome::kRetry;
    *changed = std::move(edited);
  }
  return GeneratedFilterOutcome::kQueue;
}

// ---- the privileged side: the supervisor

std::vector<std::string> ChildArguments() {
  const ServiceAccountIds &a = RemoteSideAccount;
  return {"zeldeliv",
          kRemoteSideArgument,
          std::to_string(CurrentProcess()),
          a.Switch ? "1" : "0",
          std::to_string(a.Uid),
          std::to_string(a.Gid),
          MailSpoolDirectory};
}

// One child from start to end: why it ended.
std::string RunOneChild(const std::vector<std::string> &args) {
  ChildProcess child;
  UniqueFd socket;
  if (!child.Start(args, socket)) {
    Publish(nullptr);
    std::string text;
    FormatSystemMessage(GetLastError(), text);
    return "it could not be started (" + text + ")";
  }
  auto channel = std::make_shared<Channel>(std::move(socket));
  if (Publish(channel)) Wake(*channel);
  bool orderly = channel->Serve(ServeRemoteSide);
  Publish(nullptr);
  std::string why = ExitStatusText(child.Reap(kRemoteSideExitWaitMs));
  return orderly ? why : why + ", after a message that broke the protocol";
}

void Supervise() {
  const std::vector<std::string> args = ChildArguments();
  unsigned backoff = kFirstRestartSeconds;
  while (!StopRequested()) {
    long long started = MonotonicMs();
    MarkStarting();
    std::string why = RunOneChild(args);
    if (StopRequested()) break;
    if (MonotonicMs() - started >= kHealthyRunSeconds * 1000LL) backoff = kFirstRestartSeconds;
    LogEvent(EVENTLOG_ERROR_TYPE, MSG_REMOTE_SIDE_ENDED, why.c_str(),
             std::to_string(backoff).c_str());
    WaitForSingleObject(Slot().Stop, backoff * 1000);
    backoff = std::min(backoff * 2, kMaxRestartSeconds);
  }
  ChannelSlot &s = Slot();
  std::lock_guard<std::mutex> guard(s.Lock);
  s.SupervisorDone = true;
  s.Changed.notify_all();
}

}  // namespace

// What the account writes: its queues, its outlog, and what every account
// process writes; `holding` and `domains` stay root's, open to its group.
bool GiveFilesToRemoteSide(uid_t uid, gid_t gid) {
  if (!GiveRuntimeFilesToAccount(uid, gid)) return false;
  // Queues past the listing's bound were made by an agent of this kind,
  // which gave them to the account already.
  std::vector<std::string> domains;
  if (!ListDirectory(MailDomainsDirectory, "", ListKind::kDirectories, kMaxDomainDirectories,
                     domains) &&
      GetLastError() != ERROR_MORE_DATA)
    return false;
  std::string mtaSts = SpoolPath(kMtaStsDir);
  return RunHandOverSteps({
      {"holding", [&] { return GiveDirectoryToAccount(MailHoldingDirectory, 0, 0) &&
                               OpenDirectoryToGroup(MailHoldingDirectory, gid) &&
                               GiveFilesToAccount(MailHoldingDirectory, uid, gid); }},
      {"domains", [&] {
         if (!GiveDirectoryToAccount(MailDomainsDirectory, 0, 0) ||
             !OpenDirectoryToGroup(MailDomainsDirectory, gid, true))
           return false;
         for (const std::string &name : domains) {
           if (name == kLocalQueueName) continue;
           std::string dir = MailDomainsDirectory + "/" + name;
           if (!GiveDirectoryToAccount(dir, uid, gid) || !GiveFilesToAccount(dir, uid, gid))
             return false;
         }
         return true;
       }},
      {"outlog", [&] { return GiveDirectoryToAccount(MailOutlogDirectory, uid, gid) &&
                              GiveFilesToAccount(MailOutlogDirectory, uid, gid); }},
      {"mta-sts", [&] { return GiveDirectoryToAccount(mtaSts, uid, gid) &&
                               GiveFilesToAccount(mtaSts, uid, gid); }},
  });
}

namespace {

// ---- the remote side

struct RemoteSideArgs {
  pid_t Parent = 0;
  ServiceAccountIds Account;
  std::string Spool;
};

// The arguments come from the privileged side, which made them.
bool ParseRemoteSideArgs(int argc, char **argv, RemoteSideArgs &a) {
  if (argc != kRemoteSideArgs) return false;
  a.Parent = static_cast<pid_t>(LeadingInteger(argv[2], 0, INT32_MAX));
  a.Account.Switch = LeadingInteger(argv[3], 0, 1) == 1;
  a.Account.Uid = static_cast<uid_t>(LeadingInteger(argv[4], 0, UINT32_MAX));
  a.Account.Gid = static_cast<gid_t>(LeadingInteger(argv[5], 0, UINT32_MAX));
  a.Spool = argv[6];
  return a.Parent > 1;
}

std::shared_ptr<Channel> ParentChannel() { return CurrentChannel(0); }

int AskDeliverLocally(const char *domain) {
  std::shared_ptr<Channel> channel = ParentChannel();
  ChannelMessage request;
  request.Kind = ChannelKind::kDeliverLocally;
  request.Texts = {domain};
  uint32_t value = 0;
  if (!channel || !channel->Call(request, {}, kPrivilegedAnswerWaitMs, &value)) return 0;
  return value == 1 ? 1 : 0;
}

// Only held messages become dead letters on this side (the SMTP client's).
bool AskDeadLetter(const std::string &path, const char *reason) {
  std::shared_ptr<Channel> channel = ParentChannel();
  if (!channel || path.substr(0, path.rfind('/')) != MailHoldingDirectory) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  ChannelMessage request;
  request.Kind = ChannelKind::kDeadLetter;
  request.Texts = {LastComponent(path), reason != nullptr ? reason : ""};
  uint32_t value = 0;
  return channel->Call(request, {}, kPrivilegedAnswerWaitMs, &value) && value == 1;
}

// The relay host's password, as the privileged side reads it now.
bool AskGatewayPassword(std::string &password, std::string &why) {
  std::shared_ptr<Channel> channel = ParentChannel();
  UniqueFd memory(CreateMemoryFile());
  ChannelMessage request;
  request.Kind = ChannelKind::kGatewayPassword;
  const int fds[] = {memory.Get()};
  uint32_t value = kAnswerRefused;
  std::string text;
  if (!channel || !memory.Valid() ||
      !channel->Call(request, fds, kPrivilegedAnswerWaitMs, &value) || value > 1 ||
      !ReadHandedFile(memory.Get(), kMaxHandedPassword, text)) {
    why = "the password could not be had from the delivery agent's privileged process";
    return false;
  }
  if (value == 0) {
    why = LogSafeText(text);
    return false;
  }
  WipeSecret(password);
  password.swap(text);   // no copy of the secret is made
  return true;
}

bool NoticeQueueLeft(const std::string &directory) {
  std::shared_ptr<Channel> channel = ParentChannel();
  ChannelMessage notice;
  notice.Kind = ChannelKind::kQueueLeft;
  notice.Texts = {LastComponent(directory)};
  return channel && channel->Notify(notice);
}

// The mail filters' work on a message the privileged side generated: the
// value of the answer.
uint32_t FilterHandedMessage(const std::string &messageId, std::vector<UniqueFd> &fds) {
  constexpr uint32_t kRetry = static_cast<uint32_t>(GeneratedFilterOutcome::kRetry);
  std::string text, wire;
  GeneratedEnvelope env;
  if (fds.size() != 3 || !ReadHandedFile(fds[0].Get(), GeneratedFilterTextLimit(), text) ||
      !ReadHandedFile(fds[1].Get(), kMaxEnvelopeBytes, wire) ||
      !DecodeEnvelope(wire, env.Sender, env.Recipients))
    return kRetry;
  std::optional<std::string> changed;
  GeneratedFilterOutcome outcome = RunGeneratedFilters(text, messageId, env, &changed);
  if (outcome != GeneratedFilterOutcome::kQueue) return static_cast<uint32_t>(outcome);
  if (!WriteHandedFile(fds[1].Get(), EncodeEnvelope(env.Sender, env.Recipients))) return kRetry;
  if (changed && !WriteHandedFile(fds[2].Get(), *changed)) return kRetry;
  return static_cast<uint32_t>(GeneratedFilterOutcome::kQueue) |
         (changed ? kFilterTextChanged : 0);
}

void ServePrivilegedSide(const std::shared_ptr<Channel> &channel, ChannelMessage &message,
                         std::vector<UniqueFd> &fds) {
  uint32_t value = kAnswerRefused;
  if (message.Kind == ChannelKind::kWake) Slot().Wake.Set();
  if (message.Kind == ChannelKind::kFilterGenerated) value = FilterHandedMessage(message.Texts[0], fds);
  if (message.Id != 0) channel->Answer(message.Id, value);
}

// The domain list's upkeep: at every wake-up from the privileged side,
// and every scan interval without one. The first waits for the first
// wake-up, which comes once the privileged side has filed what was queued
// (a domain seen before its recipient files would be taken as finished).
// The MTA-STS policies this side knows, fetched again before they are due.
void MtaStsRefreshLoop() {
  while (WaitForSingleObject(*hTerminating, kMtaStsRefreshSeconds * 1000) == WAIT_TIMEOUT)
    RefreshMtaStsPolicies(DnsServer);
}

void UpkeepLoop() {
  Waitable *objects[2] = {&Slot().Wake, hTerminating.get()};
  while (WaitForMultipleObjects(2, objects, ScanIntervalMs()) != WAIT_OBJECT_0 + 1)
    UpkeepDomainsHere();
}

// The settings, the switch and the loss of every capability; false
// (reported) when the child must not go on.
bool BecomeRemoteSide(const RemoteSideArgs &a, void (*readSettings)()) {
  readSettings();
  if (MailSpoolDirectory != a.Spool) {
    // The settings changed since the service started: serving another
    // spool than the privileged side's would mix two queues.
    LogWin32Error(EVENTLOG_ERROR_TYPE, "MailSpoolDir (changed: restart the service)",
                  ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!InitRoutingModule() || !InitLogModule()) return false;
  if (long rc = a.Account.Switch ? RegReopenReadOnly() : ERROR_SUCCESS; rc != ERROR_SUCCESS) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "RegReopenReadOnly", rc);
    return false;
  }
  if (!ShedPrivileges(a.Account.Switch, a.Account.Uid, a.Account.Gid)) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "ShedPrivileges", GetLastError());
    return false;
  }
  // The switch of ids cleared the parent-death signal.
  return DieWithParent(a.Parent);
}

}  // namespace

// ---- the privileged side

bool PrepareRemoteSide() {
  if (!ResolveServiceAccountIds(&RemoteSideAccount)) return false;
  if (RemoteSideAccount.Switch &&
      !GiveFilesToRemoteSide(RemoteSideAccount.Uid, RemoteSideAccount.Gid))
    return false;
  HandGeneratedFiltersOff = FilterOnRemoteSide;
  DomainUpkeep = WakeRemoteSide;
  return true;
}

void StartRemoteSide() {
  ChannelSlot &s = Slot();
  {
    std::lock_guard<std::mutex> guard(s.Lock);
    if (s.Stopping || !s.SupervisorDone) return;
    s.SupervisorDone = false;
    s.Starting = true;   // the first pass may wait for the first child
  }
  if (StartThread(Supervise, kRemoteThreadStack)) return;
  LogWin32Error(EVENTLOG_ERROR_TYPE, "CreateThread (remote delivery)", GetLastError());
  std::lock_guard<std::mutex> guard(s.Lock);
  s.SupervisorDone = true;
  s.Starting = false;
}

void StopRemoteSide() {
  ChannelSlot &s = Slot();
  std::unique_lock<std::mutex> guard(s.Lock);
  s.Stopping = true;
  s.Stop.Set();
  if (s.Current) s.Current->Close();
  s.Changed.notify_all();
  s.Changed.wait_for(guard, std::chrono::milliseconds(kStopWaitMs), [&] { return s.SupervisorDone; });
}

// ---- the remote side

int RemoteSideMain(int argc, char **argv, void (*readSettings)()) {
  SetPrivateFileCreation();
  IgnoreStopSignals();
  RemoteSideArgs a;
  if (!ParseRemoteSideArgs(argc, argv, a) || !DieWithParent(a.Parent) ||
      !BecomeRemoteSide(a, readSettings))
    return EXIT_FAILURE;
  hTerminating = std::make_unique<ZelEvent>(true, false);
  GetLocalHostIPInfo();
  if (!GatewayName.empty()) AddGatewayRoute(GatewayName);
  GetManualRouteAddresses();
  DeliverDomainLocally = AskDeliverLocally;
  HandDeadLettersOff = AskDeadLetter;
  ReleaseQueueDirectory = NoticeQueueLeft;
  GatewayPasswordSource = AskGatewayPassword;
  auto channel = std::make_shared<Channel>(UniqueFd(kChildChannelFd));
  Publish(channel);
  LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_REMOTE_SIDE_RUNNING,
           std::to_string(CurrentProcess()).c_str(), CurrentUserName().c_str());
  if (!StartThread(UpkeepLoop, kRemoteThreadStack)) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "CreateThread (domain upkeep)", GetLastError());
    return EXIT_FAILURE;
  }
  // Without it policies are still fetched when mail needs them.
  if (!StartThread(MtaStsRefreshLoop, kRemoteThreadStack))
    LogWin32Error(EVENTLOG_WARNING_TYPE, "CreateThread (MTA-STS refresh)", GetLastError());
  channel->Serve(ServePrivilegedSide);
  // The privileged side is gone or stops: so does this one. The threads
  // are not joined, so the process ends without running destructors under
  // them.
  hTerminating->Set();
  Sleep(kChildStopGraceMs);
  std::_Exit(EXIT_SUCCESS);
}
