// imapselect: the commands that select a folder and end a selection:
// SELECT and EXAMINE (with CONDSTORE, and QRESYNC's resynchronisation:
// VANISHED (EARLIER) and the flags changed since the client's modseq),
// CLOSE, UNSELECT, EXPUNGE and UID EXPUNGE.
//
// Called by imapcmd's table on a session worker. Responses follow RFC 9051
// for an IMAP4rev2 session (a LIST response, no RECENT, no UNSEEN) and RFC
// 3501 for a rev1 one (RECENT with the messages this session claims as
// \Recent, UNSEEN with the first unseen message); HIGHESTMODSEQ always. A
// failed SELECT leaves no folder selected. EXPUNGE removes the \Deleted
// messages (UID EXPUNGE only those of its set) and tells the other
// connections of the folder, which keep theirs as ghosts until they may be
// told.
#pragma once

#include "ZELIMAP/imapconn.h"
#include "ZELIMAP/imapparseargs.h"

#include <cstdint>
#include <vector>

ImapGo CmdSelect(_Connection *conn, const ImapCommandView &cmd);
ImapGo CmdExamine(_Connection *conn, const ImapCommandView &cmd);
ImapGo CmdClose(_Connection *conn, const ImapCommandView &cmd);
ImapGo CmdUnselect(_Connection *conn, const ImapCommandView &cmd);
ImapGo CmdExpunge(_Connection *conn, const ImapCommandView &cmd);

// Drops the connection's selection (no response).
void EndSelection(_Connection *conn);

// The messages a set names in the connection's view, as their UIDs,
// ascending (the saved search result for "$"). A set of sequence numbers
// beyond the view's messages is refused (false); UIDs that are not there
// are left out.
bool ViewUidsOfSet(_Connection *conn, const ImapSeqSet &set, bool uids,
                   std::vector<uint32_t> &out);
