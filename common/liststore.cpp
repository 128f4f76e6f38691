// liststore: see liststore.h.
#include "common/liststore.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/loadcfig.h"
#include "common/rfc822parse.h"
#include "common/str.h"
#include "platform/ascii.h"
#include "platform/sysinfo.h"

namespace {

// The quoted form of a local part is at most twice as long plus its quotes;
// bounding DressUp there means the request address is never cut.
constexpr size_t kMaxRequestLocalPart = 2 * (kMaxListName + 8) + 2;

std::string ListKeyPath(std::string_view name) {
  return std::string(kListsKey) + "\\" + std::string(name);
}

// Opens the list key (or, with sub, the named key below it); a name that
// cannot be a list is refused before the registry sees it.
long OpenNamedList(std::string_view name, const char *sub, DWORD access, RegKey &key) {
  if (!IsListKeyName(name)) return ERROR_INVALID_PARAMETER;
  std::string path = ListKeyPath(name);
  if (sub != nullptr) path = path + "\\" + sub;
  return RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), access, key.out());
}

DWORD ReadDword(HKEY key, const char *name, DWORD fallback) {
  DWORD value = fallback;
  QueryRegDword(key, name, value);
  return value;
}

// A string value: missing, unreadable, too long or empty all read as "".
std::string ReadText(HKEY key, const char *name, size_t maxChars) {
  std::string value;
  if (!QueryRegString(key, name, maxChars, value)) value.clear();
  return value;
}

long WriteDword(HKEY key, const char *name, DWORD v) {
  return RegSetValueEx(key, name, REG_DWORD, &v, sizeof v);
}

// An empty string is stored as no value: the store reads both as none.
long WriteText(HKEY key, const char *name, const std::string &v) {
  if (v.empty()) {
    long rc = RegDeleteValue(key, name);
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
  }
  return RegSetValueEx(key, name, REG_SZ, v.c_str(), static_cast<DWORD>(v.size() + 1));
}

long BumpVersion(HKEY key) {
  DWORD v = 0;
  ReadListVersion(key, v);
  return WriteDword(key, kListVersionValue, v >= kMaxListCounter ? 1 : v + 1);
}

// The subkey names of key in the order the registry gives them. A name too
// long for maxChars is skipped (one odd key must not cut the list short);
// any other failure ends the walk with what was read.
std::vector<std::string> SubkeyNames(HKEY key, size_t maxChars) {
  std::vector<std::string> names;
  std::vector<char> name(maxChars + 1);
  for (DWORD index = 0;; ++index) {
    DWORD cch = static_cast<DWORD>(name.size());
    long rc = RegEnumKeyEx(key, index, name.data(), &cch);
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) break;
    names.emplace_back(name.data(), strnlen(name.data(), name.size()));
  }
  return names;
}

// The list's view of its stored values.
void ApplySettings(const StoredListSettings &s, _tListInfo &info) {
  info.BounceAction = s.BounceAction;
  info.BouncesTo = s.BouncesTo;
  info.Moderator = s.Moderator;
  // Moderator control without a moderator would send requests nowhere.
  if (!info.Moderator.empty()) {
    info.ModerateJoin = s.ModerateJoin;
    info.ModerateLeave = s.ModerateLeave;
  }
  info.WhoCanSend = s.WhoCanSend == 0 ? kWhoCanSendMembers : s.WhoCanSend;
  info.ReplyToList = s.ReplyToList;
  info.Domain = s.Domain;
  info.ConfirmRequests = s.ConfirmRequests;
}

// Reads the members below the list key, creating Members when missing. A
// failing enumeration keeps what was read; the list is still usable.
void ReadMembersInto(HKEY listKey, _tListInfo &info) {
  RegKey members;
  if (RegCreateKeyEx(listKey, kListMembersKey, KEY_ALL_ACCESS, members.out(), nullptr) !=
      ERROR_SUCCESS)
    return;
  for (std::string &name : SubkeyNames(members.get(), kMaxListMember))
    info.Members.push_back(_tMembers{std::move(name), false});
  info.MembersLoaded = true;
}

// ---- requests waiting for confirmation

constexpr const char *kPendingActionValue = "Action";
constexpr const char *kPendingAddressValue = "Address";
constexpr const char *kPendingCreatedValue = "Created";
// "JOIN" and "LEAVE".
constexpr size_t kMaxPendingAction = 5;
// Token names tried before a new request gives up (a clash is 2^-128).
constexpr int kTokenAttempts = 4;

