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

#include "common/logonpool.h"
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
// The logon of a client whose session starts once the check passes (the
// fronts' habit): job reset for name and password (wiped where it was,
// failuresBefore as the connection counts them), its completion on conn;
// handOff prepared; start (the caller's Protocol, UserName, LogonCommand
// and PendingInput; the connection's fields are filled here) encoded into
// job with the session's descriptors. False with the last error when the
// sockets cannot be made; the job's password is then wiped.
bool PrepareSessionLogon(_Connection *conn, LogonJob &job, SessionHandOff &handOff,
                         SessionStart &start, const std::string &name, std::string &password,
                         int failuresBefore);
// The session serves: the connection leaves the engine (conn is freed; do
// not touch it afterwards). onLine gets each activity log line. False when
// the connection could not be detached: it is then closed.
bool CompleteSessionHandOff(_Connection *conn, SessionHandOff &handOff,
                            std::function<void(std::string_view line)> onLine);

// ---- sessions that serve every connection of their user (IMAP)
//
// The front keeps, for each user name a client logged on with, the door
// of the session process it started: the front's end of a message socket
// pair whose other end the session reads. CheckLogonForSharedSession is
// the logon pool's check for such a front: for a name with a door it has
// the password checked alone, then hands the connection (its start record,
// data socket and control socket) through the door and waits for the
// session's first word on the control socket, as after a start; a door
// that is gone, or a session that does not answer, is forgotten, and a new
// session is started for the logon (the password is kept, wiped, until
// then). For a name without one it starts the session with a new door.
// Logons of one name are checked one at a time, so that two first logons
// at once start one session, not two.

void CheckLogonForSharedSession(LogonJob &job, DWORD *failDelayMs);
// Doors held (for tests and status).
size_t SessionDoorsOpen();

// ---- in the session process

// The session's control socket, for SessionLogLine and the first word
// (SendSessionWord: kControlServing, or kControlRefused with the reply).
// A session of several connections has one control socket each: the
// forms with a descriptor send on that one.
void SetSessionControl(int controlFd);
bool SendSessionWord(char word, std::string_view text);
bool SendSessionWord(int controlFd, char word, std::string_view text);
void SessionLogLine(std::string_view line);
void SessionLogLine(int controlFd, std::string_view line);

// A connection given to a session process: at its launch or through its
// door.
struct SessionConnection {
  UniqueFd Data;
  UniqueFd Control;
  SessionStart Start;
};
// The session process of every connection of its user: adopts first, then
// every connection that comes through door, each through resume (the
// connection being adopted is CurrentAdoption() while resume runs: it
// takes its Control and Start), and returns once none has been open for
// graceMs, or the door ended (the front forgot it or went away) and the
// connections it has are closed. A connection the
// engine cannot take is refused on its control socket ("* BYE ..."); resume
// may refuse one itself the same way. settings and hooks as for
// RunHandedConnection. Without a door (door not valid) it serves first
// alone and returns when it has closed.
bool RunSharedSession(SessionConnection first, UniqueFd door, NetEngineSettings settings,
                      const NetEngineHooks &hooks, void (*resume)(_Connection *conn),
                      DWORD graceMs);
SessionConnection &CurrentAdoption();

// Runs the handed connection (see above). settings: the idle limit and
// the like (no listeners); hooks: Complete and Release as for an accepted
// connection. False when the engine could not start.
bool RunHandedConnection(UniqueFd data, const SessionStart &start, NetEngineSettings settings,
                         const NetEngineHooks &hooks, void (*resume)(_Connection *conn));
