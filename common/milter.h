// milter: the mail filter (milter) client: the filters a service calls, a
// session with them per SMTP connection, the stages of the SMTP dialogue
// run through them, and a small pool that runs the stages off the network
// workers.
//
// Settings (a service's Parameters key; LoadMilterSettings):
//   Milters               REG_MULTI_SZ  "inet:HOST:PORT", "inet6:[ADDR]:PORT"
//                                       or "unix:/path"; called in order;
//                                       none: no filters
//   MilterConnectTimeout  REG_DWORD     seconds to connect (30)
//   MilterCommandTimeout  REG_DWORD     seconds for any answer but the
//                                       message's (30)
//   MilterContentTimeout  REG_DWORD     seconds for each body chunk's and
//                                       the end of message's answer (300)
//   MilterDefaultAction   REG_SZ        "tempfail" (default), "accept" or
//                                       "reject": what a filter that cannot
//                                       be reached, times out or breaks the
//                                       protocol amounts to
//   MilterRetryInterval   REG_DWORD     seconds a filter that could not be
//                                       reached or did not answer in time
//                                       counts as down (60; 0: never)
//
// A session (MilterSession) belongs to one SMTP connection (or one
// generated message) and holds one connection to each filter, opened at the
// Connect stage. RunMilterStage runs one stage through the filters in order
// and stops at the first that refuses; its MilterResult says what the
// dialogue does:
//   Connect   client address and names (MilterConnectInfo); a refusal
//             stands for the whole connection
//   Helo      the HELO/EHLO name
//   Mail      the sender (without <>), its ESMTP parameters; Mail starts a
//             transaction (an unfinished one is aborted first, so RSET
//             needs no stage of its own)
//   Rcpt      one recipient; a refusal refuses that recipient only
//   Data      the DATA command, before its 354
//   Message   the message file's text (SMTP form, as stored): its headers,
//             body in chunks of up to 64 KiB, end of message; the result
//             carries the changes (milterresult.h) and ends the transaction.
//             The text is in memory, or in a file read a piece at a time
//             (the body never whole in memory); the header read for it, a
//             chain's changed header and a replaced body come out of the
//             process's memory budget (common/membudget), and a message
//             with no room there is answered with its "452 4.3.1"
//   Abort     the transaction ends without a message
//   Close     QUIT to every filter (also done by the session's destructor)
// Discard at any transaction stage: answer as if accepted; the Message
// stage then says Discard again without asking anyone. A filter that
// accepts (SMFIR_ACCEPT) is not asked again for the rest of the connection
// (at Connect or Helo) or of the transaction; one that answers Shutdown is
// closed, and the dialogue ends the connection with the 421 reply.
//
// Failures. A filter that cannot be reached, does not answer in time,
// closes, or sends what the protocol does not allow is closed and counts
// as MilterDefaultAction from then on for the rest of the session:
// tempfail or reject at every later stage, or (accept) as if it were not
// configured. The result says bFilterFailed. One that could not be reached
// or did not answer in time (at any stage) is moreover down for the whole
// process for MilterRetryInterval: every session, new or running, takes
// the default action for it at once instead of waiting out its own
// time-out; the first session after the interval tries it again. A failure is reported as an
// event at most once an hour per filter and cause (a filter that stays
// down is one event, not one per connection), and a filter reported
// unreachable "is answering again" once it is reached; filter texts reach
// events and logs only through LogSafeText.
//
// Threads. A session runs one stage at a time, on any thread; nothing in it
// is shared with other sessions but the failure reports (locked). The
// stages block on the filters, bounded by the timeouts (progress packets
// restart the wait, at most kMilterProgressCeiling times the timeout in
// all): the receiver submits them to a MilterPool, whose threads post the
// completion to the network engine's port like the logon pool does; the
// delivery agent calls RunMilterStage (or FilterGeneratedMessage) on its
// own threads. A cancel flag (the pool's stop, the agent's) ends a wait
// within kMilterCancelSliceMs, as a failure without an event; a connect in
// progress ends within MilterConnectTimeout.
//
// Untrusted input: the filters' replies (milterproto.h bounds and checks
// them; a replaced body is bounded by MaxBodyBytes) and the SMTP text sent
// to them (cut at NUL, packets bounded).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/milterresult.h"
#include "platform/iocp.h"
#include "platform/ipaddr.h"
#include "platform/registry.h"

