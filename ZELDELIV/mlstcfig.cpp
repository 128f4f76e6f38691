// mlstcfig: see mlstcfig.h.
#include "ZELDELIV/mlstcfig.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "ZELDELIV/zeldeliv.h"
#include "common/loadcfig.h"
#include "common/rfc822parse.h"
#include "common/str.h"
#include "platform/registry.h"

namespace {

// The quoted form of a local part is at most twice as long plus its quotes;
// bounding DressUp there means the request address is never cut.
constexpr size_t kMaxRequestLocalPart = 2 * (kMaxListName + 8) + 2;

std::string ListKeyPath(std::string_view name) {
  return std::string(kListsKey) + "\\" + std::string(name);
}

// Opens the list key (or, with sub, the named key below it); a name that
// cannot be a list is refused before the registry sees it.
long OpenListKey(std::string_view name, const char *sub, DWORD access, RegKey &key) {
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

// An address value: missing, unreadable, too long or empty all read as "".
std::string ReadAddress(HKEY key, const char *name) {
  std::string value;
  if (!QueryRegString(key, name, kMaxListAddress, value)) value.clear();
  return value;
}

void ReadListSettings(HKEY key, _tListInfo &info) {
  info.ConfigVersion = static_cast<int>(ReadDword(key, kListVersionValue, 0));
  info.BounceAction = ReadDword(key, kListBounceActionValue, kBounceActionNone);
  info.BouncesTo = ReadAddress(key, kListBouncesToValue);
  info.Moderator = ReadAddress(key, kListModeratorValue);
  // Moderator control without a moderator would send requests nowhere.
  if (!info.Moderator.empty()) {
    info.ModerateJoin = ReadDword(key, kListControlJoinValue, 0) != 0;
    info.ModerateLeave = ReadDword(key, kListControlLeaveValue, 0) != 0;
  }
  info.WhoCanSend = ReadDword(key, kListWhoCanSendValue, kWhoCanSendMembers);
  if (info.WhoCanSend == 0) info.WhoCanSend = kWhoCanSendMembers;
  info.ReplyToList = ReadDword(key, kListReplyToListValue, 0) != 0;
  if (!QueryRegString(key, kListDomainValue, kMaxListDomain, info.Domain)) info.Domain.clear();
}

// Reads the members below the list key, creating Members when missing. A
// failing enumeration keeps what was read; the list is still usable.
void ReadListMembers(HKEY listKey, _tListInfo &info) {
  RegKey members;
  if (RegCreateKeyEx(listKey, kListMembersKey, KEY_ALL_ACCESS, members.out(), nullptr) !=
      ERROR_SUCCESS)
    return;
  char name[kMaxListMember + 1];
  for (DWORD index = 0;; ++index) {
    DWORD cch = sizeof name;
    long rc = RegEnumKeyEx(members.get(), index, name, &cch);
    if (rc == ERROR_MORE_DATA) continue;  // one odd key must not cut the list short
    if (rc != ERROR_SUCCESS) break;
    info.Members.push_back(_tMembers{std::string(name, strnlen(name, sizeof name)), false});
  }
  info.MembersLoaded = true;
}

}  // namespace

bool IsValidMailingList(std::string_view name) {
  RegKey key;
  return OpenListKey(name, nullptr, KEY_READ, key) == ERROR_SUCCESS;
}

ListInfoPtr GetListExpansion(std::string_view name, bool withMembers) {
  RegKey key;
  if (OpenListKey(name, nullptr, KEY_READ, key) != ERROR_SUCCESS) return nullptr;
  auto info = std::make_unique<_tListInfo>();
  info->ListName = std::string(name);
  ReadListSettings(key.get(), *info);
  if (withMembers) ReadListMembers(key.get(), *info);
  if (info->Domain.empty()) info->Domain = BoundedCopy(GetLocalHostName(-1), kMaxListDomain);
  return info;
}

bool GetModeratorAddress(std::string_view name, std::string &moderator, bool &moderateJoin,
                         bool &moderateLeave, DWORD &whoCanSend) {
  ListInfoPtr info = GetListExpansion(name, false);
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
  RegKey members;
  // A list made by hand has no Members key until something reads its
  // members: create it here, so a JOIN to a valid list never fails for it.
  RegKey listKey;
  if (rc == ERROR_SUCCESS) rc = OpenListKey(list, nullptr, KEY_ALL_ACCESS, listKey);
  if (rc == ERROR_SUCCESS)
    rc = RegCreateKeyEx(listKey.get(), kListMembersKey, KEY_ALL_ACCESS, members.out(), nullptr);
  RegKey member;
  DWORD disposition = 0;
  std::string name(address);
  if (rc == ERROR_SUCCESS)
    rc = RegCreateKeyEx(members.get(), name.c_str(), KEY_ALL_ACCESS, member.out(), &disposition);
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return false;
  }
  if (newlyAdded != nullptr) *newlyAdded = disposition == REG_CREATED_NEW_KEY;
  return true;
}

bool RemoveFromList(std::string_view list, std::string_view address) {
  long rc = IsMemberKeyName(address) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
  RegKey members;
  if (rc == ERROR_SUCCESS) rc = OpenListKey(list, kListMembersKey, KEY_ALL_ACCESS, members);
  std::string name(address);
  // A member key has nothing below it; should someone have put something
  // there, the member still leaves.
  if (rc == ERROR_SUCCESS) rc = RegDeleteTree(members.get(), name.c_str());
  if (rc != ERROR_SUCCESS) {
    SetLastError(rc);
    return false;
  }
  return true;
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
