// logonpool: see logonpool.h.
#include "common/logonpool.h"

#include <string.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "common/loadcfig.h"
#include "common/logging.h"
#include "common/logonhelper.h"
#include "common/netcode.h"
#include "common/zel.h"
#include "common/sasl.h"
#include "messages/zelmsg.h"
#include "platform/accounts.h"
#include "platform/fileview.h"
#include "platform/ldapdir.h"
#include "platform/logonfailures.h"
#include "platform/relay.h"
#include "platform/sync.h"
#include "platform/sysinfo.h"
#include "platform/tls.h"
#include "platform/thread.h"

namespace {

using Clock = std::chrono::steady_clock;

// What a thread gets by default: PAM modules are written for it.
constexpr size_t kLogonThreadStackBytes = 8 << 20;
// ProxySecretFile: a path, as long as any the other settings take.
constexpr size_t kMaxSecretPathChars = 1024;
// A completion the port could not take (no memory) is offered again this
// much later rather than lost, which would leave its connection hanging.
constexpr auto kRepostDelay = std::chrono::seconds(1);
// The delay doubles up to this many times (1 s, 2 s, 4 s).
constexpr int kMaxDelayDoublings = kMaxLogonFailures - 1;

LogonPolicy &Policy() {
  static LogonPolicy *policy = new LogonPolicy;
  return *policy;
}

void WipePassword(std::string &password) {
  explicit_bzero(password.data(), password.size());
  password.clear();
}

}  // namespace

DWORD LogonFailureDelayMs(DWORD firstDelayMs, int failuresBefore) {
  return firstDelayMs << std::clamp(failuresBefore, 0, kMaxDelayDoublings);
}

void SetLogonPolicy(const LogonPolicy &policy) { Policy() = policy; }

const LogonPolicy &CurrentLogonPolicy() { return Policy(); }

LogonPolicy LoadLogonPolicy(HKEY serviceParameters) {
  LogonPolicy policy;
  if (serviceParameters != nullptr)
    QueryRegDword(serviceParameters, "MinimumLogonUid", policy.MinimumLogonUid);
  RegKey suite;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kSuiteKey, KEY_READ, suite.out()) == ERROR_SUCCESS) {
    QueryRegDword(suite.get(), "LogonFailureLimit", policy.FailureLimit);
    QueryRegDword(suite.get(), "LogonFailureWindow", policy.FailureWindow);
    QueryRegString(suite.get(), "ProxySecretFile", kMaxSecretPathChars, policy.ProxySecretFile);
    policy.ProxyClients = QueryRegNetworkList(suite.get(), "ProxyClients", kMaxNetworkListBytes, {});
  }
  return policy;
}

namespace {

LogonFailurePolicy FailurePolicy() {
  return LogonFailurePolicy{CurrentLogonPolicy().FailureLimit,
                            CurrentLogonPolicy().FailureWindow};
}

// A verified host identity below the floor (root, the system's accounts)
// is refused like a wrong password; a virtual user's identity is the mail
// account's, which the floor does not concern. Root never logs on.
bool BelowMinimumUid(const LogonToken &token) {
  if (!token.bValid || !token.bHasIdentity) return false;
  return token.Uid == 0 || (!token.bVirtualUser && token.Uid < CurrentLogonPolicy().MinimumLogonUid);
}

// A master logon: the policy, then the user it acts for. Every refusal is
// the same verdict (ERROR_LOGON_FAILURE, counted against the client);
// only a directory that cannot answer now is the checker's failure.
void CheckMasterLogon(LogonJob &job, const IpAddress *client, long long now) {
  bool allowed = MasterLogonAllowed(CurrentLogonPolicy(), job.ClientAddress, job.Password);
  WipePassword(job.Password);
  job.Token.Close();
  long error = ERROR_LOGON_FAILURE;
  std::string domain;
  AccountFound found;
  LogonToken token;
  if (allowed) {
    if (!LookUpAccountFetch(job.Name, domain)) {
      if (!IsNoSuchAccount(GetLastError())) error = GetLastError();
    } else if (!FindAccountByName(job.Name, found)) {
      if (!IsNoSuchAccount(GetLastError())) error = GetLastError();
    } else if (found.Use != SidTypeUser) {
      error = ERROR_LOGON_FAILURE;
    } else if (!AccountIdentity(found, token)) {
      error = GetLastError() == ERROR_ACCOUNT_RESTRICTION ? ERROR_LOGON_FAILURE : GetLastError();
    } else {
      token.bValid = true;
      token.Name = job.Name;
      token.Domain = domain;
      error = BelowMinimumUid(token) ? ERROR_LOGON_FAILURE : ERROR_SUCCESS;
    }
  }
  job.Error = error;
  if (error == ERROR_SUCCESS) {
    job.bLoggedOn = true;
    job.bHostAccount = found.bHostAccount;
    job.Domain = domain;
    job.Token = std::move(token);
    LogEvent(EVENTLOG_INFORMATION_TYPE, MSG_MASTER_LOGON, LogSafeText(job.Name).c_str(),
             LogSafeText(job.ClientAddress).c_str());
    return;
  }
  job.bLookupFailed = error != ERROR_LOGON_FAILURE;
  if (!job.bLookupFailed && client != nullptr)
    (void)RecordLogonFailure(*client, FailurePolicy(), now);
}

}  // namespace

