// relay: the front's side of a logged-on client whose session runs in a
// process of its own (the POP3 and IMAP servers).
//
// After a logon the session process, running as the mail user, serves the
// client. A client in clear gets its socket handed to the session, so the
// front keeps only the session's control socket; a client over TLS stays
// with the front, which keeps the TLS session (the key never reaches a
// process of the user's) and relays the plaintext both ways over a stream
// socket pair. Either way the control socket carries the session's
// messages (activity log lines) to the front, and its end tells the front
// that the session is over, which releases the connection's place in the
// front's limits.
//
// One thread serves every relay with non-blocking sockets, so an idle
// client costs its TLS session and no thread. Each direction holds at most
// kRelayBufferBytes before it stops reading from its source: a client that
// does not read stalls its own session (whose own write deadline then ends
// it), never the front. When the session closes its data socket (QUIT,
// LOGOUT, a time-out) the client gets what is left, then close_notify and
// the end of the connection; when the client goes, the session sees the
// end of its input.
//
// A proxied logon (net/mailproxy) relays the same way between the
// session's data socket and a mail host, whose leg is under TLS or, with
// bPlainClient, in clear; such a relay may have no control socket.
//
// Untrusted input: the client's ciphertext (OpenSSL parses it), the
// session's bytes (only relayed) and its control messages (handed to
// OnMessage, at most kMaxRelayMessage bytes each; the callback treats them
// as untrusted text).
//
// Threads: AddRelay from any thread; the callbacks run on the relay
// thread, OnEnd exactly once per relay (also when AddRelay fails), after
// every descriptor of the relay is closed. Failures of a relay end it; a
// relay never reports an event itself.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/files.h"
#include "platform/tls.h"

// Bytes waiting in one direction of a relay before it stops reading.
constexpr size_t kRelayBufferBytes = 64 * 1024;
// A control message: a log line with room to spare.
constexpr size_t kMaxRelayMessage = 2048;
// After the session ended, the client has this long to take what is left.
constexpr unsigned kRelayFlushSeconds = 10;

struct RelaySpec {
  UniqueFd Client;                   // the client's socket (with Tls), or none
  std::unique_ptr<TlsSession> Tls;   // its TLS session, handshake done
  bool bPlainClient = false;         // Client without Tls: its bytes as they are
  // The client's end is the relay's: once what it sent is delivered, Local
  // is closed too (a proxied session ends with the mail host's).
  bool bEndWithClient = false;
  UniqueFd Local;                    // the session's data socket (with Client)
  UniqueFd Control;                  // the session's control socket
  std::function<void(std::string_view)> OnMessage;
  std::function<void()> OnEnd;
};

// Starts the relay thread; true when it runs (also when it ran already).
bool StartRelayThread();
// Takes spec over. False when the relay thread does not run or memory ran
// out: OnEnd has then been called already.
bool AddRelay(RelaySpec spec);
// Relays open, for tests and status.
size_t RelaysOpen();