// ---- settings

constexpr const char *kMiltersValue = "Milters";
constexpr const char *kMilterConnectTimeoutValue = "MilterConnectTimeout";
constexpr const char *kMilterCommandTimeoutValue = "MilterCommandTimeout";
constexpr const char *kMilterContentTimeoutValue = "MilterContentTimeout";
constexpr const char *kMilterDefaultActionValue = "MilterDefaultAction";
constexpr const char *kMilterRetryIntervalValue = "MilterRetryInterval";

constexpr DWORD kDefaultMilterConnectTimeout = 30;    // seconds
constexpr DWORD kDefaultMilterCommandTimeout = 30;
constexpr DWORD kDefaultMilterContentTimeout = 300;
// A dead filter is tried again after a minute: soon enough to notice its
// return, seldom enough that its time-outs cost little.
constexpr DWORD kDefaultMilterRetryInterval = 60;
// A longer time-out would hold an SMTP client past its own patience.
constexpr DWORD kMaxMilterTimeout = 3600;
// Filters in a chain: each costs a connection per SMTP connection.
constexpr size_t kMaxMilters = 16;
// The Milters value's multi-string buffer.
constexpr size_t kMaxMiltersBytes = 8192;
// A replaced body larger than this is refused (the receiver's default
// largest message is 50 MiB; a filter's body may grow a little).
constexpr size_t kDefaultMilterMaxBody = 64u * 1024 * 1024;
// Progress restarts a wait; the whole wait stays within this many times
// the stage's time-out.
constexpr int kMilterProgressCeiling = 4;
// A cancel flag is looked at this often while a filter is awaited.
constexpr DWORD kMilterCancelSliceMs = 200;

// Replies for refusals without the filter's own text.
extern const char *const kMilterRejectReply;     // "550 Command rejected"
extern const char *const kMilterTempFailReply;   // "451 Service unavailable - try again later"
extern const char *const kMilterShutdownReply;   // "421 Service not available - closing connection"

enum class MilterFamily { Inet, Inet6, Unix };

struct MilterAddress {
  std::string Spec;            // the entry as configured (logs, events, results)
  MilterFamily Family = MilterFamily::Inet;
  std::string Host;            // inet: a host name or IPv4 address
  IpAddress Address;           // inet6 (and inet given as an address)
  uint16_t Port = 0;
  std::string Path;            // unix
};

// Parses one Milters entry; false for anything malformed (no port, port 0
// or above 65535, an inet6 address without brackets, a relative or empty
// path, a path longer than a socket name holds, text around it).
bool ParseMilterAddress(std::string_view entry, MilterAddress *out);

enum class MilterDefaultAction { TempFail, Accept, Reject };

struct MilterSettings {
  std::vector<MilterAddress> Filters;
  DWORD ConnectTimeoutMs = kDefaultMilterConnectTimeout * 1000;
  DWORD CommandTimeoutMs = kDefaultMilterCommandTimeout * 1000;
  DWORD ContentTimeoutMs = kDefaultMilterContentTimeout * 1000;
  MilterDefaultAction DefaultAction = MilterDefaultAction::TempFail;
  DWORD RetryIntervalMs = kDefaultMilterRetryInterval * 1000;   // 0: never down
  size_t MaxBodyBytes = kDefaultMilterMaxBody;
  bool Enabled() const { return !Filters.empty(); }
};

// Reads the settings above from params (a missing value keeps the
// default). Malformed entries and values are reported once, as event 41,
// and left out (a bad MilterDefaultAction keeps "tempfail"; a time-out of 0
// or above kMaxMilterTimeout is put back within 1..kMaxMilterTimeout, a
// retry interval above it to kMaxMilterTimeout).
void LoadMilterSettings(HKEY params, MilterSettings *settings);

// ---- sessions

struct MilterConnectInfo {
  std::string HostName;        // j: this host's name
  std::string DaemonName;      // {daemon_name}: "zelrecv", "zeldeliv"
  std::string ClientName;      // {client_name}, the connect command's host
                               // name; "" stands for "[address]"
  IpAddress ClientAddress;     // {client_addr}; not Valid(): unknown family
  uint16_t ClientPort = 0;
  IpAddress LocalAddress;      // {if_addr}
};