bool MasterLogonAllowed(const LogonPolicy &policy, const std::string &clientAddress,
                        std::string_view secret) {
  IpAddress client;
  if (policy.ProxySecretFile.empty() || !ParseAddress(clientAddress, &client) ||
      !policy.ProxyClients.Contains(client))
    return false;
  std::string expected, why;
  if (!ReadSecretFileLine(policy.ProxySecretFile, kMaxMasterLogonSecret, expected, why)) {
    LogEvent(EVENTLOG_WARNING_TYPE, MSG_BAD_SETTING_ENTRY, "ProxySecretFile", why.c_str());
    return false;
  }
  bool equal = !expected.empty() && SecretsEqual(expected, secret);
  WipePassword(expected);
  return equal;
}

void CheckLogon(LogonJob &job, DWORD *failDelayMs) {
  job.bLoggedOn = job.bNameUnknown = job.bLookupFailed = false;
  job.bBlocked = job.bUidRefused = job.bHostAccount = false;
  job.Domain.clear();
  SetLastError(ERROR_SUCCESS);
  IpAddress client;
  bool counted = ParseAddress(job.ClientAddress, &client);
  long long now = NowSeconds();
  if (counted && LogonsBlocked(client, FailurePolicy(), now)) {
    // Unchecked: the guesser learns nothing, not even from the time.
    WipePassword(job.Password);
    job.Token.Close();
    job.bBlocked = true;
    job.Error = ERROR_LOGON_FAILURE;
    return;
  }
  if (job.bMasterLogon) {
    *failDelayMs = 0;
    CheckMasterLogon(job, counted ? &client : nullptr, now);
    return;
  }
  std::string domain;
  bool known = LookUpAccountFetch(job.Name, domain);
  long lookupError = known ? ERROR_SUCCESS : GetLastError();
  AccountFound found;
  job.bHostAccount = known && FindAccountByName(job.Name, found) && found.bHostAccount;
  // An unknown name is checked as one of this computer's accounts, so it
  // costs what a known one costs; its outcome is a failure either way.
  bool ok = LogonUser(job.Name, known ? domain : wcComputerName, job.Password, job.Token,
                      failDelayMs);
  long error = ok ? ERROR_SUCCESS : GetLastError();
  WipePassword(job.Password);
  if (ok && BelowMinimumUid(job.Token)) {
    job.Token.Close();
    job.bUidRefused = true;
    ok = false;
    error = ERROR_LOGON_FAILURE;
  }
  // A verdict against the client counts; a checker that failed does not.
  bool failed = !ok && (!known ? IsNoSuchAccount(lookupError) : IsLogonVerdict(error));
  if (failed && counted) (void)RecordLogonFailure(client, FailurePolicy(), now);
  if (known) {
    job.bLoggedOn = ok;
    job.Error = error;
    job.Domain = domain;
    // The directory went away between the lookup and the bind: as if the
    // lookup had failed (a temporary failure for the client).
    job.bLookupFailed = !ok && error == ERROR_DS_UNAVAILABLE;
    return;
  }
  job.Token.Close();
  job.bNameUnknown = IsNoSuchAccount(lookupError);
  job.bLookupFailed = !job.bNameUnknown;
  if (job.bLookupFailed) {
    job.Error = lookupError;
  } else {
    // Told apart from a wrong password by nothing; a checker that failed
    // fails the same way for every name.
    job.Error = IsLogonVerdict(error) ? ERROR_LOGON_FAILURE : error;
  }
}

struct LogonPool::Impl {
  CompletionPort *Port = nullptr;
  LogonPoolSettings Settings;
  std::mutex Lock;
  std::condition_variable Work;    // a job queued, or the stop
  std::condition_variable Timer;   // an earlier answer due, or the stop
  std::condition_variable Left;    // a thread left
  std::deque<LogonJob *> Queue;    // jobs waiting for a check
  std::multimap<Clock::time_point, LogonJob *> Due;   // late answers
  bool Running = false;
  bool Stopping = false;
  unsigned Threads = 0;            // threads that have not left yet

  // Posts the job's completion; one the port refuses goes back on the timer.
  void Complete(LogonJob *job) {
    if (Port->Post(0, job->Key, job->Overlapped)) return;
    std::lock_guard<std::mutex> g(Lock);
    Due.emplace(Clock::now() + kRepostDelay, job);
    Timer.notify_one();
  }

