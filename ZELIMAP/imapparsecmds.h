// imapparsecmds: the arguments of IMAP commands other than FETCH
// (imapparsefetch) and SEARCH (imapparsesearch): LOGIN, AUTHENTICATE,
// ENABLE, ID, SELECT and EXAMINE (CONDSTORE, QRESYNC), the commands that
// take one mailbox or two (CREATE, DELETE, RENAME, SUBSCRIBE,
// UNSUBSCRIBE), LIST (LIST-EXTENDED, LIST-STATUS, SPECIAL-USE) and LSUB,
// STATUS, APPEND, STORE (CONDSTORE), COPY and MOVE, UID EXPUNGE. Commands
// without arguments only check ImapCommandView::bHasArgs.
//
// Callers: the session's command handlers, with the Args of a command from
// the reader and whether the session is in IMAP4rev2 (names in UTF-8, the
// rev2 grammar) or rev1 (names in modified UTF-7). Untrusted input: all of
// it. Each parser takes the whole argument text and fails on anything
// left over; the failure is the reply's status and text (imapparseargs).
// Pure functions; thread-safe.
//
// Policy: an option or parameter this server does not know is refused
// with BAD (LIST-EXTENDED and RFC 4466 ask for that), as is one given
// twice. Where the server offers no extension for a form (CREATE's
// parameters, MULTIAPPEND) the form is refused plainly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ZELIMAP/imapparse.h"
#include "ZELIMAP/imapparseargs.h"

// ID: RFC 2971's bounds on what a client sends.
inline constexpr size_t kMaxIdPairs = 30;
inline constexpr size_t kMaxIdField = 30;
inline constexpr size_t kMaxIdValue = 1024;
// ENABLE's capabilities and LIST's patterns in one command: far more than
// any client names.
inline constexpr size_t kMaxEnableNames = 32;
inline constexpr size_t kMaxListPatterns = 32;

struct ImapLoginArgs {
  std::string User;
  std::string Password;    // the caller wipes it when done
};
bool ParseLogin(std::string_view args, ImapLoginArgs &out, ImapError &error);

struct ImapAuthenticateArgs {
  std::string Mechanism;   // upper case
  bool bInitial = false;   // SASL-IR: an initial response came
  std::string Initial;     // as sent: base64, or "=" for an empty one
};
bool ParseAuthenticate(std::string_view args, ImapAuthenticateArgs &out, ImapError &error);

// ENABLE: the capability names, upper case, at least one.
bool ParseEnable(std::string_view args, std::vector<std::string> &names, ImapError &error);

// ID: the client's field and value pairs ("NIL" gives none; a NIL value
// is an empty value with bNil).
struct ImapIdPair {
  std::string Field;
  std::string Value;
  bool bNil = false;
};
bool ParseId(std::string_view args, std::vector<ImapIdPair> &pairs, ImapError &error);

struct ImapSelectArgs {
  std::string Mailbox;
  bool bCondstore = false;
  bool bQresync = false;           // QRESYNC's values below
  uint32_t UidValidity = 0;
  uint64_t ModSeq = 0;
  bool bKnownUids = false;
  ImapSeqSet KnownUids;
  bool bSeqMatch = false;          // seq-match-data
  ImapSeqSet MatchSeqs, MatchUids;
};
bool ParseSelect(std::string_view args, bool rev2, ImapSelectArgs &out, ImapError &error);

// DELETE, SUBSCRIBE, UNSUBSCRIBE, and CREATE (no parameters).
bool ParseMailboxArg(std::string_view args, bool rev2, std::string &mailbox, ImapError &error);
// RENAME.
bool ParseRename(std::string_view args, bool rev2, std::string &from, std::string &to,
                 ImapError &error);

// STATUS items, and LIST's RETURN (STATUS (...)).
enum class ImapStatusItem : uint8_t {
  kMessages,
  kUidNext,
  kUidValidity,
  kUnseen,
  kDeleted,
  kSize,
  kRecent,          // IMAP4rev1 only
  kHighestModSeq,
  kAppendLimit,
};
std::string_view StatusItemName(ImapStatusItem item);
struct ImapStatusArgs {
  std::string Mailbox;
  std::vector<ImapStatusItem> Items;   // in the client's order, each once
};
bool ParseStatus(std::string_view args, bool rev2, ImapStatusArgs &out, ImapError &error);

struct ImapListArgs {
  bool bExtended = false;          // options or a pattern list were given
  // Selection options.
  bool bSelSubscribed = false, bSelRemote = false, bSelRecursiveMatch = false,
       bSelSpecialUse = false;
  std::string Reference;
  std::vector<std::string> Patterns;   // one at least; may be "" (the delimiter query)
  // Return options.
  bool bRetSubscribed = false, bRetChildren = false, bRetSpecialUse = false, bRetStatus = false;
  std::vector<ImapStatusItem> StatusItems;
};
bool ParseList(std::string_view args, bool rev2, ImapListArgs &out, ImapError &error);
// LSUB reference pattern.
bool ParseLsub(std::string_view args, bool rev2, ImapListArgs &out, ImapError &error);

// APPEND's mailbox, flags and date from the command as the reader gave it
// (at kAppendMessage or at kCommand): a message literal must have come,
// and nothing may follow it (no MULTIAPPEND).
struct ImapAppendArgs {
  std::string Mailbox;
  ImapFlags Flags;
  bool bHasDate = false;
  int64_t Date = 0;                // seconds since 1970 UTC
  int ZoneMinutes = 0;
};
bool ParseAppend(const ImapCommandView &cmd, bool rev2, ImapAppendArgs &out, ImapError &error);

struct ImapStoreArgs {
  ImapSeqSet Set;
  enum Mode { kReplace, kAdd, kRemove } How = kReplace;
  bool bSilent = false;
  ImapFlags Flags;
  bool bUnchangedSince = false;    // CONDSTORE
  uint64_t UnchangedSince = 0;
};
bool ParseStore(std::string_view args, ImapStoreArgs &out, ImapError &error);

// COPY and MOVE.
bool ParseCopy(std::string_view args, bool rev2, ImapSeqSet &set, std::string &mailbox,
               ImapError &error);
// UID EXPUNGE.
bool ParseSeqSetArg(std::string_view args, ImapSeqSet &set, ImapError &error);

// The end of every parser: the scanner's error into the caller's.
bool ScanResult(ImapScanner &s, ImapError &error);
