// imapmsg: the commands that change messages of the selected folder:
// STORE (with CONDSTORE's UNCHANGEDSINCE and its MODIFIED answer), COPY
// and MOVE (UIDPLUS's COPYUID; MOVE's expunges), and their UID forms.
//
// Called by imapcmd's table on a session worker. A change is one index
// transaction (common/mailstore); it is noted in the folder's shared state
// so that the folder's other connections report it (and those in IDLE are
// woken). STORE answers with the flags as they are afterwards (not with
// .SILENT, unless CONDSTORE is on, which asks for the new modseq); RFC 9051
// 7.4.1 holds: no EXPUNGE is sent while STORE runs.
#pragma once

#include "ZELIMAP/imapconn.h"
#include "ZELIMAP/imapparse.h"

ImapGo CmdStore(_Connection *conn, const ImapCommandView &cmd);
ImapGo CmdCopy(_Connection *conn, const ImapCommandView &cmd);
ImapGo CmdMove(_Connection *conn, const ImapCommandView &cmd);
