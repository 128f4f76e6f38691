// logonhelper: see logonhelper.h.
#include "common/logonhelper.h"

#include <string.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <utility>

#include "common/sasl.h"
#include "common/service.h"
#include "common/sessionstart.h"
#include "common/wirefields.h"
#include "platform/helperproc.h"
#include "platform/fileview.h"
#include "platform/localipc.h"

namespace {

constexpr size_t kRequestHead = 9;    // the four lengths, the flags
constexpr uint8_t kRequestMaster = 1; // a master logon (LogonJob::bMasterLogon)
constexpr size_t kAnswerHead = 13;    // flags, error, fail delay, session error
constexpr uint8_t kLoggedOn = 1, kNameUnknown = 2, kLookupFailed = 4, kBlocked = 8,
                  kUidRefused = 16, kSessionStarted = 32, kHostAccount = 64;
constexpr size_t kSessionFds = 2;     // data, control
constexpr size_t kSessionFdsWithDoor = 3;

HelperProcesses &Helpers() {
  // Never destroyed: the pool's threads may use it until the process ends.
  static HelperProcesses *helpers = new HelperProcesses;
  return *helpers;
}

// Once there were helpers, checks never fall back to this process: without
// root it would fail for every name anyway, and say less why.
std::atomic<bool> helpersStarted{false};
// Whether the helpers start sessions; set before they are forked.
bool SessionsOffered = false;

constexpr uint8_t kLaunchVersion = 1;
constexpr uint32_t kLaunchIdentity = 1, kLaunchVirtual = 2;
// The launch record: identity, account name and domain, the start record.
constexpr size_t kMaxSessionLaunch = 16 + 4 * kMaxSessionGroups + kMaxLogonHelperName +
                                     kMaxLogonHelperDomain + kMaxLogonHelperSession + 16;


// The child of a started session runs the program afresh: nothing of the
// helper's memory goes with it.
void StartSession(LogonJob &job, std::string_view start, const int *fds, size_t fdCount) {
  std::string launch = EncodeSessionLaunch(job, start);
  pid_t pid = ForkKeeping(fds, fdCount);
  if (pid == 0) ExecThisProgram(kSessionArgument, launch, kSessionLaunchFd);
  job.bSessionStarted = pid > 0;
  job.SessionError = pid > 0 ? ERROR_SUCCESS : GetLastError();
}

}  // namespace

// The first word of a started session, on the front's end of its control
// socket: it serves, or it names the reply the front sends instead.
void AwaitSessionWord(LogonJob &job) {
  char message[kMaxSessionReply + 1];
  std::vector<UniqueFd> none;
  long n = ReceiveMessage(job.FrontControlFd, message, sizeof message, none, 0,
                          kSessionStartWaitMs);
  if (n > 0 && message[0] == kControlServing) {
    job.bSessionServes = true;
    return;
  }
  if (n > 1 && message[0] == kControlRefused)
    job.SessionReply.assign(message + 1, static_cast<size_t>(n - 1));
  else
    job.SessionError = n < 0 ? GetLastError() : ERROR_BROKEN_PIPE;
}

std::string EncodeLogonRequest(const LogonJob &job) {
  std::string_view name = std::string_view(job.Name).substr(0, kMaxLogonHelperName);
  std::string_view password = std::string_view(job.Password).substr(0, kMaxLogonHelperPassword);
  std::string_view address = std::string_view(job.ClientAddress).substr(0, kMaxLogonHelperAddress);
  std::string_view session = job.SessionStart;
  if (session.size() > kMaxLogonHelperSession) session = {};
  std::string wire;
  wire.reserve(kRequestHead + name.size() + password.size() + address.size() + session.size());
  for (std::string_view f : {name, password, address, session})
    PutWireNumber(wire, static_cast<uint32_t>(f.size()), 2);
  PutWireNumber(wire, job.bMasterLogon ? kRequestMaster : 0, 1);
  for (std::string_view f : {name, password, address, session}) wire.append(f);
  return wire;
}