long OpenPending(std::string_view list, bool create, RegKey &pending) {
  RegKey key;
  long rc = OpenNamedList(list, nullptr, KEY_ALL_ACCESS, key);
  if (rc != ERROR_SUCCESS) return rc;
  if (create)
    return RegCreateKeyEx(key.get(), kListPendingKey, KEY_ALL_ACCESS, pending.out(), nullptr);
  return RegOpenKeyEx(key.get(), kListPendingKey, KEY_ALL_ACCESS, pending.out());
}

// The request under token; false when it is unreadable or has expired.
bool ReadPending(HKEY pending, const std::string &token, long long now, PendingRequest &r) {
  RegKey key;
  DWORD created = 0;
  if (!IsListToken(token) ||
      RegOpenKeyEx(pending, token.c_str(), KEY_READ, key.out()) != ERROR_SUCCESS ||
      !QueryRegString(key.get(), kPendingActionValue, kMaxPendingAction, r.Action) ||
      !QueryRegString(key.get(), kPendingAddressValue, kMaxListMember, r.Address) ||
      !QueryRegDword(key.get(), kPendingCreatedValue, created))
    return false;
  r.Created = created;
  r.Token = token;
  // A request from the future was not made by this clock: gone too.
  return now >= r.Created && now - r.Created < kListTokenLifetimeSeconds;
}

// The live requests of the list; the dead ones are removed on the way.
std::vector<PendingRequest> LivePending(HKEY pending, long long now) {
  std::vector<PendingRequest> live;
  for (const std::string &token : SubkeyNames(pending, kMaxRegKeyNameLength)) {
    PendingRequest r;
    if (ReadPending(pending, token, now, r))
      live.push_back(std::move(r));
    else
      RegDeleteTree(pending, token.c_str());
  }
  return live;
}

bool NewToken(std::string &token) {
  unsigned char bytes[kListTokenLength / 2];
  if (!GetRandomBytes(bytes, sizeof bytes)) return false;
  static const char kHex[] = "0123456789abcdef";
  token.clear();
  for (unsigned char b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 15];
  }
  return true;
}

long WritePending(HKEY pending, PendingRequest &r) {
  for (int attempt = 0; attempt < kTokenAttempts; ++attempt) {
    if (!NewToken(r.Token)) return GetLastError();
    RegKey key;
    DWORD disposition = 0;
    long rc = RegCreateKeyEx(pending, r.Token.c_str(), KEY_ALL_ACCESS, key.out(), &disposition);
    if (rc != ERROR_SUCCESS) return rc;
    if (disposition != REG_CREATED_NEW_KEY) continue;
    rc = WriteText(key.get(), kPendingActionValue, r.Action);
    if (rc == ERROR_SUCCESS) rc = WriteText(key.get(), kPendingAddressValue, r.Address);
    if (rc == ERROR_SUCCESS)
      rc = WriteDword(key.get(), kPendingCreatedValue, static_cast<DWORD>(r.Created));
    return rc;
  }
  return ERROR_ALREADY_EXISTS;
}

// ---- journals per address and day

constexpr long long kSecondsPerDay = 24 * 3600;
// A stored count: the day in the high bits, the requests of that day in the
// low byte (which stops at its largest value).
constexpr unsigned kJournalDayShift = 8;
constexpr DWORD kJournalCountMask = (1u << kJournalDayShift) - 1;

struct DayCounts {
  size_t today = 0;    // addresses counted today
  bool found = false;  // the address is among them
  DWORD count = 0;     // its requests today
};

// The day's counts; those of other days (and anything unreadable) go.
DayCounts ReadJournalCounts(HKEY journals, DWORD day, std::string_view address) {
  DayCounts c;
  std::vector<std::string> stale;
  std::vector<char> name(kMaxListAddress + 1);
  for (DWORD index = 0;; ++index) {
    DWORD cch = static_cast<DWORD>(name.size()), type = 0, value = 0, cb = sizeof value;
    long rc = RegEnumValue(journals, index, name.data(), &cch, &type, &value, &cb);
    if (rc == ERROR_MORE_DATA) continue;   // no name this store writes
    if (rc != ERROR_SUCCESS) break;
    std::string_view entry(name.data(), strnlen(name.data(), name.size()));
    if (type != REG_DWORD || cb != sizeof value || value >> kJournalDayShift != day) {
      stale.emplace_back(entry);
      continue;
    }
    ++c.today;
    if (EqualsNoCase(entry, address)) {
      c.found = true;
      c.count = value & kJournalCountMask;
    }
  }
  for (const std::string &entry : stale) RegDeleteValue(journals, entry.c_str());
  return c;
}