  // After the check: at once, or at its due time for a failure.
  void Answer(LogonJob *job, DWORD failDelayMs) {
    Clock::time_point due = job->Submitted;
    if (!job->bLoggedOn) {
      DWORD delay = std::max(LogonFailureDelayMs(Settings.FirstDelayMs, job->FailuresBefore),
                             failDelayMs);
      due += std::chrono::milliseconds(delay);
    }
    {
      std::lock_guard<std::mutex> g(Lock);
      if (due > Clock::now() && !Stopping) {
        Due.emplace(due, job);
        Timer.notify_one();
        return;
      }
    }
    Complete(job);
  }

  void Checker() {
    std::unique_lock<std::mutex> lk(Lock);
    for (;;) {
      Work.wait(lk, [&] { return Stopping || !Queue.empty(); });
      if (Stopping) break;
      LogonJob *job = Queue.front();
      Queue.pop_front();
      lk.unlock();
      DWORD failDelayMs = 0;
      (Settings.Check != nullptr ? Settings.Check : CheckLogon)(*job, &failDelayMs);
      if (job->bLoggedOn && job->AfterLogon != nullptr) job->AfterLogon(job);
      Answer(job, failDelayMs);
      lk.lock();
    }
    ThreadLeft();
  }

  void TimerThread() {
    std::unique_lock<std::mutex> lk(Lock);
    while (!Stopping) {
      if (Due.empty()) {
        Timer.wait(lk);
        continue;
      }
      auto first = Due.begin();
      if (first->first > Clock::now()) {
        Timer.wait_until(lk, first->first);
        continue;
      }
      LogonJob *job = first->second;
      Due.erase(first);
      lk.unlock();
      Complete(job);
      lk.lock();
    }
    ThreadLeft();
  }

  // Under Lock, as the thread's last touch of the pool.
  void ThreadLeft() {
    --Threads;
    Left.notify_all();
  }
};

LogonPool::LogonPool() : impl_(std::make_unique<Impl>()) {}

unsigned LogonPoolCheckers(const LogonPoolSettings &settings) {
  return settings.Threads != 0 ? settings.Threads
                               : std::clamp(GetProcessorCount(), 2u, kMaxLogonThreads);
}

LogonPool::~LogonPool() { Stop(); }

bool LogonPool::Start(CompletionPort &port, const LogonPoolSettings &settings) {
  Impl &p = *impl_;
  unsigned checkers = LogonPoolCheckers(settings);
  {
    std::lock_guard<std::mutex> g(p.Lock);
    p.Port = &port;
    p.Settings = settings;
    p.Stopping = false;
    p.Running = true;
  }
  for (unsigned i = 0; i <= checkers; ++i) {
    // The first thread is the timer, the others check.
    std::function<void()> body = [&p] { p.Checker(); };
    if (i == 0) body = [&p] { p.TimerThread(); };
    if (!StartCountedThread(p.Lock, p.Threads, std::move(body), kLogonThreadStackBytes)) {
      long error = GetLastError();
      Stop();
      SetLastError(error);
      return false;
    }
  }
  return true;
}

void ResetLogonJob(LogonJob &job, const std::string &name, std::string &password,
                   int failuresBefore) {
  job = LogonJob();
  job.Name = name;
  // Copied, not moved: the caller's own bytes are wiped with it.
  job.Password = password;
  WipeSecret(password);
  job.FailuresBefore = failuresBefore;
}

bool LogonPool::Submit(LogonJob *job) {
  Impl &p = *impl_;
  job->Submitted = Clock::now();
  std::lock_guard<std::mutex> g(p.Lock);
  if (!p.Running || p.Stopping) {
    SetLastError(ERROR_OPERATION_ABORTED);
    return false;
  }
  p.Queue.push_back(job);
  p.Work.notify_one();
  return true;
}

void LogonPool::Stop() {
  Impl &p = *impl_;
  std::deque<LogonJob *> unchecked;
  std::multimap<Clock::time_point, LogonJob *> due;
  {
    std::unique_lock<std::mutex> lk(p.Lock);
    if (!p.Running) return;
    p.Stopping = true;
    p.Work.notify_all();
    p.Timer.notify_all();
    // Checks in progress answer at once when they end (Answer sees Stopping).
    p.Left.wait(lk, [&] { return p.Threads == 0; });
    unchecked.swap(p.Queue);
    due.swap(p.Due);
    p.Running = false;
  }
  for (LogonJob *job : unchecked) {
    WipePassword(job->Password);
    job->bLoggedOn = false;
    job->Error = ERROR_OPERATION_ABORTED;
    p.Port->Post(0, job->Key, job->Overlapped);
  }
  for (auto &[when, job] : due) p.Port->Post(0, job->Key, job->Overlapped);
}

bool StartAccessLogons(const LogonPoolSettings &settings,
                       bool (*startPool)(const LogonPoolSettings &settings)) {
  if (!StartLogonHelpers(LogonPoolCheckers(settings), true)) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "StartLogonHelpers", GetLastError());
    return false;
  }
  if (!StartRelayThread()) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "StartRelayThread", GetLastError());
    return false;
  }
  if (!startPool(settings)) {
    LogWin32Error(EVENTLOG_ERROR_TYPE, "StartLogonPool", GetLastError());
    return false;
  }
  return true;
}