bool DecodeLogonRequest(std::string_view wire, LogonJob &job) {
  WipeSecret(job.Password);
  job.Name.clear();
  job.ClientAddress.clear();
  job.SessionStart.clear();
  job.bMasterLogon = false;
  const size_t bounds[] = {kMaxLogonHelperName, kMaxLogonHelperPassword, kMaxLogonHelperAddress,
                           kMaxLogonHelperSession};
  WireReader r(wire);
  size_t lengths[4], total = 0;
  for (int i = 0; i < 4; ++i) {
    lengths[i] = r.Number(2);
    if (lengths[i] > bounds[i]) return false;
    total += lengths[i];
  }
  uint32_t flags = r.Number(1);
  if (!r.Ok() || (flags & ~uint32_t{kRequestMaster}) != 0 || r.Rest().size() != total) return false;
  job.bMasterLogon = (flags & kRequestMaster) != 0;
  std::string *fields[] = {&job.Name, &job.Password, &job.ClientAddress, &job.SessionStart};
  std::string_view rest = r.Rest();
  for (int i = 0; i < 4; ++i) {
    fields[i]->reserve(lengths[i]);
    fields[i]->assign(rest.substr(0, lengths[i]));
    rest.remove_prefix(lengths[i]);
  }
  return true;
}

std::string EncodeLogonAnswer(const LogonJob &job, DWORD failDelayMs) {
  std::string wire;
  wire.push_back(static_cast<char>(
      (job.bLoggedOn ? kLoggedOn : 0) | (job.bNameUnknown ? kNameUnknown : 0) |
      (job.bLookupFailed ? kLookupFailed : 0) | (job.bBlocked ? kBlocked : 0) |
      (job.bUidRefused ? kUidRefused : 0) | (job.bSessionStarted ? kSessionStarted : 0) |
      (job.bHostAccount ? kHostAccount : 0)));
  PutWireNumber(wire, static_cast<uint32_t>(job.Error), 4);
  PutWireNumber(wire, failDelayMs, 4);
  PutWireNumber(wire, static_cast<uint32_t>(job.SessionError), 4);
  wire.append(std::string_view(job.Domain).substr(0, kMaxLogonHelperDomain));
  return wire;
}

bool DecodeLogonAnswer(std::string_view wire, LogonJob &job, DWORD *failDelayMs) {
  if (wire.size() < kAnswerHead || wire.size() > kAnswerHead + kMaxLogonHelperDomain) return false;
  WireReader r(wire);
  uint8_t flags = static_cast<uint8_t>(r.Number(1));
  job.bLoggedOn = (flags & kLoggedOn) != 0;
  job.bNameUnknown = (flags & kNameUnknown) != 0;
  job.bLookupFailed = (flags & kLookupFailed) != 0;
  job.bBlocked = (flags & kBlocked) != 0;
  job.bUidRefused = (flags & kUidRefused) != 0;
  job.bSessionStarted = (flags & kSessionStarted) != 0;
  job.bHostAccount = (flags & kHostAccount) != 0;
  job.Error = static_cast<int32_t>(r.Number(4));
  *failDelayMs = r.Number(4);
  job.SessionError = static_cast<int32_t>(r.Number(4));
  job.Domain.assign(r.Rest());
  return true;
}

size_t ServeLogonRequest(char *request, size_t length, const int *fds, size_t fdCount,
                         char *answer, size_t room) {
  LogonJob job;
  DWORD failDelayMs = 0;
  bool decoded = DecodeLogonRequest(std::string_view(request, length), job);
  // Gone before anything can fork: a session's child must not inherit it.
  explicit_bzero(request, length);
  bool session = !job.SessionStart.empty();
  bool fdsFit = fdCount == kSessionFds || fdCount == kSessionFdsWithDoor;
  if (!decoded || (session && (!fdsFit || !SessionsOffered))) {
    WipeSecret(job.Password);
    job.bLookupFailed = true;
    job.Error = ERROR_INVALID_PARAMETER;
  } else {
    CheckLogon(job, &failDelayMs);
    if (job.bLoggedOn && session) StartSession(job, job.SessionStart, fds, fdCount);
  }
  std::string wire = EncodeLogonAnswer(job, failDelayMs);
  size_t n = wire.size() < room ? wire.size() : room;
  memcpy(answer, wire.data(), n);
  return n;
}

bool StartLogonHelpers(unsigned count, bool sessions) {
  SessionsOffered = sessions;
  if (!Helpers().Start(count, "zel-logon", ServeLogonRequest)) return false;
  helpersStarted = true;
  return true;
}

