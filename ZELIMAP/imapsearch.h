// imapsearch: SEARCH and UID SEARCH: every key of RFC 9051 and RFC 3501
// walked over the selected folder's messages (imapparsesearch makes the
// tree), ESEARCH's RETURN options (RFC 4731), SEARCHRES's SAVE and "$"
// (RFC 5182), CONDSTORE's MODSEQ key and answer (RFC 7162).
//
// The keys on flags, sizes, dates of arrival, UIDs and modseqs come from
// the shared state, without a file opened; a message's text is loaded only
// for a key that needs it, and keys of an AND that need no text are tried
// first, so a text is read at most once per message and only when the
// cheap keys left the message in. Text keys match decoded header values
// and decoded text parts without regard to case (common/mimesearch);
// SENTBEFORE, SENTON and SENTSINCE read the Date header's day
// (DateHeaderDay). A message expunged by another connection keeps its
// number: its cheap keys still match, its text keys do not.
//
// Called by imapcmd's table on a session worker; RFC 9051 7.4.1 holds (no
// EXPUNGE while SEARCH runs). Untrusted: the program (bounded by its
// parser) and the message files (common/mime, bounded).
#pragma once

#include <cstdint>
#include <string_view>

#include "ZELIMAP/imapconn.h"
#include "ZELIMAP/imapparse.h"

ImapGo CmdSearch(_Connection *conn, const ImapCommandView &cmd);

// The day (days since 1970-01-01) of an RFC 5322 date ("Tue, 1 Jul 2003
// 10:52:37 +0200", with the obsolete forms: no day name, a two-digit
// year, comments); the time and zone are not looked at. False when no
// day, month and year can be read. Bounded by the value's length.
bool DateHeaderDay(std::string_view value, int64_t &days);