JournalCount CountJournalIn(HKEY journals, const std::string &address, DWORD day) {
  JournalCount result;
  DayCounts c = ReadJournalCounts(journals, day, address);
  if (!c.found && c.today >= kMaxJournalAddresses) {
    result.StoreFull = true;
    return result;
  }
  result.Granted = c.count < kMaxJournalsPerDay;
  result.Report = c.count == kMaxJournalsPerDay;
  if (!c.found && c.today + 1 == kMaxJournalAddresses) result.Report = result.StoreFull = true;
  DWORD value = day << kJournalDayShift | std::min(c.count + 1, kJournalCountMask);
  if (RegSetValueEx(journals, address.c_str(), REG_DWORD, &value, sizeof value) != ERROR_SUCCESS)
    return JournalCount{true, false, false};
  return result;
}

}  // namespace

// ---- the agent's side

bool IsValidMailingList(std::string_view name) {
  RegKey key;
  return OpenNamedList(name, nullptr, KEY_READ, key) == ERROR_SUCCESS;
}

ListInfoPtr GetListExpansion(std::string_view name, bool withMembers, std::string_view hostName) {
  RegKey key;
  if (OpenNamedList(name, nullptr, KEY_READ, key) != ERROR_SUCCESS) return nullptr;
  auto info = std::make_unique<_tListInfo>();
  info->ListName = std::string(name);
  info->ConfigVersion = static_cast<int>(ReadDword(key.get(), kListVersionValue, 0));
  ApplySettings(ReadListSettings(key.get()), *info);
  if (withMembers) ReadMembersInto(key.get(), *info);
  if (info->Domain.empty()) info->Domain = BoundedCopy(hostName, kMaxListDomain);
  return info;
}

bool GetModeratorAddress(std::string_view name, std::string &moderator, bool &moderateJoin,
                         bool &moderateLeave, DWORD &whoCanSend) {
  ListInfoPtr info = GetListExpansion(name, false, "");
  if (!info) return false;
  moderator = info->Moderator;
  moderateJoin = info->ModerateJoin;
  moderateLeave = info->ModerateLeave;
  whoCanSend = info->WhoCanSend;
  return true;
}

bool AddToList(std::string_view list, std::string_view address, bool *newlyAdded) {
  if (newlyAdded != nullptr) *newlyAdded = false;
  long rc = IsMemberKeyName(address) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
  RegKey listKey;
  if (rc == ERROR_SUCCESS) rc = OpenNamedList(list, nullptr, KEY_ALL_ACCESS, listKey);
  bool added = false;
  if (rc == ERROR_SUCCESS) rc = AddListMembers(listKey.get(), address, added);
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return false;
  }
  if (newlyAdded != nullptr) *newlyAdded = added;
  return true;
}

bool RemoveFromList(std::string_view list, std::string_view address) {
  long rc = IsMemberKeyName(address) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
  RegKey listKey;
  if (rc == ERROR_SUCCESS) rc = OpenNamedList(list, nullptr, KEY_ALL_ACCESS, listKey);
  if (rc == ERROR_SUCCESS) rc = RemoveListMembers(listKey.get(), address);
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return false;
  }
  return true;
}

bool HasListMember(std::string_view name, std::string_view address) {
  RegKey members, member;
  return IsMemberKeyName(address) &&
         OpenNamedList(name, kListMembersKey, KEY_READ, members) == ERROR_SUCCESS &&
         RegOpenKeyEx(members.get(), std::string(address).c_str(), KEY_READ, member.out()) ==
             ERROR_SUCCESS;
}

