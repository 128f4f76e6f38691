// smtpsend: the delivery agent's SMTP client. SmtpConnect opens a
// connection to one mail exchanger and says EHLO (HELO when the peer answers
// EHLO with 5xx, as a classic peer does), starts TLS whenever the peer
// offers STARTTLS, and says EHLO again under TLS; SendMessageOnConnection
// (the queue walker's callback) sends one queued message to its recipients
// of the domain, one transaction per message, and settles each recipient
// by the replies; SmtpDisconnect says QUIT and frees the connection.
//
// TLS follows the exchanger's policy (tlspolicy), decided by the caller.
// Without one it is opportunistic: the peer's certificate is not checked (a
// mail exchanger found through DNS without DNSSEC has no name to check it
// against), and a peer that does not offer STARTTLS gets the message in
// clear. When such a handshake fails, the exchanger (host name and port) is
// remembered and its next connection goes without TLS, once: so a peer
// with a broken TLS set-up still gets its mail, and one whose handshake was
// cut by a passing fault gets TLS again at the connection after. A policy
// that requires TLS (DANE, MTA-STS enforce, a relay host with GatewayTls
// verify) never goes in clear: no STARTTLS, a refused one, a failed
// handshake or a certificate that does not check out fails the connection
// with kSmtpTlsRequired. A relay host on port 465 gets TLS before its
// greeting. The MAIL command
// carries SIZE=n when the peer offers SIZE, and BODY=8BITMIME for a message
// with 8-bit text (the recipient file's mark: declared, or seen by the
// receiver) when it offers 8BITMIME; a message larger than the peer's
// announced SIZE is not sent and fails for all its recipients. A peer that
// offers PIPELINING (in the EHLO under TLS, when TLS is up) gets MAIL, the
// RCPTs and DATA in one write and its replies are then read in order, with
// the same outcomes as the one-command-at-a-time exchange gives.
//
// At the relay host with a user name, SmtpAuthenticate (smtpauth's
// exchange) runs once the dialogue is open, under TLS only; the caller
// closes a connection on which it failed, and the mail waits.
//
// Callers: routing.cpp (ConnectToDomain, DeliverAllMessages), on a domain
// delivery thread; the routines below the first three are exposed for the
// tests and the fuzz target.
//
// Time limits are totals that no pace of the peer stretches (the stream
// module's deadlines): connecting to an address and sending a command line
// within SendTimeout0, each reply within ReceiveTimeout0 (the greeting and
// the TLS handshake too), the message data within SendTimeout0 plus a
// second per kMinDataBytesPerSecond, the reply to the data within
// ReceiveTimeout1, and one message's whole transaction, from MAIL on,
// within MaxTransactionTime. A limit that runs out is a network failure
// (below) of a slow exchanger: the stream says so (TimedOut), and
// SmtpConnect's error kind is kSmtpTimedOut.
//
// Untrusted input: every reply of the peer, read within kMaxSmtpReply bytes
// and kMaxSmtpReplyLine per line (what follows a reply in the same receive
// waits in the connection's input for the next one: at most one receive's
// worth);
// the text kept for reports and error texts is cut and has no control
// characters but line feeds. The held message file is sent byte for byte
// only when it ends with its "." line and has no other "." line before it.
// Recipient names and the return path are never sent with a line break in
// them.
//
// Threads: a connection belongs to the thread that made it. The module's
// own state, the exchangers whose handshake failed (at most
// kMaxTlsFallbacks) and the TLS client contexts, is shared by the domain
// threads under a lock. The outlog is written under the log module's lock.
//
// Failures: SmtpConnect returns null with an error kind and text. The
// callback keeps recipients for a later attempt after a 4xx reply or a
// network failure, and reports them to the sender (failure reports) after
// any other reply. A network failure or an unreadable reply closes the
// socket and sets the connection's Error flag: every later message of the
// attempt is skipped and stays queued. The socket is then reset, so
// nothing more trickles to a peer that was given up.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ZELDELIV/smtpauth.h"
#include "ZELDELIV/smtpstream.h"
#include "ZELDELIV/tlspolicy.h"
#include "common/smtputil.h"
#include "platform/errors.h"
#include "platform/ipaddr.h"
#include "platform/tls.h"

