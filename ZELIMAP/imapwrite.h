// imapwrite: the server's side of the IMAP grammar: tokens (atoms,
// numbers, NIL, strings as quoted strings or literals, mailbox names),
// lists (flags), sequence sets in their compact form, the shapes of the
// untagged responses, tagged replies with their response codes, and the
// capability list this server announces.
//
// Callers: the session's handlers, the greeting, and the command reader
// (its refusals). Every function appends to the caller's buffer and
// allocates nothing of its own (but a name converted for a rev1 session),
// so a FETCH of thousands of messages is formatted into one growing
// buffer. Text from anywhere (a header, a
// folder name, a client's words) goes through WriteString or
// WriteMailbox, which always produce a token the client reads back as
// the same bytes; WriteAtom and the shapes' `text` arguments are for the
// server's own words. Pure functions; thread-safe.
//
// Policy on strings: a quoted string carries only what every client
// reads safely: no CR, LF, NUL or double quote, no 8-bit byte in an
// IMAP4rev1 session, only UTF-8 in an IMAP4rev2 session (RFC 9051 allows
// it there), and at most kMaxQuotedString bytes; anything else is sent
// as a literal. A mailbox name is written in modified UTF-7 to a rev1
// session and as UTF-8 to a rev2 session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ZELIMAP/imapparseargs.h"
#include "ZELIMAP/imapparsecmds.h"
#include "ZELIMAP/imapparsefetch.h"
#include "ZELIMAP/imapparsesearch.h"

// Longer strings go as literals: a line a client must hold whole stays
// short.
inline constexpr size_t kMaxQuotedString = 4096;

// What this server announces, in both states, after the revisions and the
// logon capabilities (WriteCapabilities adds those and APPENDLIMIT).
inline constexpr std::string_view kImapCapabilities =
    "SASL-IR LITERAL+ ENABLE ID IDLE NAMESPACE UNSELECT UIDPLUS MOVE CHILDREN SPECIAL-USE "
    "LIST-EXTENDED LIST-STATUS ESEARCH SEARCHRES STATUS=SIZE BINARY CONDSTORE QRESYNC";

struct ImapCapabilityOptions {
  bool bLoggedOn = false;       // after logon: no STARTTLS, LOGINDISABLED or AUTH=
  bool bStartTls = false;       // in clear with a certificate loaded
  bool bLogonAllowed = true;    // false: LOGINDISABLED and no AUTH= (clear text refused)
  uint64_t AppendLimit = kDefaultAppendLimit;   // APPENDLIMIT=n
};
// The capability list alone (for "* CAPABILITY " and "[CAPABILITY ...]").
void WriteCapabilities(std::string &out, const ImapCapabilityOptions &options);

// Tokens.
void WriteAtom(std::string &out, std::string_view atom);
void WriteNumber(std::string &out, uint64_t n);
void WriteNil(std::string &out);
void WriteString(std::string &out, std::string_view text, bool rev2);
void WriteNString(std::string &out, std::string_view text, bool bNil, bool rev2);
// An atom when the text is one (ASTRING-CHARs only, not empty), else a
// string.
void WriteAstring(std::string &out, std::string_view text, bool rev2);
void WriteLiteral(std::string &out, std::string_view data);
// "{n}\r\n" or, for BINARY content that holds NUL, "~{n}\r\n": the n
// bytes follow separately (sendfile).
void WriteLiteralHead(std::string &out, uint64_t size, bool binary);
// A mailbox name (UTF-8). False, with nothing written, for a name no
// client could be sent (not UTF-8, a control character): leave it out.
bool WriteMailbox(std::string &out, std::string_view name, bool rev2);

// INTERNALDATE's date-time, quoted: "17-Jul-1996 02:44:25 -0700", the
// instant shown in its zone (minutes east, within a day either way), the
// year 1 to 9999.
void WriteDateTime(std::string &out, int64_t utcSeconds, int zoneMinutes);

// "(\Seen \Answered $Label)": the system flags, then the keywords (the
// folder index's space-separated list), then \Recent when set.
void WriteFlags(std::string &out, unsigned system, std::string_view keywords, bool recent);

// Sequence sets in compact form: "1:3,5,7:9". From ascending numbers
// (repeats allowed), or from normalised ranges. Nothing for none.
void WriteNumberSet(std::string &out, const uint32_t *sorted, size_t count);
void WriteRanges(std::string &out, const std::vector<ImapRange> &ranges);

// Lines.
// "<tag> <status> <text>\r\n"; an empty tag is "*".
void WriteTaggedReply(std::string &out, std::string_view tag, std::string_view status,
                      std::string_view text);
// "* <text>\r\n" and "+ <text>\r\n".
void WriteUntagged(std::string &out, std::string_view text);
void WriteContinuation(std::string &out, std::string_view text);
// "* <n> <what>\r\n": EXISTS, EXPUNGE, RECENT.
void WriteCounted(std::string &out, uint64_t n, std::string_view what);
// "* <seq> FETCH (" ... ")\r\n"; items between them separated by SP.
void WriteFetchBegin(std::string &out, uint32_t seq);
void WriteFetchEnd(std::string &out);
// The name a FETCH response gives an attribute's data: "UID",
// "BODY[1.HEADER.FIELDS (From To)]<0>" (.PEEK dropped, the partial's
// origin only), "BINARY.SIZE[2]".
void WriteFetchItemName(std::string &out, const ImapFetchAtt &att, bool rev2);
// "* VANISHED [(EARLIER) ]<uids>\r\n".
void WriteVanished(std::string &out, bool earlier, const std::vector<ImapRange> &uids);
// "* SEARCH n n n[ (MODSEQ m)]\r\n" (bModSeq with matches only).
void WriteSearch(std::string &out, const uint32_t *sorted, size_t count, bool bModSeq,
                 uint64_t highestModSeq);
// "* ESEARCH (TAG "t")[ UID] MIN MAX COUNT ALL [MODSEQ m]\r\n" for the
// options asked (ALL as a compact set); MIN, MAX and ALL only with matches.
void WriteEsearch(std::string &out, std::string_view tag, bool uid, const ImapSearchProgram &asked,
                  const uint32_t *sorted, size_t count, bool bModSeq, uint64_t highestModSeq);
// "* STATUS <name> (ITEM n ...)\r\n": values in the items' order. False,
// with nothing written, for a name WriteMailbox refuses; so for LIST.
bool WriteStatus(std::string &out, std::string_view name, bool rev2,
                 const std::vector<ImapStatusItem> &items, const uint64_t *values);
// "* <verb> (<attributes>) "/" <name>[ ("CHILDINFO" ("SUBSCRIBED"))]\r\n";
// verb LIST or LSUB, attributes the server's own ("\HasNoChildren \Sent").
bool WriteListLine(std::string &out, std::string_view verb, std::string_view attributes,
                   std::string_view name, bool rev2, bool childInfoSubscribed);
