// msgaccept: message acceptance after DATA: the end-of-data test, the
// checks on the message, the trace and missing header lines the receiver
// adds, the message file written through the completion port, and the
// recipient file that queues the message.
//
// What the peer sends is untrusted: the data is kept in a chain of buffers
// bounded by MaxMessageSize (a larger message is read to its end and
// refused), the header is searched only up to its blank line.
//
// Crash safety: "250 Message received OK" is sent only once the message
// file, the recipient file and their directory entries are on disk. The
// recipient file appears under its name whole, so the delivery agent never
// sees a half-written envelope, and a message file without one is not
// queued.
#pragma once

#include "ZELRECV/smtpdlg.h"

// The buffer the next data read fills; false when memory runs out.
bool DataReadBuffer(_SmtpDialogue &dlg, char **buffer, size_t *room);
// Takes bytes just read into the data buffer; true when the end of the
// data was seen (bytes behind the end marker go back to Pending).
bool DataBytes(_Connection *conn, DWORD bytes);
// State 2: turns the data into a message file and starts writing it, or
// refuses it with its reply.
void AcceptMessage(_Connection *conn);
// A message file write or the queueing completed.
void MessageFileCompletion(_Connection *conn, DWORD bytes, bool ok);
// Frees the data, closes the message file and deletes it if still held.
void DiscardMessage(_SmtpDialogue &dlg);

// Helpers exposed for tests: the end marker in a stream of reads, and the
// header search.
bool FindEndOfData(char *tail, size_t *tailLength, const char *data, size_t length,
                   size_t *endOffset);
bool HeaderPresent(const std::string &header, const char *name);
int CountHeaderLines(const std::string &header, const char *name);
