// smtpstream: see smtpstream.h.
#include "ZELDELIV/smtpstream.h"

#include "platform/sockets.h"
#include "platform/sync.h"

namespace {

// Ciphertext moved between the socket and the session at a time: one TLS
// record and its overhead.
constexpr size_t kCipherChunk = 17 * 1024;

bool Fail(long error) {
  SetLastError(error);
  return false;
}

// The time left until deadline as a time-out; 0 once it has passed.
DWORD MsUntil(long long deadline) {
  long long left = deadline - MonotonicMs();
  return left > 0 ? static_cast<DWORD>(left) : 0;
}

long FailCount(long error) {
  SetLastError(error);
  return -1;
}

// A failure is noted when a deadline ran out; the result is passed on.
bool Noted(SmtpStream &s, bool ok) {
  if (!ok && GetLastError() == ERROR_TIMEOUT) s.TimedOut = true;
  return ok;
}

long Noted(SmtpStream &s, long count) {
  Noted(s, count >= 0);
  return count;
}

bool SendPlain(SmtpStream &s, const char *data, size_t length, long long deadline) {
  DWORD left = MsUntil(deadline);
  if (left == 0) return Fail(ERROR_TIMEOUT);
  return SendSocketWithin(s.Sock, data, length, left);
}

// The session's pending ciphertext, all of it by deadline.
bool Flush(SmtpStream &s, long long deadline) {
  char buffer[kCipherChunk];
  for (size_t n; (n = s.Tls->TakeOutput(buffer, sizeof buffer)) > 0;)
    if (!SendPlain(s, buffer, n, deadline)) return false;
  return true;
}

// One receive of ciphertext fed to the session: 1, 0 at the end of the
// stream, -1 on failure.
int Fill(SmtpStream &s, long long deadline) {
  DWORD left = MsUntil(deadline);
  if (left == 0) return FailCount(ERROR_TIMEOUT);
  char buffer[kCipherChunk];
  long n = RecvSocket(s.Sock, buffer, sizeof buffer, left);
  if (n <= 0) return n < 0 ? -1 : 0;
  return s.Tls->Feed(buffer, static_cast<size_t>(n)) ? 1 : FailCount(EPROTO);
}

bool Handshake(SmtpStream &s, long long deadline) {
  for (;;) {
    TlsResult r = s.Tls->Handshake();
    // The alert of a failed handshake goes out too, so the peer knows why.
    if (!Flush(s, deadline)) return false;
    if (r == TlsResult::kDone) return true;
    if (r != TlsResult::kWantInput) return Fail(EPROTO);
    int filled = Fill(s, deadline);
    if (filled <= 0) return filled == 0 ? Fail(ECONNRESET) : false;
  }
}

long ReceiveTls(SmtpStream &s, char *buffer, size_t length, long long deadline) {
  for (;;) {
    size_t got = 0;
    TlsResult r = s.Tls->Read(buffer, length, &got);
    // Reading may queue output (a key update's answer, an alert).
    if (!Flush(s, deadline)) return -1;
    if (r == TlsResult::kDone) return static_cast<long>(got);
    if (r == TlsResult::kClosed) return 0;
    if (r == TlsResult::kFatal) return FailCount(EPROTO);
    int filled = Fill(s, deadline);
    if (filled <= 0) return filled;
  }
}

}  // namespace

SmtpStream::~SmtpStream() {
  if (Sock >= 0) CloseSocket(Sock);
}

bool StreamSend(SmtpStream &s, std::string_view data, long long deadline) {
  if (s.Sock < 0) return Fail(ENOTCONN);
  if (!s.Tls) return Noted(s, SendPlain(s, data.data(), data.size(), deadline));
  if (s.Tls->Write(data.data(), data.size()) != TlsResult::kDone) {
    Flush(s, deadline);
    return Fail(EPROTO);
  }
  return Noted(s, Flush(s, deadline));
}

long StreamReceive(SmtpStream &s, char *buffer, size_t length, long long deadline) {
  if (s.Sock < 0 || length == 0) return FailCount(ERROR_INVALID_PARAMETER);
  if (s.Tls) return Noted(s, ReceiveTls(s, buffer, length, deadline));
  DWORD left = MsUntil(deadline);
  if (left == 0) return Noted(s, FailCount(ERROR_TIMEOUT));
  return Noted(s, RecvSocket(s.Sock, buffer, length, left));
}

bool StreamStartTls(SmtpStream &s, const TlsContextRef &context, std::string_view serverName,
                    long long deadline, std::string &why, const TlsPeerCheck &check) {
  if (s.Sock < 0) return Fail(ENOTCONN);
  s.Tls = std::make_unique<TlsSession>();
  bool ok =
      s.Tls->StartClient(context, serverName, check) ? Handshake(s, deadline) : Fail(EPROTO);
  if (ok) return true;
  long error = GetLastError();
  why = !s.Tls->ErrorText().empty()        ? s.Tls->ErrorText()
        : error == ERROR_TIMEOUT            ? std::string("timed out")
                                            : std::string("the connection broke");
  s.Tls.reset();
  SetLastError(error);
  return Noted(s, false);
}

void StreamAbort(SmtpStream &s) {
  if (s.Sock >= 0) CloseSocketAbortive(s.Sock);
  s.Sock = -1;
  s.Tls.reset();
}

void StreamClose(SmtpStream &s, long long deadline) {
  if (s.Sock < 0) return;
  if (s.Tls) {
    s.Tls->Close();
    (void)Flush(s, deadline);
  }
  CloseSocket(s.Sock);
  s.Sock = -1;
  s.Tls.reset();
}