// One reply, however many lines: far beyond any real banner or EHLO list,
// small enough that a peer cannot make the agent hoard memory.
constexpr size_t kMaxSmtpReply = 64 * 1024;
// One reply line: 8 times what RFC 5321 promises (512), for generous banners.
constexpr size_t kMaxSmtpReplyLine = 4096;
// The last command and reply kept for a report, as their 256-byte buffers.
constexpr size_t kMaxSmtpKeptText = 255;
// The caller's error text and a report's detail: 512-byte buffers.
constexpr size_t kMaxSmtpErrorText = 511;
constexpr size_t kMaxSmtpDetail = 511;
// A reply that does not begin with three digits.
constexpr int kReplyCodeUnreadable = 1000;
// The addresses of one exchanger that are tried (the address list's room).
constexpr size_t kMaxConnectAddresses = 10;
// An address given in RCPT: the recipient record's 128-byte field.
constexpr size_t kMaxSmtpRecipientName = 127;
// The host names kept in a connection: 256-byte fields.
constexpr size_t kMaxSmtpHostName = 255;
// An outlog line, "\n" included: its 512-byte buffer.
constexpr size_t kMaxOutlogLine = 511;
// Time-outs are settings in seconds; a longer one is taken as a day.
constexpr DWORD kMaxSmtpTimeoutSeconds = 86400;
// The message data may take SendTimeout0 and a second more for each this
// many bytes (a 64 kbit/s link), within MaxTransactionTime: a peer that
// takes a byte a second is given up after minutes instead of weeks.
constexpr uint64_t kMinDataBytesPerSecond = 8 * 1024;

// Exchangers remembered at once for a connection in clear after a failed
// handshake; past that the oldest is forgotten.
constexpr size_t kMaxTlsFallbacks = 256;
// Commands sent in one write before their replies are read: more
// recipients than a message usually has, few enough that the replies
// waiting for the client cannot fill the socket buffers and stall both
// sides.
constexpr size_t kMaxPipelinedCommands = 100;
// The SIZE limit an EHLO keyword can announce: 20 digits hold any uint64.
constexpr size_t kMaxEhloSizeDigits = 20;

// SmtpConnect's error kinds.
constexpr int kSmtpConnectFailed = 1;    // failure after the host was known (or no memory)
constexpr int kSmtpHostUnresolved = 2;   // the host name did not resolve
constexpr int kSmtpTlsFailed = 3;        // the TLS handshake failed (now remembered)
constexpr int kSmtpTimedOut = 4;         // a time limit ran out: the exchanger is slow
constexpr int kSmtpTlsRequired = 5;      // the policy's TLS could not be had: deferred

// What a peer's EHLO reply offers. All false after HELO.
struct SmtpExtensions {
  bool Esmtp = false;          // the session was opened with EHLO
  bool StartTls = false;
  bool Size = false;
  uint64_t SizeLimit = 0;      // 0: SIZE without a limit
  bool EightBitMime = false;
  bool Pipelining = false;     // commands may be sent ahead of their replies
  AuthMechanism Auth = AuthMechanism::kNone;   // the best of those offered with AUTH
};

struct _SmtpConnection {
  SmtpStream Stream;          // the socket (-1 once closed), TLS once up
  IpAddress Dest;             // the address connected
  uint16_t DestPort = 0;
  bool Error = false;         // set after a network failure: skip the rest
  std::string HostName;       // as given, at most kMaxSmtpHostName
  std::string OurName;        // GetLocalHostName of the socket, for HELO
  SmtpExtensions Ext;         // of the last EHLO
  std::string TlsVersion;     // "TLSv1.3" under TLS
  SmtpTlsPolicy TlsPolicy;    // as the caller decided
  bool TlsVerified = false;   // the policy's certificate check held
  std::string Input;          // received past the last reply read, for the next
  long long TransactionEnd = 0;   // MonotonicMs deadline of the transaction; 0: none
};

// Connects to hostName (port 0: the SmtpPort setting) at the first of
// addresses (at most kMaxConnectAddresses used) that accepts, or at the
// host name's IPv4 addresses when addresses is empty; reads the greeting,
// says EHLO or HELO and starts TLS as policy says. Null on failure, with
// *errorKind and *errorText (at most kMaxSmtpErrorText characters) set.
_SmtpConnection *SmtpConnect(const std::string &hostName, uint16_t port,
                             const std::vector<IpAddress> &addresses, int *errorKind,
                             std::string *errorText, const SmtpTlsPolicy &policy = {});
// Authenticates as user on an open connection (SmtpConnect's) to the
// relay host, with the mechanism its EHLO offered (PLAIN before LOGIN) and
// the password GatewayPasswordSource gives, read afresh for each
// connection. Only ever under TLS: on a session in clear nothing is sent.
// False with errorText (at most kMaxSmtpErrorText) when the connection
// must not carry mail: no TLS, no usable mechanism, no password, the
// host's refusal (its reply in errorText) or a broken dialogue. Each
// failure is written to the outlog and reported once (event 244); the
// caller closes the connection and the mail stays queued, whatever the
// reply (a refusal is the site's set-up, never the message's fault).
bool SmtpAuthenticate(_SmtpConnection &conn, const std::string &user, std::string &errorText);
// Where SmtpAuthenticate gets the password: false with why when it cannot.
// By default the file GatewayPasswordFile is read here (a process that may
// read it); the remote side asks the privileged side (remote.h). Set
// before the delivery threads start.
extern bool (*GatewayPasswordSource)(std::string &password, std::string &why);

