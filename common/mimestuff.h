// mimestuff: a message text and the SMTP form of a message file, each from
// the other. Every message file of the system (spool, mailbox, folders)
// keeps the text as SMTP carries it: CR LF lines, a "." doubled at the start
// of a line, a closing ".\r\n" line. IMAP serves and takes the text itself.
//
// Lines are CR LF lines, as SMTP's are: a "." is taken away only at the
// start of the file or behind CR LF (a dot behind a bare LF was never
// stuffed); the closing line is the file's last line when it is exactly
// "." (behind CR LF, or the whole file). A file without it (damaged, or
// written by hand) gives its whole content as text.
//
// APPEND's text becomes a file with every line ending CR LF: a bare LF gets
// its CR (bare CR bytes stay). RFC 9051 wants APPEND's message in RFC 5322
// form, whose lines end CR LF, and its 8-bit bytes kept; the SMTP form and
// every reader of the files (POP3, which sends them as they are, and the
// readers here) count lines by CR LF, so a bare LF line in a file would be
// read differently by each. A text that does not end with a line end gets
// one, as the closing line needs a line of its own. So the stored text
// (and RFC822.SIZE) can be longer than what the client sent, by those CRs;
// no other byte changes.
//
// Callers: the folder store (APPEND; size and structure at first sight;
// whether a file can be served as a plain range of itself), the IMAP
// server (BODY[] of a stuffed file). Pure functions over the caller's
// bytes; thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The length of the text at the start of the file when nothing in it is
// stuffed: the file less its closing line.
size_t MimeFileTextEnd(std::string_view file);

// Does any line of the file (the closing line aside) start with "."? When
// not, the text is file[0, MimeFileTextEnd(file)) as it stands.
bool MimeFileIsStuffed(std::string_view file);

// The length of the file's text, without making it.
size_t MimeFileTextSize(std::string_view file);

// The text of a message file (*text cleared first).
void MimeTextFromFile(std::string_view file, std::string *text);

// The message file of a text (*file cleared first).
void MimeFileFromText(std::string_view text, std::string *file);
