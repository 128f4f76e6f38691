// sessionhandoff: how a mail-access front (POP3, IMAP) hands a logged-on
// client to the session process that serves it as the mail user, and how
// that process runs the connection it was handed.
//
// The front's side. Before the logon is checked, PrepareSessionHandOff
// makes the sockets the session will get: the control socket (a message
// pair: the session's activity log lines come back over it, and its end is
// the session's end), and for a client over TLS a stream pair whose other
// end the front relays through the TLS session it keeps (the session
// never holds a key). A client in clear gives the session its own socket
// (so the session sends files with sendfile). FillSessionStart writes what
// the session needs to know of the connection. The logon request carries
// both to the root logon helper (common/logonhelper), which starts the
// session when the password is right. Once the session says it serves,
// CompleteSessionHandOff takes the connection out of the engine
// (DetachConnection) and gives what the front keeps to the relay thread
// (platform/relay), which holds the connection's place in the limits
// until the session ends. A session that did not start leaves the
// connection as it was: the front answers and goes on.
//
// The session's side. RunHandedConnection starts an engine without
// listeners in the session process, adopts the socket it was handed
// (resume is the program's first step on it: its first reply), and returns
// once that connection has closed or the front went away (the end of the
// control socket); the caller then exits. SessionLogLine sends an activity
// log line to the front, which writes it.
//
// Threads: the front's calls from the worker holding the connection's
// completion; the session's from its main thread (SessionLogLine from any
// thread). Untrusted input: the session's control messages, which the
// front's relay hands to the onLine callback as untrusted text.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "common/sessionstart.h"
#include "net/netengine.h"
#include "platform/files.h"

struct SessionHandOff {
  UniqueFd SessionData;     // TLS: the session's end of the relay pair
  UniqueFd SessionControl;  // the session's end of the control pair
  UniqueFd FrontData;       // TLS: the front's end of the relay pair
  UniqueFd FrontControl;    // the front's end of the control pair
  int DataToSend = -1;      // what the session gets as its data socket
};

// False with the last error (no descriptors, no memory).
bool PrepareSessionHandOff(_Connection *conn, SessionHandOff &handOff);
// Addresses, names, listener kind, TLS and what is left of the deadline.
void FillSessionStart(const _Connection *conn, SessionStart &start);
// The session serves: the connection leaves the engine (conn is freed; do
// not touch it afterwards). onLine gets each activity log line. False when
// the connection could not be detached: it is then closed.
bool CompleteSessionHandOff(_Connection *conn, SessionHandOff &handOff,
                            std::function<void(std::string_view line)> onLine);

// ---- in the session process

// The session's control socket, for SessionLogLine and the first word
// (SendSessionWord: kControlServing, or kControlRefused with the reply).
void SetSessionControl(int controlFd);
bool SendSessionWord(char word, std::string_view text);
void SessionLogLine(std::string_view line);

// Runs the handed connection (see above). settings: the idle limit and
// the like (no listeners); hooks: Complete and Release as for an accepted
// connection. False when the engine could not start.
bool RunHandedConnection(UniqueFd data, const SessionStart &start, NetEngineSettings settings,
                         const NetEngineHooks &hooks, void (*resume)(_Connection *conn));