bool IsListToken(std::string_view text) {
  if (text.size() != kListTokenLength) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

void ExpirePendingRequests(std::string_view list, long long now) {
  RegKey pending;
  if (OpenPending(list, false, pending) == ERROR_SUCCESS) LivePending(pending.get(), now);
}

bool FindPendingRequest(std::string_view list, std::string_view action, std::string_view address,
                        long long now, PendingRequest &found) {
  RegKey pending;
  if (OpenPending(list, false, pending) != ERROR_SUCCESS) return false;
  for (PendingRequest &r : LivePending(pending.get(), now)) {
    if (r.Action == action && EqualsNoCase(r.Address, address)) {
      found = std::move(r);
      return true;
    }
  }
  return false;
}

long AddPendingRequest(std::string_view list, PendingRequest &request, long long now) {
  if (!IsMemberKeyName(request.Address) || request.Action.size() > kMaxPendingAction)
    return ERROR_INVALID_PARAMETER;
  RegKey pending;
  long rc = OpenPending(list, true, pending);
  if (rc != ERROR_SUCCESS) return rc;
  if (LivePending(pending.get(), now).size() >= kMaxPendingRequests) return ERROR_MORE_DATA;
  request.Created = now;
  return WritePending(pending.get(), request);
}

long TakePendingRequest(std::string_view list, std::string_view token, long long now,
                        PendingRequest &taken) {
  RegKey pending;
  long rc = IsListToken(token) ? OpenPending(list, false, pending) : ERROR_FILE_NOT_FOUND;
  if (rc != ERROR_SUCCESS) return rc;
  std::string name(token);
  bool live = ReadPending(pending.get(), name, now, taken);
  rc = RegDeleteTree(pending.get(), name.c_str());
  if (!live) return ERROR_FILE_NOT_FOUND;
  return rc;
}

void DropPendingRequest(std::string_view list, std::string_view token) {
  RegKey pending;
  if (IsListToken(token) && OpenPending(list, false, pending) == ERROR_SUCCESS)
    RegDeleteTree(pending.get(), std::string(token).c_str());
}

JournalCount CountListJournal(std::string_view list, std::string_view address, long long now) {
  const JournalCount granted{true, false, false};
  if (address.empty() || address.size() > kMaxListAddress) return granted;
  RegTransaction tx(RegTransaction::kWrite);
  RegKey key, journals;
  if (OpenNamedList(list, nullptr, KEY_ALL_ACCESS, key) != ERROR_SUCCESS ||
      RegCreateKeyEx(key.get(), kListJournalsKey, KEY_ALL_ACCESS, journals.out(), nullptr) !=
          ERROR_SUCCESS)
    return granted;
  JournalCount result = CountJournalIn(journals.get(), LowerAsciiCopy(address),
                                       static_cast<DWORD>(now / kSecondsPerDay));
  return tx.Commit() == ERROR_SUCCESS ? result : granted;
}

bool IsListMember(const _tListInfo &info, std::string_view address) {
  return std::any_of(info.Members.begin(), info.Members.end(),
                     [&](const _tMembers &m) { return EqualsNoCase(m.Name, address); });
}

bool IsListModerator(std::string_view moderator, std::string_view address) {
  return !moderator.empty() && EqualsNoCase(moderator, address);
}

std::string CreateRequestAddress(std::string_view listName, std::string_view domain) {
  std::string local = std::string(listName.substr(0, kMaxListName)) + RequestPostfix;
  return DressUp(local, kMaxRequestLocalPart) + "@" + std::string(domain.substr(0, kMaxListDomain));
}

// ---- administration

long OpenListsKey(bool create, RegKey &lists) {
  if (create)
    return RegCreateKeyEx(HKEY_LOCAL_MACHINE, kListsKey, KEY_ALL_ACCESS, lists.out(), nullptr);
  return RegOpenKeyEx(HKEY_LOCAL_MACHINE, kListsKey, KEY_ALL_ACCESS, lists.out());
}

long OpenListKey(HKEY lists, const char *name, RegKey &list) {
  return RegOpenKeyEx(lists, name, KEY_ALL_ACCESS, list.out());
}

long CreateListKey(HKEY lists, const char *name, RegKey &list, bool &created) {
  DWORD disposition = 0;
  long rc = RegCreateKeyEx(lists, name, KEY_ALL_ACCESS, list.out(), &disposition);
  created = rc == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY;
  if (!created) return rc;
  RegKey members;
  return RegCreateKeyEx(list.get(), kListMembersKey, KEY_ALL_ACCESS, members.out(), nullptr);
}

long DeleteListKey(HKEY lists, const char *name) { return RegDeleteTree(lists, name); }

StoredListSettings ReadListSettings(HKEY list) {
  StoredListSettings s;
  s.Moderator = ReadText(list, kListModeratorValue, kMaxListAddress);
  s.BouncesTo = ReadText(list, kListBouncesToValue, kMaxListAddress);
  s.Domain = ReadText(list, kListDomainValue, kMaxListDomain);
  s.WhoCanSend = ReadDword(list, kListWhoCanSendValue, kWhoCanSendMembers);
  s.BounceAction = ReadDword(list, kListBounceActionValue, kBounceActionNone);
  s.ModerateJoin = ReadDword(list, kListControlJoinValue, 0) != 0;
  s.ModerateLeave = ReadDword(list, kListControlLeaveValue, 0) != 0;
  s.ReplyToList = ReadDword(list, kListReplyToListValue, 0) != 0;
  s.ConfirmRequests = ReadDword(list, kListConfirmRequestsValue, kListConfirmRequestsDefault) != 0;
  return s;
}

bool ReadListVersion(HKEY key, DWORD &version) {
  DWORD value = 0;
  if (!QueryRegDword(key, kListVersionValue, value)) return false;
  version = value;
  return true;
}

bool ListValueTooLong(HKEY list, const char *name, size_t maxChars) {
  std::string value;
  DWORD cb = 0;
  return !QueryRegString(list, name, maxChars, value) &&
         RegQueryValueEx(list, name, nullptr, nullptr, &cb) == ERROR_SUCCESS;
}

long WriteListSettings(HKEY list, const StoredListSettings &s, unsigned fields) {
  long rc = ERROR_SUCCESS;
  auto text = [&](unsigned field, const char *name, const std::string &v) {
    if (rc == ERROR_SUCCESS && (fields & field) != 0) rc = WriteText(list, name, v);
  };
  auto number = [&](unsigned field, const char *name, DWORD v) {
    if (rc == ERROR_SUCCESS && (fields & field) != 0) rc = WriteDword(list, name, v);
  };
  text(kListFieldModerator, kListModeratorValue, s.Moderator);
  text(kListFieldBouncesTo, kListBouncesToValue, s.BouncesTo);
  text(kListFieldDomain, kListDomainValue, s.Domain);
  number(kListFieldWhoCanSend, kListWhoCanSendValue, s.WhoCanSend);
  number(kListFieldBounceAction, kListBounceActionValue, s.BounceAction);
  number(kListFieldModerateJoin, kListControlJoinValue, s.ModerateJoin);
  number(kListFieldModerateLeave, kListControlLeaveValue, s.ModerateLeave);
  number(kListFieldReplyToList, kListReplyToListValue, s.ReplyToList);
  number(kListFieldConfirmRequests, kListConfirmRequestsValue, s.ConfirmRequests);
  return rc;
}

long BumpListVersions(HKEY lists, HKEY list) {
  long rc = list != nullptr ? BumpVersion(list) : ERROR_SUCCESS;
  return rc == ERROR_SUCCESS ? BumpVersion(lists) : rc;
}

long AddListMembers(HKEY list, std::string_view member, bool &added) {
  added = false;
  RegKey members, key;
  long rc = RegCreateKeyEx(list, kListMembersKey, KEY_ALL_ACCESS, members.out(), nullptr);
  DWORD disposition = 0;
  std::string name(member);
  if (rc == ERROR_SUCCESS)
    rc = RegCreateKeyEx(members.get(), name.c_str(), KEY_ALL_ACCESS, key.out(), &disposition);
  added = rc == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY;
  return rc;
}

long RemoveListMembers(HKEY list, std::string_view member) {
  RegKey members;
  long rc = RegOpenKeyEx(list, kListMembersKey, KEY_ALL_ACCESS, members.out());
  std::string name(member);
  // A member key has nothing below it; should someone have put something
  // there, the member still leaves.
  if (rc == ERROR_SUCCESS) rc = RegDeleteTree(members.get(), name.c_str());
  return rc;
}

std::vector<std::string> ReadListMembers(HKEY list) {
  RegKey members;
  if (RegOpenKeyEx(list, kListMembersKey, KEY_READ, members.out()) != ERROR_SUCCESS) return {};
  return SubkeyNames(members.get(), kMaxListMember);
}

std::vector<std::string> ReadListNames(HKEY lists) {
  return SubkeyNames(lists, kMaxRegKeyNameLength);
}
