// imapparseutf7: mailbox names between UTF-8 (how the store and IMAP4rev2
// sessions hold them) and modified UTF-7 (how IMAP4rev1 sessions send
// them: RFC 3501 section 5.1.3), and the UTF-8 check every name and
// search string passes.
//
// Callers: the mailbox name parsers (imapparseargs) decode what a rev1
// client sends; the response writers (imapwrite) encode what a rev1 client
// is told. Untrusted input: both directions (a client's name, a folder
// name from disk). Pure functions; thread-safe.
//
// Policy: only the one canonical form of a name is accepted, so that a
// name and its encoding map one to one (a decoded name always encodes back
// to the bytes the client sent): printable ASCII (and "&" as "&-") stands
// for itself and is never encoded; everything else is encoded in one
// shift run per stretch, with no empty run, no run right behind another,
// no leftover bits that are not zero, no lone surrogate. Control
// characters (below 0x20, 0x7F) have no form at all: a name never holds
// one. A refusal leaves the output empty.
#pragma once

#include <string>
#include <string_view>

// Modified UTF-7 to UTF-8. False for any form other than the canonical one
// (above), for bytes outside printable ASCII, or for a control character.
bool ModifiedUtf7ToUtf8(std::string_view in, std::string &out);

// UTF-8 to modified UTF-7. False when the input is not UTF-8 or holds a
// control character.
bool Utf8ToModifiedUtf7(std::string_view in, std::string &out);

// Whether the bytes are UTF-8 (RFC 3629: no overlong form, no surrogate,
// nothing above U+10FFFF). ASCII is UTF-8.
bool IsUtf8(std::string_view in);

// Whether the bytes hold an ASCII control character (below 0x20, or 0x7F).
bool HasAsciiControl(std::string_view in);
