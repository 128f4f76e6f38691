// mimeimap: the IMAP texts of a message's structure: ENVELOPE, BODYSTRUCTURE
// and BODY (RFC 9051 and RFC 3501, section 7.4.2 / 7.5.2), and the string
// token every IMAP response writer needs (quoted when it can be, a literal
// otherwise).
//
// Callers: the folder store makes ENVELOPE and BODYSTRUCTURE once when a
// message is first seen and keeps them in its index; the IMAP server sends
// them, and writes its other strings with AppendImapString. The message
// text and its tree (mimeparse) are untrusted; whatever they hold, the
// texts here are valid by the grammar: every byte string goes out as a
// quoted string or a literal, every list is closed, a multipart always has
// a part, a group always ends. Values are the header text as written
// (encoded words are not decoded), unfolded.
//
// Revisions: IMAP4rev2 reports a message/global part as an encapsulated
// message (envelope, body, lines), IMAP4rev1 as a plain part; that is the
// only difference, and MimeTextsDependOnRevision says whether a message has
// it. Strings are revision-neutral: a string with bytes beyond ASCII is
// always a literal (valid in both), unless the caller asks for UTF-8 quoting.
//
// Output size is linear in the text (kMaxFieldValue per header value,
// kMaxMimeParts parts). Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/mimeparse.h"

enum class ImapRevision { Rev1, Rev2 };

// Longer strings go as literals even when they could be quoted, so a
// response line stays short for clients that read lines into buffers.
constexpr size_t kMaxMimeQuotedString = 1024;

// Appends bytes as an IMAP string: quoted ("\" and DQUOTE escaped) when
// every byte is a 7-bit TEXT-CHAR (with utf8Quoted: or part of valid
// UTF-8, as IMAP4rev2 and UTF8=ACCEPT allow) and it is at most
// kMaxMimeQuotedString bytes; a literal "{n}\r\n" and the bytes otherwise. A
// literal cannot carry NUL: each NUL is sent as 0x80, so the length stays.
void AppendImapString(std::string_view bytes, std::string *out, bool utf8Quoted = false);
// NIL, or the string.
void AppendImapNString(const std::string *bytes, std::string *out);

// The ENVELOPE of the message entity (0: the message; or the child of a
// message/rfc822 part): the parenthesized list of date, subject, from,
// sender, reply-to, to, cc, bcc, in-reply-to and message-id.
std::string MimeEnvelopeText(std::string_view text, const MimeTree &tree, uint32_t entity = 0);

// BODYSTRUCTURE (extensible: MD5, disposition, language, location) or BODY
// (not extensible) of the message.
std::string MimeBodyStructureText(std::string_view text, const MimeTree &tree, bool extensible,
                                  ImapRevision revision);

// Do the texts of this tree differ between the revisions (it has an
// encapsulated message/global part)?
bool MimeTextsDependOnRevision(const MimeTree &tree);
