// logonpool: password logons on a small pool of threads of their own, and
// the late answer to a failed one, for the servers' password commands (the
// POP3 server's PASS; the SMTP receiver's AUTH will use the same pool and
// the same delays).
//
// A network worker fills a LogonJob, hands it to LogonPool::Submit and goes
// back to its completion port. A pool thread looks the name up, checks the
// password (LogonUser: crypt(3) against the accounts file, else PAM), runs
// the job's AfterLogon step when the check passed, and posts the job's
// OVERLAPPED to the port under the job's key, so the connection's dialogue
// goes on on a worker like after any other completed operation. Crypt and
// PAM never hold a network worker, however slow they are.
//
// A failed check is answered late: its completion is posted by the pool's
// timer thread, LogonFailureDelayMs after the job was submitted (1 s, 2 s,
// 4 s for the first, second and third failure on a connection; PAM's own
// fail delay when that is longer), never by a sleeping thread. The delay
// runs from the submission, so the moment a failure is answered tells
// nothing about how long its check took. After kMaxLogonFailures the
// caller closes the connection.
//
// Unknown names: a name that is no account is checked all the same (as an
// account of this computer: a dummy hash of the file's scheme and cost, or
// a trip through PAM), and fails as a wrong password does
// (ERROR_LOGON_FAILURE); only bNameUnknown tells the caller, for its event,
// never for the client.
//
// Lifetimes: the job (and the OVERLAPPED it names) belongs to the pool from
// a successful Submit until its completion has been taken from the port;
// the caller must not touch it, nor anything AfterLogon touches, in between
// (a connection has this one operation outstanding). Every submitted job
// completes exactly once; Stop completes the jobs not yet checked with
// ERROR_OPERATION_ABORTED and posts the late answers at once.
//
// Untrusted input: the name and the password; the password is wiped as soon
// as it was checked and reaches no log. Thread-safety: Submit from any
// thread; Start and Stop from one.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/iocp.h"
#include "platform/ipaddr.h"
#include "platform/logon.h"
#include "platform/registry.h"

// The first failed logon on a connection is answered after this long, each
// further one after twice as long as the one before.
constexpr DWORD kFirstLogonDelayMs = 1000;
// The failure after which the connection is closed.
constexpr int kMaxLogonFailures = 3;
// Crypt and PAM each keep a processor busy while they run (and yescrypt
// takes 16 MiB of work area): more threads than this buy nothing.
constexpr unsigned kMaxLogonThreads = 4;

// What every check obeys: host accounts below MinimumLogonUid (root, the
// system's accounts) never log on, whatever the password; a client network
// that failed FailureLimit times within FailureWindow seconds is refused
// unchecked for as long (platform/logonfailures; 0: no accounting).
constexpr DWORD kDefaultMinimumLogonUid = 1000;
constexpr DWORD kDefaultLogonFailureLimit = 10;
constexpr DWORD kDefaultLogonFailureWindow = 600;
// PlaintextLogonClients of the mail-access servers (POP3, IMAP): passwords
// in the clear only from this host, until an administrator says more. A
// network list value holds a few entries; kMaxNetworkListBytes is room for
// thousands.
inline const std::vector<std::string> kDefaultPlaintextLogonClients = {"127.0.0.0/8", "::1"};
constexpr size_t kMaxNetworkListBytes = 64 * 1024;
// Master logons (a front host logging on for a user with a shared secret:
// common/sasl's kMasterLogonIdentity) count only where ProxySecretFile is
// set and the client is in ProxyClients (suite values; empty: none).
// The shared secret travels as a logon's password, which the helper's
// request bounds (kMaxLogonHelperPassword): a longer one could never match.
constexpr size_t kMaxMasterLogonSecret = 256;
struct LogonPolicy {
  DWORD MinimumLogonUid = kDefaultMinimumLogonUid;
  DWORD FailureLimit = kDefaultLogonFailureLimit;
  DWORD FailureWindow = kDefaultLogonFailureWindow;
  std::string ProxySecretFile;
  NetworkList ProxyClients;
};
// Set once while the service starts, before the logon helpers are forked
// (they check with it); read only afterwards.
void SetLogonPolicy(const LogonPolicy &policy);
const LogonPolicy &CurrentLogonPolicy();
// Reads MinimumLogonUid from the service's Parameters key and
// LogonFailureLimit, LogonFailureWindow, ProxySecretFile and ProxyClients
// from the suite key (the count is one for every protocol, so its setting
// is too).
LogonPolicy LoadLogonPolicy(HKEY serviceParameters);