enum class MilterStage { Connect, Helo, Mail, Rcpt, Data, Message, Abort, Close };

const char *MilterStageName(MilterStage stage);

struct MilterRequest {
  MilterStage Stage = MilterStage::Connect;
  std::string Argument;                // Helo: the name; Mail, Rcpt: the address
  std::vector<std::string> Parameters; // Mail, Rcpt: ESMTP parameters
  std::string_view Message;            // Message: the text; the caller's until done
  int MessageFd = -1;                  // or, when not -1, the file that holds it
  uint64_t MessageSize = 0;            // (its first MessageSize bytes)
};

class MilterSession {
 public:
  // Copies settings and info; connects to nothing yet.
  MilterSession(const MilterSettings &settings, const MilterConnectInfo &info);
  // QUIT to the filters still open, sent only as far as their sockets take
  // it at once; never waits.
  ~MilterSession();
  MilterSession(const MilterSession &) = delete;
  MilterSession &operator=(const MilterSession &) = delete;

  // Set by the caller between stages, sent with the stages that follow.
  std::string MessageId;       // i
  std::string AuthName;        // {auth_authen}

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Runs request's stage through the session's filters and fills *result
// (always: a failure is a result too). cancel may be null.
void RunMilterStage(MilterSession &session, const MilterRequest &request, MilterResult *result,
                    const std::atomic<bool> *cancel = nullptr);

// Mail the delivery agent generates, through settings' filters as one
// whole transaction (Connect, Helo with info.HostName, Mail, Rcpt for each,
// Data, Message, Close). Recipients a filter refuses are listed in
// *refused (their indexes) and left out; the result is the first refusal
// of the connection, sender, DATA or message, or the message's changes.
// When every recipient is refused the result is the last refusal.
void FilterGeneratedMessage(const MilterSettings &settings, const MilterConnectInfo &info,
                            const std::string &messageId, const std::string &sender,
                            const std::vector<std::string> &recipients, std::string_view message,
                            MilterResult *result, std::vector<size_t> *refused,
                            const std::atomic<bool> *cancel = nullptr);

// ---- the pool

struct MilterJob {
  // ---- set by the caller before Submit
  MilterSession *Session = nullptr;
  MilterRequest Request;
  uintptr_t Key = 0;           // the completion: key and block posted to the port
  OVERLAPPED *Overlapped = nullptr;
  // Optional work on the pool's thread around the stage, so that file I/O
  // stays off the caller's threads too (the receiver reads the stored
  // message before the Message stage and writes the changed one after).
  // Before returning false skips the stage: Result is then Before's to
  // fill. After runs after the stage (or a false Before), before the
  // completion is posted; neither runs for a job the pool aborts.
  std::function<bool(MilterJob &)> Before;
  std::function<void(MilterJob &)> After;
  // ---- the outcome, when the completion arrives
  MilterResult Result;
  bool bAborted = false;       // the pool stopped before the stage ran
};

// Threads of the pool: an exchange mostly waits for a filter, so there are
// more than processors; every thread is one SMTP connection being filtered.
constexpr unsigned kDefaultMilterThreads = 16;
constexpr unsigned kMaxMilterThreads = 256;

// Lifetimes: the job, its session and the request's message text belong to
// the pool from a successful Submit until the job's completion has been
// taken from the port (a connection has this one operation outstanding).
// Every submitted job completes exactly once; Stop sets the pool's cancel
// flag (stages under way end as failures within kMilterCancelSliceMs),
// waits for its threads, and completes the jobs not yet run with bAborted
// (their Result says tempfail). Submit from any thread; Start and Stop from
// one.
class MilterPool {
 public:
  MilterPool();
  ~MilterPool();   // Stop
  MilterPool(const MilterPool &) = delete;
  MilterPool &operator=(const MilterPool &) = delete;

  // Starts threads (0: kDefaultMilterThreads) posting to port (which must
  // outlive the pool). False with the last error when a thread cannot be
  // started (those that started are stopped again).
  bool Start(CompletionPort &port, unsigned threads = 0);
  // Queues job; false (ERROR_OPERATION_ABORTED, nothing queued) when the
  // pool does not run.
  bool Submit(MilterJob *job);
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
