// imapcmd: the session's commands: the table (name, the states that take
// it, whether it has a UID form, handler) and the handlers that need no
// folder (CAPABILITY, NOOP, LOGOUT, ID, ENABLE, IDLE's frame). The
// folder commands are imapmbox (CREATE ... STATUS, APPEND), imapselect
// (SELECT, EXAMINE, CLOSE, UNSELECT, EXPUNGE, the untagged updates) and
// imapmsg (FETCH, STORE, SEARCH, COPY, MOVE).
//
// Called by imapconn's loop on the session's workers, one connection on
// one worker at a time. Every handler queues its responses in the
// connection's Out and returns kOn (or kAway after it closed the
// connection). Untrusted input: the command's arguments (imapparseargs'
// scanners, bounded).
#pragma once

#include <string>
#include <string_view>

#include "ZELIMAP/imapconn.h"
#include "ZELIMAP/imapparseargs.h"

extern const ImapHandlers kSessionHandlers;

// A connection's session part is ready (Resume, before its first command).
void PrepareSessionConn(_Connection *conn);

// Queues "<tag> <text>\r\n".
void ImapReply(_Connection *conn, std::string_view tag, std::string_view text);
// Queues "<tag> <status> <text>" of a parser's error; kOn.
ImapGo ImapFailed(_Connection *conn, std::string_view tag, const ImapError &error);
