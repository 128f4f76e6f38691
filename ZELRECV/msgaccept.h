// msgaccept: message acceptance after DATA: the message file, written as
// the data arrives, with the receiver's trace and missing header lines in
// front of the header; the checks on the message; and the recipient file
// that queues it.
//
// The data comes through smtpdata's bounded buffer: the header is held
// until its blank line, then the file is created, the added lines and the
// header are written, and the body follows buffer by buffer (one file write
// outstanding at a time, on the completion port's file threads). A message
// that is refused part-way (too large, too many hops, the disk full) is
// read on to its end, its file is deleted at once, and the refusal is the
// reply to the end of data.
//
// Crash safety: "250 Message received OK" is sent only once the message
// file, the recipient file and their directory entries are on disk. The
// messages that finish about the same time share these syncs: a first one
// (SyncTogether) for the data of all their files, before any of them is
// named, and a second one for the directory after the names. The
// recipient file appears under its name whole, so the delivery agent never
// sees a half-written envelope, and a message file without one is not
// queued. Neither file ever replaces one already there: the message file
// is created create-new, a name whose recipient file exists is passed over
// for a fresh identifier, and the recipient file gets its name by a
// no-replace rename.
//
// Signing: the message of an authenticated session, or of a relay client
// when SignRelayClients is set, gets its DKIM signatures (common/dkim) on
// the disk thread, before the group's sync: the text the 250 acknowledges
// is the signed one. A message that cannot be signed goes unsigned, with
// event 241; a write failure is the message's "452".
#pragma once

#include <string>
#include <vector>

#include "ZELRECV/smtpdlg.h"
#include "common/milterresult.h"

// A read of message data completed: stores it, writes what is due, and at
// the end of the data queues the message or sends the refusal.
void MessageDataBytes(_Connection *conn, DWORD bytes);
// A message file write or the queueing completed.
void MessageFileCompletion(_Connection *conn, DWORD bytes, bool ok);
// The message file is whole (and past the mail filters): it is synced,
// named and queued off the workers, in a group with others.
void CommitMessageFile(_Connection *conn);
// The recipient file's lines for the record's envelope.
void RecipientLines(const _SmtpDialogue &dlg, TextFile &f);
// Frees the data, closes the message file and deletes it if still held.
void DiscardMessage(_SmtpDialogue &dlg);

// The message file's text as written so far, as a source for readers.
MessageSource StoredMessage(const _SmtpDialogue &dlg);
// Writes the stored text with edits applied into a new nameless file that
// takes the message file's place (the filters' changes, the signatures).
// False: *writeFailed when the disk failed, else *error says why the edits
// cannot be applied; the old file stays.
bool ReplaceMessageText(_SmtpDialogue &dlg, const std::vector<MilterEdits> &edits,
                        bool *writeFailed, std::string *error);

// The header search, exposed for tests.
bool HeaderPresent(const std::string &header, const char *name);
int CountHeaderLines(const std::string &header, const char *name);
