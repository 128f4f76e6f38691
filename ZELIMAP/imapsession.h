// imapsession: the process that serves every IMAP connection of one
// logged-on user, as that user ("zelimap -session").
//
// The front (zelimap as the service account) checks nothing itself: the
// root logon helper checks the password and, for a user name without a
// session, runs this program afresh (common/logonhelper) with the
// logged-on identity, the start record the front wrote (common/
// sessionstart), the client's data socket, its control socket and the
// door through which the front hands this process the user's later
// connections (net/sessionhandoff). Still root, the session reads its
// settings, opens the event log, finds the user's mailbox and makes it
// when AutoCreateInboxDir allows (common/mailaccess); then it becomes the
// user for good and makes the special-use folders. From then on it serves
// the first connection and each one that comes through the door on an
// engine of its own (RunSharedSession), and ends kSessionGraceMs after its
// last connection closed. When the mailbox cannot be used it answers the
// front with the client's reply instead (kControlRefused) and exits.
//
// Each connection: the tagged OK of its logon first (the tag travels in
// the start record's LogonCommand, "<tag> LOGIN"), with what the client
// pipelined behind its logon as its first input; "S" on its control
// socket tells the front it is served. The idle limit is Timeout (IDLE
// included); a connection idle longer hears "* BYE" and closes.
//
// Untrusted input: the start record (decoded bounded; the front faces the
// network), the client's commands (imapparse), the mailbox's files and
// indexes (the user's own, common/mailstore).
//
// Threads: the engine's workers run the connections (one worker per
// connection at a time); the shared folder state and the IDLE registry
// are guarded by their own locks (imapfolder).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ZELIMAP/imapconn.h"
#include "ZELIMAP/imapfolder.h"
#include "common/sessionstart.h"
#include "platform/files.h"

// How long a session waits for another connection of its user after its
// last one closed: a client that reconnects finds its folders warm.
constexpr unsigned kSessionGraceMs = 30000;

// The Session hook of the service runtime: the whole session process,
// after the program's settings are read (readSettings, as root).
long RunImapSession(bool (*readSettings)());

// The session's part of one connection (ImapConn::Program).
struct SessionConn {
  UniqueFd Control;            // the front watches its end
  SessionStart Start;
  bool bRev2 = false;          // ENABLE IMAP4rev2
  bool bCondStore = false;     // CONDSTORE enabled (ENABLE, or a command that implies it)
  bool bQresync = false;       // ENABLE QRESYNC
  // IDLE: the tag of the IDLE under way ("" when none).
  std::string IdleTag;
  // The selected folder (null in the authenticated state).
  std::unique_ptr<SelectedView> View;
  // SEARCHRES: the last result saved (UIDs of the selected folder).
  std::vector<uint32_t> Saved;
  // APPEND: the message being written (imapmbox).
  std::unique_ptr<struct AppendState> Append;
  // FETCH: the one being answered (imapfetch).
  std::unique_ptr<struct FetchJob> Fetch;

  ~SessionConn();
};

inline SessionConn &Sess(_Connection *conn) {
  return *static_cast<SessionConn *>(Imap(conn).Program);
}

// The tag and command of the logon the session answers first
// ("<tag> LOGIN"); false for a record that holds none.
bool SplitLogonCommand(std::string_view logon, std::string &tag, std::string &command);
