// smtpstream: the SMTP client's byte stream to one exchanger, in clear or
// under TLS, where every call ends by a deadline given as a point in time
// (MonotonicMs), however the peer paces its bytes. A peer that takes or
// gives one byte a second cannot stretch a call past its deadline: the
// deadline is not moved on by progress, as a per-read or per-write time-out
// would be.
//
// Under TLS the session (platform/tls's TlsSession) is driven here over the
// socket: its ciphertext goes out and comes in through the same deadline
// calls, the handshake included.
//
// Callers: smtpsend only, on a domain delivery thread.
//
// Untrusted input: what the peer sends, handed on as it comes (the reply
// parser bounds it); ciphertext is bounded by the TLS session.
//
// Threads: a stream belongs to one thread at a time; no shared state.
//
// Failures: false or -1 with the last error set, ERROR_TIMEOUT when the
// deadline passed (and TimedOut set, for good: the caller tells a slow
// exchanger from a broken one by it), EPROTO when TLS failed.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/tls.h"

struct SmtpStream {
  int Sock = -1;                      // -1 once closed
  std::unique_ptr<TlsSession> Tls;    // set once TLS is up: every byte goes through it
  bool TimedOut = false;              // a deadline ran out on this stream

  SmtpStream() = default;
  SmtpStream(const SmtpStream &) = delete;
  SmtpStream &operator=(const SmtpStream &) = delete;
  ~SmtpStream();
};

// Sends all of data by deadline.
bool StreamSend(SmtpStream &s, std::string_view data, long long deadline);
// What one receive gives, at most length bytes, waiting until deadline: the
// count, 0 at the end of the stream (or of the TLS session), -1 on failure.
long StreamReceive(SmtpStream &s, char *buffer, size_t length, long long deadline);
// The TLS handshake as a client (serverName for SNI), with check of the
// server's certificate, all of it by deadline; false with why set (a check
// that failed ends the handshake). The session is kept only when it is up.
bool StreamStartTls(SmtpStream &s, const TlsContextRef &context, std::string_view serverName,
                    long long deadline, std::string &why, const TlsPeerCheck &check = {});
// Ends TLS (close_notify, sent by deadline at best) and closes the socket.
void StreamClose(SmtpStream &s, long long deadline);
// Closes the socket at once with a reset: what was not sent yet is dropped,
// rather than trickled to a peer that was given up.
void StreamAbort(SmtpStream &s);