// Says QUIT (unless the socket is closed) and frees the connection; null is
// fine.
void SmtpDisconnect(_SmtpConnection *conn);
// ForEachMessage callback: sends one message; context is the
// _SmtpConnection. True when every recipient was finished.
bool SendMessageOnConnection(_tMsgInfo &info, void *context);

// ---- The pieces, for tests and the fuzz target.

// One address of a RCPT command, with its outcome.
struct _SmtpRecipient {
  _tRcpInfo *UserInfo = nullptr;  // the recipient it came from
  std::string Name;               // without angle brackets
  int ResultCode = 0;             // 0 until sent
  std::string Response;           // kept reply text when not 2xx
};
typedef std::vector<_SmtpRecipient> SmtpRecipientList;  // in sending order

// The extensions of a 250 reply to EHLO (the first line, the greeting, is
// not one). Keywords in any case (AUTH also in its old form "AUTH=...",
// its mechanisms gathered over both); unknown ones and their parameters are
// ignored; a SIZE parameter that is no decimal number within
// kMaxEhloSizeDigits counts as no limit. Reads at most kMaxSmtpReply bytes.
SmtpExtensions ParseEhloReply(std::string_view reply);
// The parameters behind "MAIL FROM:<...>" for a message of messageSize
// bytes: " SIZE=n" and " BODY=8BITMIME" as the peer's extensions allow.
std::string MailParameters(const SmtpExtensions &ext, uint64_t messageSize, bool eightBit);

// The last command sent and the last reply read, as kept for a report.
struct SmtpExchange {
  std::string Command;
  std::string Reply;
};

// Assembles one reply from the bytes the peer sends.
class SmtpReplyReader {
 public:
  enum State { kMore, kComplete, kTooLong };
  State Feed(std::string_view data);
  // Feeds data up to the end of the reply and no further: the count of
  // bytes taken (all of data while the reply goes on), *state as Feed's.
  // The rest begins the next reply: a peer answering pipelined commands
  // sends several in one go.
  size_t Take(std::string_view data, State *state);
  const std::string &Text() const { return text_; }

 private:
  std::string text_;
  size_t lineStart_ = 0;
};

// The text ends with a line feed and its last line begins with three digits
// not followed by "-".
bool IsCompleteResponse(std::string_view text);
// kReplyCodeUnreadable when the reply does not begin with three digits;
// otherwise the code of its last line (the one that ended the reply).
int GetSmtpReplyCode(std::string_view text);
// Peer text made fit for a report or an error text: CR LF becomes "\n",
// other control characters but tab become spaces, cut to maxChars.
std::string ReplyTextForReport(std::string_view raw, size_t maxChars);

// Puts each address of text (a recipient's Name, possibly a list), for rcp,
// at the head of list in turn: the list ends up in the reverse order of the
// calls, and of the addresses within one text. Addresses are cut to
// kMaxSmtpRecipientName; empty ones are dropped.
void SmtpPrepareRecipients(std::string_view text, _tRcpInfo *rcp, SmtpRecipientList &list);

// The held message's check: at least 5 bytes, ending with CR LF "." CR LF
// or LF "." LF, and no "." line before that one (it would end the data
// early and turn the rest into commands).
class MessageFileCheck {
 public:
  void Feed(std::string_view data);
  bool Valid(uint64_t size) const;

 private:
  int dotLines_ = 0;
  int state_ = 1;      // 0 within a line, 1 at a line start, 2 after ".", 3 after ".\r"
  std::string tail_;   // the last 5 bytes
};

// One transaction: the last reply code, or -1 after a network failure (the
// socket is then closed and Error set) or when Error was already set.
// mailParameters (MailParameters) go behind the MAIL command's path. With
// conn.Ext.Pipelining, MAIL, the RCPTs (kMaxPipelinedCommands commands to a
// write at most) and DATA go ahead of their replies; a refused MAIL is
// returned even when the connection broke while the replies after it were
// read.
int SmtpSend(_SmtpConnection &conn, SmtpRecipientList &list, std::string_view returnPath,
             int messageFd, bool endMarker, SmtpExchange &last,
             std::string_view mailParameters = {});

// The outlog's TLS field: " (TLS TLSv1.3)" for opportunistic TLS, as it
// always was; under a policy " (TLS TLSv1.3 dane verified)": the policy
// (dane, mta-sts, gateway) and whether the certificate was verified.
std::string OutlogTlsField(const _SmtpConnection &conn);
// The outlog line of an accepted message ("\n" included); under TLS it ends
// with the TLS field, kept whole however many recipients come before.
// AuthFailureOutlogLine: the line of a failed authentication at the relay
// host, with the reason (the host's reply), cut to the line's bound.
std::string OutlogLine(const _tMsgInfo &info, const _SmtpConnection &conn,
                       const SmtpRecipientList &list, long long when);
std::string AuthFailureOutlogLine(const _SmtpConnection &conn, std::string_view user,
                                  std::string_view reason, long long when);
// "[%d/%b/%Y:%H:%M:%S]" in local time (universal time when local time is
// unavailable), English month names.
std::string AppendTime(long long when);
