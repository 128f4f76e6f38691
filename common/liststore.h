// liststore: the mailing list store, one registry key per list under
// Software\TALVO\ZEL\Lists, with the list's settings as values, its
// members as subkeys of "Members" (one empty key per member address), the
// joins and leaves that wait for confirmation as subkeys of "Pending"
// (one key per token, with the values Action, Address and Created), and
// the list server's journals of the day in "Journals" (one REG_DWORD per
// address: the day times 256 plus the requests counted that day). The one
// reader and writer of that layout.
//
// Callers: the delivery agent's list delivery and list server
// (ZELDELIV/maillist, listcmds) read lists and, for JOIN and LEAVE, add and
// remove members (the routines under "the agent's side"); zeladm's "list"
// commands create, change and delete lists and their members and bump the
// "ConfigVersion" counters (the routines under "administration"). Nothing
// is cached: every call reads the registry afresh, so an administrator's
// change counts at once.
//
// Untrusted input: list names and member addresses come from mail (recipient
// local parts, JOIN and LEAVE arguments) and from zeladm's command line. A
// name that cannot be a single key name (empty, too long, holding "\" which
// would reach into nested keys, or a control character; for a list also
// "/", ".", "..", since the list name names spool directories too) is never
// a list and never a member; adding or removing it fails with
// ERROR_INVALID_PARAMETER and touches nothing. Stored values are read
// through bounded buffers; longer ones count as absent.
//
// Thread-safety: no state of its own; the registry is thread-safe. Failures
// are return values: registry error numbers for the administration
// routines (the caller groups one command's calls in a RegTransaction);
// AddToList and RemoveFromList leave the registry's error number in the
// thread's last error (GetLastError) for the caller's reply.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/registry.h"

// Record bounds of the list store, in characters (without a terminator).
constexpr size_t kMaxListName = 128;         // a list name (its key name)
constexpr size_t kMaxListMember = 260;       // a member address (its key name)
constexpr size_t kMaxListAddress = 512;      // Moderator and BouncesTo
constexpr size_t kMaxListDomain = 256;       // the list's mail domain

// The key of all lists below HKEY_LOCAL_MACHINE, its name below the suite
// key (for its "ConfigVersion"), and the members' subkey of a list.
constexpr const char *kListsKey = "Software\\TALVO\\ZEL\\Lists";
constexpr const char *kListsSubkey = "Lists";
constexpr const char *kListMembersKey = "Members";
constexpr const char *kListPendingKey = "Pending";
constexpr const char *kListJournalsKey = "Journals";

// The list request address's suffix and the values of a list key.
constexpr const char *RequestPostfix = "-request";
constexpr const char *kListModeratorValue = "Moderator";
constexpr const char *kListControlJoinValue = "ModeratorControlJoin";
constexpr const char *kListControlLeaveValue = "ModeratorControlLeave";
constexpr const char *kListWhoCanSendValue = "WhoCanSend";
constexpr const char *kListBounceActionValue = "BounceAction";
constexpr const char *kListBouncesToValue = "BouncesTo";
constexpr const char *kListReplyToListValue = "ReplyToList";
constexpr const char *kListDomainValue = "Domain";
constexpr const char *kListVersionValue = "ConfigVersion";
// Non-zero: a JOIN or LEAVE by mail waits until the address confirms it.
// A list without the value confirms too (only an explicit 0, zeladm's
// --no-confirm, makes joins and leaves act at once): a list made by hand
// must not let anyone subscribe a stranger.
constexpr const char *kListConfirmRequestsValue = "ConfirmRequests";
constexpr DWORD kListConfirmRequestsDefault = 1;

// WhoCanSend: who may post (0 and absent read as members; other values are
// kept as stored and treated like members, with a different notice).
constexpr DWORD kWhoCanSendMembers = 1;
constexpr DWORD kWhoCanSendAnyone = 2;
constexpr DWORD kWhoCanSendModerator = 3;

// BounceAction: the return path of list copies (other values act as none).
constexpr DWORD kBounceActionNone = 0;
constexpr DWORD kBounceActionSender = 1;
constexpr DWORD kBounceActionAddress = 2;

// One member: the address as its key is named (at most kMaxListMember).
struct _tMembers {
  std::string Name;
  bool Changed = false;  // not used by the delivery agent
};

// One list as read by GetListExpansion. Moderator, BouncesTo: empty = none.
struct _tListInfo {
  std::string ListName;         // as the caller named it, at most kMaxListName
  int ListType = 0;             // always 0
  int ConfigVersion = 0;        // the list's counter, 0 when absent
  bool MembersLoaded = false;   // Members was read
  std::vector<_tMembers> Members;  // in the order the registry enumerates them
  std::string Moderator;
  std::string BouncesTo;
  DWORD BounceAction = kBounceActionNone;
  bool ModerateJoin = false;    // only ever set when there is a moderator
  bool ModerateLeave = false;
  DWORD WhoCanSend = kWhoCanSendMembers;
  bool ReplyToList = false;
  std::string Domain;           // the Domain value, else the reader's host name
  bool ConfirmRequests = kListConfirmRequestsDefault != 0;  // joins and leaves wait
  bool Changed = false;         // not used by the delivery agent
};
using ListInfoPtr = std::unique_ptr<_tListInfo>;

