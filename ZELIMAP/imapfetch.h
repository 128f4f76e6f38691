// imapfetch: FETCH and UID FETCH: every attribute of RFC 9051 and RFC
// 3501 (FLAGS, UID, INTERNALDATE, RFC822.SIZE, ENVELOPE, BODYSTRUCTURE,
// BODY, BODY[section]<partial> and BODY.PEEK, RFC822, RFC822.HEADER,
// RFC822.TEXT), BINARY[part]<partial>, BINARY.PEEK and BINARY.SIZE (RFC
// 3516), MODSEQ with CHANGEDSINCE and UID FETCH's VANISHED (RFC 7162).
//
// A FETCH is answered a batch of messages at a time (imapconn's Continue):
// each batch reads its rows from the index in one query (the ENVELOPE and
// BODYSTRUCTURE texts with them, made once when the message was first
// seen), so the structure of 10,000 messages goes without a file opened;
// a message's text is loaded only when an attribute needs it. BODY[] (or a
// part of it) of a message whose file holds no stuffed line goes by
// sendfile from the file itself, the responses before it and after it
// corked around it. Fetching a text without .PEEK in a folder selected
// read-write sets \Seen first, and the response carries the new FLAGS.
//
// RFC 9051 7.4.1: no EXPUNGE is sent while FETCH runs; a message expunged
// by another connection keeps its number, and its data where the shared
// state still has it (flags, size, date); one whose text is gone is left
// out and the command ends "NO [EXPUNGEISSUED]".
//
// Called by imapcmd's table on a session worker. Untrusted: the arguments
// (imapparsefetch) and the message files (common/mime, bounded).
#pragma once

#include "ZELIMAP/imapconn.h"
#include "ZELIMAP/imapparse.h"
#include "ZELIMAP/imapparsefetch.h"

#include <cstdint>
#include <string>
#include <vector>

// Messages answered per batch: one index query each.
constexpr size_t kFetchBatch = 500;
// A text at least this long goes by sendfile when it can.
constexpr uint64_t kFetchSendfileBytes = 16 * 1024;

// A FETCH being answered, batch by batch (SessionConn::Fetch).
struct FetchJob {
  std::string Tag;
  ImapFetchArgs Args;
  std::vector<uint32_t> Uids;    // to answer, ascending
  size_t Next = 0;
  bool bNeedTexts = false;       // ENVELOPE or BODYSTRUCTURE: rows with their texts
  bool bSetSeen = false;
  bool bExpungeIssued = false;   // a message's text was gone
  bool bUnknownCte = false;      // BINARY met an encoding it does not know
};

ImapGo CmdFetch(_Connection *conn, const ImapCommandView &cmd);

// "dd-Mon-yyyy hh:mm:ss +0000" (the date-time of INTERNALDATE, in UTC).
std::string InternalDateText(int64_t seconds);