struct LogonJob {
  // ---- set by the caller before Submit
  std::string Name;              // as the client gave it
  std::string Password;          // wiped by the pool once checked
  int FailuresBefore = 0;        // failed logons on this connection so far
  std::string ClientAddress;     // the client's address (text): whose failures count
  // A master logon (SASL PLAIN as kMasterLogonIdentity): Name is the user
  // it acts for, Password the shared secret. Only MasterLogonAllowed and
  // the account decide; the flag says no more than how to check.
  bool bMasterLogon = false;
  // A session to start once the check passes (POP3, IMAP; none for SMTP
  // AUTH): its start record (common/sessionstart), the descriptors the
  // session gets (data, control, and for a session of every connection of
  // its user the door of later ones), and the front's end of the control
  // socket, on which the session's first message is awaited.
  std::string SessionStart;
  int SessionFds[3] = {-1, -1, -1};   // data, control, and a door or -1
  int FrontControlFd = -1;
  // Runs on the pool thread after a check that passed, before the
  // completion (the POP3 server opens the mailbox there); optional.
  void (*AfterLogon)(LogonJob *job) = nullptr;
  void *Context = nullptr;       // the caller's, for AfterLogon
  uintptr_t Key = 0;             // the completion: key and block posted to the port
  OVERLAPPED *Overlapped = nullptr;

  // ---- the outcome, when the completion arrives
  bool bLoggedOn = false;
  bool bNameUnknown = false;     // the name is no account (for the event only)
  bool bLookupFailed = false;    // the account database failed (Error says how)
  bool bHostAccount = false;     // the account is the host's (names compare exactly)
  bool bBlocked = false;         // refused unchecked: its network failed too often lately
  bool bUidRefused = false;      // a host account below MinimumLogonUid (for the event only)
  bool bSessionStarted = false;  // the session process was started (SessionError if not)
  bool bSessionServes = false;   // ... and serves the client from now on
  long SessionError = ERROR_SUCCESS;
  std::string SessionReply;      // a session that could not start: the client's reply
  long Error = ERROR_SUCCESS;
  std::string Domain;            // the account's domain
  LogonToken Token;

  // ---- the pool's
  std::chrono::steady_clock::time_point Submitted;
};

// Starts job afresh for a check of name and password; password is copied
// into the job and wiped where it was (the job's copy is the pool's to
// wipe).
void ResetLogonJob(LogonJob &job, const std::string &name, std::string &password,
                   int failuresBefore);

struct LogonPoolSettings {
  unsigned Threads = 0;          // 0: the processors, at least 2, at most kMaxLogonThreads
  DWORD FirstDelayMs = kFirstLogonDelayMs;
  // Where a check runs: null for CheckLogon in this process; the receiver,
  // which runs without root, has helper processes check for it
  // (common/logonhelper).
  void (*Check)(LogonJob &job, DWORD *failDelayMs) = nullptr;
};

// How many checking threads a pool started with settings runs.
unsigned LogonPoolCheckers(const LogonPoolSettings &settings);

// The logons of a mail-access front (POP3, IMAP): the root logon helpers,
// forked while no thread but the caller's runs, one per checking thread;
// the relay thread of TLS clients; then the front's pool (startPool, before
// the engine listens, which takes logon commands at once). False, with an
// event naming the step, when one fails.
bool StartAccessLogons(const LogonPoolSettings &settings,
                       bool (*startPool)(const LogonPoolSettings &settings));

class LogonPool {
 public:
  LogonPool();
  ~LogonPool();   // Stop
  LogonPool(const LogonPool &) = delete;
  LogonPool &operator=(const LogonPool &) = delete;

  // Starts the checking threads and the timer thread, posting to port
  // (which must outlive the pool). False with the last error when a thread
  // cannot be started (those that started are stopped again).
  bool Start(CompletionPort &port, const LogonPoolSettings &settings);
  // Queues job; false (ERROR_OPERATION_ABORTED, nothing queued) when the
  // pool does not run.
  bool Submit(LogonJob *job);
  // Completes what it holds (see above) and waits for its threads to leave.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// How long after its submission a failed logon is answered, after
// failuresBefore earlier failures on its connection.
DWORD LogonFailureDelayMs(DWORD firstDelayMs, int failuresBefore);

// The check a pool thread runs: fills the outcome of job and wipes its
// password; failDelayMs receives PAM's fail delay (0 when none). A master
// logon passes when MasterLogonAllowed and Name is a user of this host
// (its session then runs as that user; logged as "via zel-proxy"); every
// other outcome is an ordinary failed logon, counted and answered like a
// wrong password, whichever check failed.
void CheckLogon(LogonJob &job, DWORD *failDelayMs);

// Whether a master logon from clientAddress with secret may act for a user
// under policy: ProxySecretFile set and readable (read afresh, so a new
// secret needs no restart), the client in ProxyClients, the secret equal
// to the file's first line (compared in constant time).
bool MasterLogonAllowed(const LogonPolicy &policy, const std::string &clientAddress,
                        std::string_view secret);