// The values of one list key as stored: strings missing, unreadable or too
// long read as "" (none), numbers missing as their defaults; nothing else
// is interpreted (WhoCanSend 0 stays 0, the moderator flags are read
// without a moderator). The list's view of them is _tListInfo's.
struct StoredListSettings {
  std::string Moderator, BouncesTo, Domain;
  DWORD WhoCanSend = kWhoCanSendMembers;
  DWORD BounceAction = kBounceActionNone;
  bool ModerateJoin = false, ModerateLeave = false, ReplyToList = false;
  bool ConfirmRequests = kListConfirmRequestsDefault != 0;
};

// The values of a list key, one bit each, for WriteListSettings.
constexpr unsigned kListFieldModerator = 1u << 0;
constexpr unsigned kListFieldBouncesTo = 1u << 1;
constexpr unsigned kListFieldDomain = 1u << 2;
constexpr unsigned kListFieldWhoCanSend = 1u << 3;
constexpr unsigned kListFieldBounceAction = 1u << 4;
constexpr unsigned kListFieldModerateJoin = 1u << 5;
constexpr unsigned kListFieldModerateLeave = 1u << 6;
constexpr unsigned kListFieldReplyToList = 1u << 7;
constexpr unsigned kListFieldConfirmRequests = 1u << 8;
constexpr unsigned kListFieldsAll = (1u << 9) - 1;

// A ConfigVersion counter is read back as a signed number where a negative
// one means missing; it restarts at 1 instead of growing into that range.
constexpr DWORD kMaxListCounter = 0x7FFFFFFF;

// True when name can be one key name of the store: 1..maxChars characters
// (and within the registry's own limit), no "\" (it would reach into nested
// keys) and no control character (a key nobody could type or see).
inline bool IsStoreKeyName(std::string_view name, size_t maxChars) {
  if (name.empty() || name.size() > maxChars || name.size() > kMaxRegKeyNameLength) return false;
  for (char c : name) {
    auto u = static_cast<unsigned char>(c);
    if (c == '\\' || u < 0x20 || u == 0x7f) return false;
  }
  return true;
}
// A list name: a store key name of at most kMaxListName characters that can
// also name the list's spool directories (no "/", not "." or "..").
inline bool IsListKeyName(std::string_view name) {
  return IsStoreKeyName(name, kMaxListName) && name.find('/') == std::string_view::npos &&
         name != "." && name != "..";
}
// A member address: a store key name of at most kMaxListMember characters,
// which the registry's key name limit (255) cuts further.
inline bool IsMemberKeyName(std::string_view address) {
  return IsStoreKeyName(address, kMaxListMember);
}

// ---- the agent's side

// True when the list's key exists (and name is a valid list name).
bool IsValidMailingList(std::string_view name);

// The list's settings, and with withMembers its members too (the Members key
// is created when missing, which is what lets JOIN add to a new list); null
// when there is no such list. A member read that fails part-way keeps the
// members read so far. A list without a Domain of its own gets hostName
// (the delivery agent passes its local host name).
ListInfoPtr GetListExpansion(std::string_view name, bool withMembers, std::string_view hostName);
// Releases a list read by GetListExpansion (the pointer is null afterwards).
inline void FreeListInfo(ListInfoPtr &info) { info.reset(); }

// The settings the list server needs: false when there is no such list; else
// true with the moderator ("" when none), the join and leave control flags
// (false without a moderator) and WhoCanSend (absent or 0: 1).
bool GetModeratorAddress(std::string_view name, std::string &moderator, bool &moderateJoin,
                         bool &moderateLeave, DWORD &whoCanSend);

// Adds address as a member of list, creating the list's Members key when it
// is missing (a list made by hand has none until its members are first
// read). False when the addition failed, with the error number in
// GetLastError (ERROR_FILE_NOT_FOUND: no list; ERROR_INVALID_PARAMETER: not
// a valid list or member name). True: with *newlyAdded (may be null) true
// when added, false when already a member. The counters are not bumped.
bool AddToList(std::string_view list, std::string_view address, bool *newlyAdded);

// Removes address from list: true when removed; false when it was no member
// or the removal failed (error number in GetLastError).
bool RemoveFromList(std::string_view list, std::string_view address);

// True when address is a member of the list name (ASCII case ignored), read
// afresh without reading every member.
bool HasListMember(std::string_view name, std::string_view address);

// ---- requests waiting for confirmation (the agent's side)