std::vector<pid_t> LogonHelperPids() { return Helpers().Pids(); }

pid_t LogonHelperKeeperPid() { return Helpers().KeeperPid(); }

void CheckLogonThroughHelpers(LogonJob &job, DWORD *failDelayMs) {
  job.bSessionStarted = job.bSessionServes = false;
  job.SessionError = ERROR_SUCCESS;
  job.SessionReply.clear();
  if (!helpersStarted) {
    CheckLogon(job, failDelayMs);
    return;
  }
  job.bLoggedOn = job.bNameUnknown = job.bLookupFailed = false;
  job.Domain.clear();
  job.Token.Close();
  *failDelayMs = 0;
  std::string request = EncodeLogonRequest(job);
  WipeSecret(job.Password);
  std::string answer;
  size_t fdCount = job.SessionStart.empty() ? 0
                   : job.SessionFds[2] >= 0 ? kSessionFdsWithDoor
                                            : kSessionFds;
  bool ok = Helpers().Call(request, answer, job.SessionFds, fdCount);
  long err = GetLastError();
  WipeSecret(request);
  if (!ok || !DecodeLogonAnswer(answer, job, failDelayMs)) {
    // No verdict: the checker failed, which the caller reports.
    job.bLoggedOn = false;
    job.bLookupFailed = true;
    job.Error = ok ? ERROR_INVALID_PARAMETER : err;
    return;
  }
  if (job.bLoggedOn && job.bSessionStarted) AwaitSessionWord(job);
}

std::string EncodeSessionLaunch(const LogonJob &job, std::string_view start) {
  const LogonToken &token = job.Token;
  size_t groups = std::min(token.Groups.size(), kMaxSessionGroups);
  std::string wire;
  wire.push_back(static_cast<char>(kLaunchVersion));
  uint32_t flags = (token.bValid && token.bHasIdentity ? kLaunchIdentity : 0) |
                   (token.bVirtualUser ? kLaunchVirtual : 0);
  PutWireNumber(wire, flags, 4);
  PutWireNumber(wire, static_cast<uint32_t>(token.Uid), 4);
  PutWireNumber(wire, static_cast<uint32_t>(token.Gid), 4);
  PutWireNumber(wire, static_cast<uint32_t>(groups), 4);
  for (size_t i = 0; i < groups; ++i) PutWireNumber(wire, static_cast<uint32_t>(token.Groups[i]), 4);
  PutWireText(wire, job.Name, kMaxLogonHelperName);
  PutWireText(wire, job.Domain, kMaxLogonHelperDomain);
  PutWireText(wire, start, kMaxLogonHelperSession);
  return wire;
}

bool DecodeSessionLaunch(std::string_view wire, LogonJob &job, std::string &start) {
  job = LogonJob();
  start.clear();
  WireReader r(wire);
  if (r.Number(1) != kLaunchVersion) return false;
  uint32_t flags = r.Number(4);
  job.Token.Uid = static_cast<uid_t>(r.Number(4));
  job.Token.Gid = static_cast<gid_t>(r.Number(4));
  size_t groups = r.Number(4);
  if (!r.Ok() || groups > kMaxSessionGroups || (flags & ~(kLaunchIdentity | kLaunchVirtual)) != 0)
    return false;
  for (size_t i = 0; i < groups && r.Ok(); ++i)
    job.Token.Groups.push_back(static_cast<gid_t>(r.Number(4)));
  job.Name = r.Text(kMaxLogonHelperName);
  job.Domain = r.Text(kMaxLogonHelperDomain);
  start = r.Text(kMaxLogonHelperSession);
  if (!r.Whole()) {
    job = LogonJob();
    start.clear();
    return false;
  }
  job.Token.bValid = true;
  job.Token.bHasIdentity = (flags & kLaunchIdentity) != 0;
  job.Token.bVirtualUser = (flags & kLaunchVirtual) != 0;
  job.Token.Name = job.Name;
  job.Token.Domain = job.Domain;
  job.bLoggedOn = true;
  return true;
}

bool ReadSessionLaunch(LogonJob &job, std::string &start) {
  std::string wire;
  return ReadUpTo(kSessionLaunchFd, kMaxSessionLaunch, wire) && wire.size() <= kMaxSessionLaunch &&
         DecodeSessionLaunch(wire, job, start);
}
