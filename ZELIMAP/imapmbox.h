// imapmbox: the commands on folders as a whole: CREATE, DELETE, RENAME,
// SUBSCRIBE, UNSUBSCRIBE, LIST (LIST-EXTENDED, LIST-STATUS, SPECIAL-USE,
// CHILDREN), LSUB (IMAP4rev1), NAMESPACE, STATUS (STATUS=SIZE,
// HIGHESTMODSEQ, APPENDLIMIT), and APPEND, whose message is written to its
// file as it arrives (common/mailstore's AppendWriter) and is durable
// before the tagged OK ("[APPENDUID v n]").
//
// Called by imapcmd's table (APPEND's message through imapconn's
// AppendMessage and MessageBytes events) on a session worker. The store is
// used under StoreLock, a folder's index under its folder's lock. Names are
// UTF-8 inside (imapparse decodes a rev1 client's modified UTF-7 and
// imapwrite encodes it back); the store refuses what is not a folder name.
// Failures: tagged NO with the response code RFC 5530 gives the cause
// (NONEXISTENT, ALREADYEXISTS, TRYCREATE for APPEND into a folder that is
// not there, CANNOT, INUSE, SERVERBUG).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "ZELIMAP/imapconn.h"
#include "ZELIMAP/imapfolder.h"
#include "ZELIMAP/imapparse.h"

ImapGo CmdCreate(_Connection *conn, const ImapCommandView &cmd);
ImapGo CmdDelete(_Connection *conn, const ImapCommandView &cmd);
ImapGo CmdRename(_Connection *conn, const ImapCommandView &cmd);
ImapGo CmdSubscribe(_Connection *conn, const ImapCommandView &cmd);
ImapGo CmdUnsubscribe(_Connection *conn, const ImapCommandView &cmd);
ImapGo CmdList(_Connection *conn, const ImapCommandView &cmd);
ImapGo CmdLsub(_Connection *conn, const ImapCommandView &cmd);
ImapGo CmdNamespace(_Connection *conn, const ImapCommandView &cmd);
ImapGo CmdStatus(_Connection *conn, const ImapCommandView &cmd);

// APPEND: its message announced (AppendMessage), its pieces
// (MessageBytes), and the whole command once the message has come.
ImapGo AppendAnnounced(_Connection *conn, const ImapCommandView &cmd);
ImapGo AppendBytes(_Connection *conn, std::string_view data);
ImapGo CmdAppend(_Connection *conn, const ImapCommandView &cmd);

// An APPEND whose message is arriving: the folder, the file being written
// and the first write error (the rest of the message is then dropped).
struct AppendState {
  std::shared_ptr<SharedFolder> Folder;
  AppendWriter Writer;
  long Error = ERROR_SUCCESS;
};

// The reply of a store error for a named folder.
std::string StoreRefusal(long rc);