// A token: 128 random bits in lower-case hex.
constexpr size_t kListTokenLength = 32;
// A token expires this long after it was made.
constexpr long long kListTokenLifetimeSeconds = 7LL * 24 * 3600;
// Requests one list keeps waiting at once; more are refused until some are
// confirmed or expire (a flood of requests cannot grow the store).
constexpr size_t kMaxPendingRequests = 1000;

struct PendingRequest {
  std::string Action;     // "JOIN" or "LEAVE"
  std::string Address;    // the address to add or remove, as it will be stored
  long long Created = 0;  // seconds since 1970
  std::string Token;
};

// True when text has the form of a token.
bool IsListToken(std::string_view text);
// Removes the list's requests older than the lifetime; every call below
// does this first.
void ExpirePendingRequests(std::string_view list, long long now);
// The list's waiting request for action and address, if there is one.
bool FindPendingRequest(std::string_view list, std::string_view action, std::string_view address,
                        long long now, PendingRequest &found);
// Stores request under a new token (request.Token). ERROR_SUCCESS, or
// ERROR_MORE_DATA when kMaxPendingRequests wait already, or the registry's
// or the random source's error.
long AddPendingRequest(std::string_view list, PendingRequest &request, long long now);
// Removes a request by its token (a token of another list, unknown or
// expired: ERROR_FILE_NOT_FOUND). Inside the caller's RegTransaction, so
// that the request goes only with the change it asked for.
long TakePendingRequest(std::string_view list, std::string_view token, long long now,
                        PendingRequest &taken);
// Removes the request of that token, if it is there.
void DropPendingRequest(std::string_view list, std::string_view token);

// ---- journals per address and day (the agent's side)

// Journals one address gets from one list in a day (UTC): a request with a
// forged Reply-To must not make the list server mail someone without end.
constexpr DWORD kMaxJournalsPerDay = 10;
// Addresses one list counts in a day: the store stays this small however
// many addresses requests are forged from; a request from one more address
// that day is dropped.
constexpr size_t kMaxJournalAddresses = 1000;

struct JournalCount {
  bool Granted = false;    // counted: the request is answered
  bool Report = false;     // worth an event: the address's first refusal of
                           // the day, or the day's store has just filled up
  bool StoreFull = false;  // what Report (or the refusal) is about is the store
};
// Counts one request answered to address (ASCII case ignored) on the day of
// now, durably, before its journal goes; counts of earlier days go. A store
// that cannot be read or written grants: the count guards against a flood,
// it must not silence the list server.
JournalCount CountListJournal(std::string_view list, std::string_view address, long long now);

// True when address equals a member of info (ASCII case ignored).
bool IsListMember(const _tListInfo &info, std::string_view address);
// True when a moderator is set and equals address (ASCII case ignored).
bool IsListModerator(std::string_view moderator, std::string_view address);

// The list request address: listName + "-request", quoted when it needs it
// (DressUp), "@" and domain. Never cut (the bounds above keep it short).
std::string CreateRequestAddress(std::string_view listName, std::string_view domain);

// ---- administration (zeladm): registry error numbers; names are the
// caller's to check (IsListKeyName, IsMemberKeyName) before they get here.

// Opens the Lists key; with create, makes it when missing.
long OpenListsKey(bool create, RegKey &lists);
// Opens the list name below lists.
long OpenListKey(HKEY lists, const char *name, RegKey &list);
// Makes the list name below lists with its Members key (so that JOIN works
// before the first list pass). created is false when the list existed; it
// is then left open in list and nothing else is made.
long CreateListKey(HKEY lists, const char *name, RegKey &list, bool &created);
// Deletes the list name with its members.
long DeleteListKey(HKEY lists, const char *name);

// The values of a list key as stored, and its ConfigVersion (none: false).
StoredListSettings ReadListSettings(HKEY list);
bool ReadListVersion(HKEY key, DWORD &version);
// True when the string value name is stored but cannot be read within
// maxChars characters (the store then reads it as none).
bool ListValueTooLong(HKEY list, const char *name, size_t maxChars);
// Writes the values of s named in fields (kListField... bits), in the
// order of the bits; an empty string is stored as no value.
long WriteListSettings(HKEY list, const StoredListSettings &s, unsigned fields);
// After a change to one list: its ConfigVersion (list may be null, for a
// deleted list) and that of Lists, each one up.
long BumpListVersions(HKEY lists, HKEY list);

// Adds member below list (Members made when missing); added tells whether
// the member is new. AddToList's work once the list is open.
long AddListMembers(HKEY list, std::string_view member, bool &added);
// Removes member from list (ERROR_FILE_NOT_FOUND: no such member, or no
// Members key). RemoveFromList's work once the list is open.
long RemoveListMembers(HKEY list, std::string_view member);
// The member addresses of list, in the order the registry enumerates them
// (none when it has no Members key).
std::vector<std::string> ReadListMembers(HKEY list);
// The names of the lists below lists, in the order the registry gives them.
std::vector<std::string> ReadListNames(HKEY lists);
