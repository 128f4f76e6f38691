// listcmd: see listcmd.h.
#include "tools/zeladm/listcmd.h"


#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ZELDELIV/mlstcfig.h"
#include "platform/ascii.h"
#include "platform/registry.h"
#include "tools/zeladm/admcmd.h"

namespace {

// A counter is read back as a signed number where a negative one means
// missing; it restarts at 1 instead of growing into that range.
constexpr DWORD kMaxCounter = 0x7FFFFFFF;

// The settings of one list, as stored (Moderator etc. empty: none).
struct ListSettings {
  std::string moderator, bouncesTo, domain;
  DWORD whoCanSend = kWhoCanSendMembers;
  DWORD bounceAction = kBounceActionNone;
  bool moderateJoin = false, moderateLeave = false, replyToList = false;
};

// What a create or set command asks to change.
struct Changes {
  std::optional<std::string> moderator, bouncesTo, domain;
  std::optional<DWORD> whoCanSend, bounceAction;
  std::optional<bool> moderateJoin, moderateLeave, replyToList;
};

struct NamedValue {
  const char *name;
  DWORD value;
};
const NamedValue kWhoCanSendNames[] = {
    {"members", kWhoCanSendMembers}, {"anyone", kWhoCanSendAnyone},
    {"moderator", kWhoCanSendModerator}};
const NamedValue kBounceActionNames[] = {
    {"none", kBounceActionNone}, {"sender", kBounceActionSender},
    {"address", kBounceActionAddress}};

int Usage(const std::string &what) {
  std::fprintf(stderr, "zeladm: %s\n", what.c_str());
  return kAdmExitUsage;
}

int Failed(const std::string &what, long code) {
  std::fprintf(stderr, "zeladm: %s: %s\n", what.c_str(), AdmErrorText(code).c_str());
  return kAdmExitFailure;
}

// ---- checks of names and addresses --------------------------------------

bool IsAtomChar(unsigned char c) {
  return std::isalnum(c) != 0 || std::strchr("!#$%&'*+-=?^_`{|}~", c) != nullptr;
}

bool EndsWithRequest(std::string_view text) { return EndsWithNoCase(text, RequestPostfix); }

// A new list's name is a plain local part (no quoting, dots only between
// characters), since it is the list's address and names its spool directories.
bool CheckNewListName(std::string_view name, std::string &why) {
  if (name.empty() || name.size() > kMaxListName) {
    why = "must have 1 to " + std::to_string(kMaxListName) + " characters";
    return false;
  }
  for (size_t i = 0; i < name.size(); ++i) {
    bool innerDot = name[i] == '.' && i > 0 && i + 1 < name.size() && name[i - 1] != '.';
    if (innerDot || IsAtomChar(static_cast<unsigned char>(name[i]))) continue;
    why = "may hold only letters, digits, !#$%&'*+-=?^_`{|}~ and single dots inside";
    return false;
  }
  // Mail to NAME-request goes to the list server of list NAME.
  if (EndsWithRequest(name)) {
    why = "must not end with \"-request\" (the list server's address of another list)";
    return false;
  }
  return true;
}

bool CheckListName(std::string_view name) {
  if (IsListKeyName(name)) return true;
  std::fprintf(stderr, "zeladm: \"%s\" cannot be a list name\n", AdmPrintable(name).c_str());
  return false;
}

// A domain: letters, digits, "-" and inner dots, or a bracketed literal.
bool IsDomainText(std::string_view d) {
  if (d.size() >= 2 && d.front() == '[' && d.back() == ']') {
    std::string_view in = d.substr(1, d.size() - 2);
    return !in.empty() && in.find_first_of("[]\\") == std::string_view::npos;
  }
  if (d.empty() || d.front() == '.' || d.back() == '.' || d.find("..") != std::string_view::npos)
    return false;
  for (unsigned char c : d)
    if (std::isalnum(c) == 0 && c != '-' && c != '.') return false;
  return true;
}

// A local part: a quoted string, or atoms and dots (no "," or other
// specials, which would make it a list of addresses or a route).
bool IsLocalPartText(std::string_view l) {
  if (l.size() >= 2 && l.front() == '"' && l.back() == '"') return true;
  for (unsigned char c : l)
    if (!IsAtomChar(c) && c != '.') return false;
  return !l.empty();
}

// An address: LOCAL or LOCAL@DOMAIN (an address without domain is a local
// user, as the list server accepts it), no blanks or control characters.
bool CheckAddress(const char *label, std::string_view a, size_t maxChars) {
  std::string why;
  size_t at = a.rfind('@');
  if (a.empty() || a.size() > maxChars)
    why = "must have 1 to " + std::to_string(maxChars) + " characters";
  for (unsigned char c : a)
    if (why.empty() && (c <= 0x20 || c == 0x7F))
      why = "must not contain blanks or control characters";
  if (why.empty() && (!IsLocalPartText(a.substr(0, at)) ||
                      (at != std::string_view::npos && !IsDomainText(a.substr(at + 1)))))
    why = "is not a valid email address";
  if (why.empty()) return true;
  std::fprintf(stderr, "zeladm: %s \"%s\" %s\n", label, AdmPrintable(a).c_str(), why.c_str());
  return false;
}

// A member address in the form the list server stores it: domain in lower
// case. False (with a message) when it cannot be a member.
bool MemberForm(std::string_view a, std::string &member) {
  if (!CheckAddress("member address", a, kMaxListMember)) return false;
  size_t at = a.rfind('@');
  const char *why = nullptr;
  if (!IsMemberKeyName(a))
    why = "cannot be stored (a member address has at most 255 characters and no \"\\\")";
  else if (EndsWithRequest(a.substr(0, at)))
    why = "is a list server's address (\"-request\"), which cannot be a list member";
  if (why != nullptr) {
    std::fprintf(stderr, "zeladm: member address \"%s\" %s\n", AdmPrintable(a).c_str(), why);
    return false;
  }
  member = std::string(a);
  for (size_t i = at == std::string_view::npos ? member.size() : at; i < member.size(); ++i)
    member[i] = LowerAscii(member[i]);
  return true;
}

// ---- options -------------------------------------------------------------

bool Lookup(const char *option, const char *value, const NamedValue (&table)[3], DWORD &out) {
  for (const NamedValue &n : table)
    if (EqualsNoCase(value, n.name)) return out = n.value, true;
  std::fprintf(stderr, "zeladm: %s must be %s, %s or %s\n", option, table[0].name, table[1].name,
               table[2].name);
  return false;
}

struct OptionSpec {
  const char *name;
  bool takesValue;
  bool (*apply)(const char *value, Changes &c);
};

const OptionSpec kOptions[] = {
    {"--moderator", true,
     [](const char *v, Changes &c) {
       c.moderator = v;
       return !*v || CheckAddress("moderator", v, kMaxListAddress);
     }},
    {"--no-moderator", false, [](const char *, Changes &c) { return c.moderator = "", true; }},
    {"--who-can-send", true,
     [](const char *v, Changes &c) {
       DWORD n = 0;
       return Lookup("--who-can-send", v, kWhoCanSendNames, n) && (c.whoCanSend = n, true);
     }},
    {"--bounce-action", true,
     [](const char *v, Changes &c) {
       DWORD n = 0;
       return Lookup("--bounce-action", v, kBounceActionNames, n) && (c.bounceAction = n, true);
     }},
    {"--bounces-to", true,
     [](const char *v, Changes &c) {
       c.bouncesTo = v;
       return !*v || CheckAddress("bounce address", v, kMaxListAddress);
     }},
    {"--no-bounces-to", false, [](const char *, Changes &c) { return c.bouncesTo = "", true; }},
    {"--domain", true,
     [](const char *v, Changes &c) {
       c.domain = v;
       if (!*v || (std::strlen(v) <= kMaxListDomain && IsDomainText(v))) return true;
       std::fprintf(stderr, "zeladm: domain \"%s\" is not a valid domain name (at most %zu "
                    "characters)\n", AdmPrintable(v).c_str(), kMaxListDomain);
       return false;
     }},
    {"--no-domain", false, [](const char *, Changes &c) { return c.domain = "", true; }},
    {"--reply-to-list", false, [](const char *, Changes &c) { return c.replyToList = true, true; }},
    {"--no-reply-to-list", false,
     [](const char *, Changes &c) { return c.replyToList = false, true; }},
    {"--moderate-join", false,
     [](const char *, Changes &c) { return c.moderateJoin = true, true; }},
    {"--no-moderate-join", false,
     [](const char *, Changes &c) { return c.moderateJoin = false, true; }},
    {"--moderate-leave", false,
     [](const char *, Changes &c) { return c.moderateLeave = true, true; }},
    {"--no-moderate-leave", false,
     [](const char *, Changes &c) { return c.moderateLeave = false, true; }},
};

bool ParseOptions(int argc, char **argv, int first, Changes &c) {
  for (int i = first; i < argc; ++i) {
    const OptionSpec *spec = nullptr;
    for (const OptionSpec &s : kOptions)
      if (std::strcmp(argv[i], s.name) == 0) spec = &s;
    if (spec == nullptr) {
      std::fprintf(stderr, "zeladm: unknown option \"%s\"\n", AdmPrintable(argv[i]).c_str());
      return false;
    }
    if (spec->takesValue && i + 1 >= argc) {
      std::fprintf(stderr, "zeladm: %s needs a value\n", spec->name);
      return false;
    }
    if (!spec->apply(spec->takesValue ? argv[++i] : nullptr, c)) return false;
  }
  return true;
}

void Apply(const Changes &c, ListSettings &s) {
  if (c.moderator) s.moderator = *c.moderator;
  if (c.bouncesTo) s.bouncesTo = *c.bouncesTo;
  if (c.domain) s.domain = *c.domain;
  if (c.whoCanSend) s.whoCanSend = *c.whoCanSend;
  if (c.bounceAction) s.bounceAction = *c.bounceAction;
  if (c.moderateJoin) s.moderateJoin = *c.moderateJoin;
  if (c.moderateLeave) s.moderateLeave = *c.moderateLeave;
  if (c.replyToList) s.replyToList = *c.replyToList;
}

// Settings that would silently not work are refused, with the way out.
bool CheckCombination(const ListSettings &s) {
  const char *problem = nullptr;
  if (s.moderator.empty() && s.whoCanSend == kWhoCanSendModerator)
    problem = "--who-can-send moderator needs a moderator (--moderator ADDR)";
  else if (s.moderator.empty() && (s.moderateJoin || s.moderateLeave))
    problem = "--moderate-join and --moderate-leave need a moderator (--moderator ADDR)";
  else if (s.bouncesTo.empty() && s.bounceAction == kBounceActionAddress)
    problem = "--bounce-action address needs --bounces-to ADDR";
  if (problem == nullptr) return true;
  std::fprintf(stderr, "zeladm: %s\n", problem);
  return false;
}

// ---- registry ------------------------------------------------------------

// A string value: nullopt when absent, unreadable or longer than maxChars.
std::optional<std::string> ReadString(HKEY key, const char *name, size_t maxChars) {
  std::vector<char> buf(maxChars + 1, '\0');
  DWORD cb = static_cast<DWORD>(buf.size());
  if (RegQueryValueEx(key, name, nullptr, buf.data(), &cb) != ERROR_SUCCESS) return std::nullopt;
  buf.back() = '\0';
  return std::string(buf.data(), strnlen(buf.data(), cb));
}

std::optional<DWORD> ReadDword(HKEY key, const char *name) {
  DWORD v = 0, cb = sizeof v;
  if (RegQueryValueEx(key, name, nullptr, &v, &cb) != ERROR_SUCCESS || cb != sizeof v)
    return std::nullopt;
  return v;
}

ListSettings ReadSettings(HKEY key) {
  ListSettings s;
  s.moderator = ReadString(key, kListModeratorValue, kMaxListAddress).value_or("");
  s.bouncesTo = ReadString(key, kListBouncesToValue, kMaxListAddress).value_or("");
  s.domain = ReadString(key, kListDomainValue, kMaxListDomain).value_or("");
  s.whoCanSend = ReadDword(key, kListWhoCanSendValue).value_or(kWhoCanSendMembers);
  s.bounceAction = ReadDword(key, kListBounceActionValue).value_or(kBounceActionNone);
  s.moderateJoin = ReadDword(key, kListControlJoinValue).value_or(0) != 0;
  s.moderateLeave = ReadDword(key, kListControlLeaveValue).value_or(0) != 0;
  s.replyToList = ReadDword(key, kListReplyToListValue).value_or(0) != 0;
  return s;
}

long WriteDword(HKEY key, const char *name, DWORD v) {
  return RegSetValueEx(key, name, REG_DWORD, &v, sizeof v);
}

// An empty string is stored as no value: the store reads both as none.
long WriteString(HKEY key, const char *name, const std::string &v) {
  if (v.empty()) {
    long rc = RegDeleteValue(key, name);
    return rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
  }
  return RegSetValueEx(key, name, REG_SZ, v.c_str(), static_cast<DWORD>(v.size() + 1));
}

// Writes the values that changes names (all of them for a new list).
long WriteChanges(HKEY key, const Changes &c, const ListSettings &s, bool all) {
  long rc = ERROR_SUCCESS;
  auto str = [&](bool given, const char *name, const std::string &v) {
    if (rc == ERROR_SUCCESS && (all || given)) rc = WriteString(key, name, v);
  };
  auto num = [&](bool given, const char *name, DWORD v) {
    if (rc == ERROR_SUCCESS && (all || given)) rc = WriteDword(key, name, v);
  };
  str(c.moderator.has_value(), kListModeratorValue, s.moderator);
  str(c.bouncesTo.has_value(), kListBouncesToValue, s.bouncesTo);
  str(c.domain.has_value(), kListDomainValue, s.domain);
  num(c.whoCanSend.has_value(), kListWhoCanSendValue, s.whoCanSend);
  num(c.bounceAction.has_value(), kListBounceActionValue, s.bounceAction);
  num(c.moderateJoin.has_value(), kListControlJoinValue, s.moderateJoin);
  num(c.moderateLeave.has_value(), kListControlLeaveValue, s.moderateLeave);
  num(c.replyToList.has_value(), kListReplyToListValue, s.replyToList);
  return rc;
}

long BumpCounter(HKEY key) {
  DWORD v = ReadDword(key, kListVersionValue).value_or(0);
  return WriteDword(key, kListVersionValue, v >= kMaxCounter ? 1 : v + 1);
}

// After a change to one list: its counter and the counter of all lists.
long BumpCounters(HKEY lists, HKEY list) {
  long rc = list != nullptr ? BumpCounter(list) : ERROR_SUCCESS;
  return rc == ERROR_SUCCESS ? BumpCounter(lists) : rc;
}

long OpenLists(bool create, RegKey &lists) {
  if (create)
    return RegCreateKeyEx(HKEY_LOCAL_MACHINE, kListsKey, KEY_ALL_ACCESS, lists.out(), nullptr);
  return RegOpenKeyEx(HKEY_LOCAL_MACHINE, kListsKey, KEY_ALL_ACCESS, lists.out());
}

// Opens the Lists key and the named list; prints why not.
bool OpenList(const char *name, RegKey &lists, RegKey &list) {
  long rc = OpenLists(false, lists);
  if (rc == ERROR_SUCCESS) rc = RegOpenKeyEx(lists.get(), name, KEY_ALL_ACCESS, list.out());
  if (rc == ERROR_FILE_NOT_FOUND)
    std::fprintf(stderr, "zeladm: there is no mailing list called %s\n", AdmPrintable(name).c_str());
  else if (rc != ERROR_SUCCESS)
    Failed(std::string("cannot open list ") + AdmPrintable(name), rc);
  return rc == ERROR_SUCCESS;
}

// A command's changes as one transaction: commit when work succeeded.
template <typename Work>
int InTransaction(Work work) {
  RegTransaction tx(RegTransaction::kWrite);
  if (tx.Status() != ERROR_SUCCESS) return Failed("cannot open the registry", tx.Status());
  int status = work();
  if (status != kAdmExitOk) return status;
  long rc = tx.Commit();
  return rc == ERROR_SUCCESS ? kAdmExitOk : Failed("cannot save the change", rc);
}

// ---- commands ------------------------------------------------------------

int RunCreate(int argc, char **argv) {
  std::string why;
  if (!CheckNewListName(argv[1], why))
    return Usage("list name \"" + AdmPrintable(argv[1]) + "\" " + why);
  Changes c;
  ListSettings s;
  if (!ParseOptions(argc, argv, 2, c)) return kAdmExitUsage;
  Apply(c, s);
  if (!CheckCombination(s)) return kAdmExitUsage;
  return InTransaction([&] {
    RegKey lists, list, members;
    DWORD disposition = 0;
    long rc = OpenLists(true, lists);
    if (rc == ERROR_SUCCESS)
      rc = RegCreateKeyEx(lists.get(), argv[1], KEY_ALL_ACCESS, list.out(), &disposition);
    if (rc == ERROR_SUCCESS && disposition != REG_CREATED_NEW_KEY) {
      std::fprintf(stderr, "zeladm: list %s exists (change it with 'zeladm list set')\n",
                   RegKeyPath(list.get()).substr(std::strlen(kListsKey) + 1).c_str());
      return kAdmExitFailure;
    }
    // Members at once, so that JOIN works before the first list pass.
    if (rc == ERROR_SUCCESS)
      rc = RegCreateKeyEx(list.get(), kListMembersKey, KEY_ALL_ACCESS, members.out(), nullptr);
    if (rc == ERROR_SUCCESS) rc = WriteChanges(list.get(), c, s, true);
    if (rc == ERROR_SUCCESS) rc = BumpCounters(lists.get(), list.get());
    return rc == ERROR_SUCCESS ? kAdmExitOk : Failed("cannot create the list", rc);
  });
}

int RunSet(int argc, char **argv) {
  Changes c;
  if (!CheckListName(argv[1]) || !ParseOptions(argc, argv, 2, c)) return kAdmExitUsage;
  return InTransaction([&] {
    RegKey lists, list;
    if (!OpenList(argv[1], lists, list)) return kAdmExitFailure;
    ListSettings s = ReadSettings(list.get());
    Apply(c, s);
    if (!CheckCombination(s)) return kAdmExitUsage;
    long rc = WriteChanges(list.get(), c, s, false);
    if (rc == ERROR_SUCCESS) rc = BumpCounters(lists.get(), list.get());
    return rc == ERROR_SUCCESS ? kAdmExitOk : Failed("cannot change the list", rc);
  });
}

int RunAddMember(int argc, char **argv) {
  std::string member;
  if (!CheckListName(argv[1]) || !MemberForm(argv[2], member)) return kAdmExitUsage;
  return InTransaction([&] {
    RegKey lists, list, key;
    if (!OpenList(argv[1], lists, list)) return kAdmExitFailure;
    DWORD disposition = 0;
    std::string path = std::string(kListMembersKey) + "\\" + member;
    long rc = RegCreateKeyEx(list.get(), path.c_str(), KEY_ALL_ACCESS, key.out(), &disposition);
    if (rc != ERROR_SUCCESS) return Failed("cannot add " + AdmPrintable(member), rc);
    if (disposition != REG_CREATED_NEW_KEY) {
      std::printf("%s is already a member of %s\n", AdmPrintable(member).c_str(), argv[1]);
      return kAdmExitOk;
    }
    rc = BumpCounters(lists.get(), list.get());
    return rc == ERROR_SUCCESS ? kAdmExitOk : Failed("cannot add " + AdmPrintable(member), rc);
  });
}

int RunDelMember(int argc, char **argv) {
  // Any stored member can be removed, also one the add checks would refuse.
  std::string_view a = argv[2];
  if (!CheckListName(argv[1])) return kAdmExitUsage;
  if (!IsMemberKeyName(a)) return Usage("\"" + AdmPrintable(a) + "\" cannot be a member address");
  return InTransaction([&] {
    RegKey lists, list, members;
    if (!OpenList(argv[1], lists, list)) return kAdmExitFailure;
    long rc = RegOpenKeyEx(list.get(), kListMembersKey, KEY_ALL_ACCESS, members.out());
    if (rc == ERROR_SUCCESS) rc = RegDeleteTree(members.get(), argv[2]);
    if (rc == ERROR_FILE_NOT_FOUND) {
      std::fprintf(stderr, "zeladm: %s is not a member of %s\n", AdmPrintable(a).c_str(), argv[1]);
      return kAdmExitFailure;
    }
    if (rc == ERROR_SUCCESS) rc = BumpCounters(lists.get(), list.get());
    return rc == ERROR_SUCCESS ? kAdmExitOk : Failed("cannot remove " + AdmPrintable(a), rc);
  });
}

int RunDelete(int argc, char **argv) {
  if (!CheckListName(argv[1])) return kAdmExitUsage;
  return InTransaction([&] {
    RegKey lists, list;
    if (!OpenList(argv[1], lists, list)) return kAdmExitFailure;
    list.Close();
    long rc = RegDeleteTree(lists.get(), argv[1]);
    if (rc == ERROR_SUCCESS) rc = BumpCounters(lists.get(), nullptr);
    return rc == ERROR_SUCCESS ? kAdmExitOk : Failed("cannot delete the list", rc);
  });
}

// ---- show ----------------------------------------------------------------

const char *NameOf(const NamedValue (&table)[3], DWORD v) {
  for (const NamedValue &n : table)
    if (n.value == v) return n.name;
  return nullptr;
}

std::string YesNo(bool flag, bool effective) {
  if (!flag) return "no";
  return effective ? "yes" : "yes (no effect without a moderator)";
}

std::string StringShown(HKEY key, const char *name, size_t maxChars, const char *none) {
  std::optional<std::string> v = ReadString(key, name, maxChars);
  if (v && !v->empty()) return AdmPrintable(*v);
  DWORD cb = 0;
  if (!v && RegQueryValueEx(key, name, nullptr, nullptr, &cb) == ERROR_SUCCESS)
    return std::string(none) + " (the stored value is too long and is ignored)";
  return none;
}

void ShowSettings(HKEY key) {
  ListSettings s = ReadSettings(key);
  DWORD who = s.whoCanSend == 0 ? kWhoCanSendMembers : s.whoCanSend;
  const char *whoName = NameOf(kWhoCanSendNames, who);
  const char *bounceName = NameOf(kBounceActionNames, s.bounceAction);
  std::optional<DWORD> version = ReadDword(key, kListVersionValue);
  bool moderated = !s.moderator.empty();
  std::printf("  moderator:       %s\n",
              StringShown(key, kListModeratorValue, kMaxListAddress, "(none)").c_str());
  std::printf("  moderate join:   %s\n", YesNo(s.moderateJoin, moderated).c_str());
  std::printf("  moderate leave:  %s\n", YesNo(s.moderateLeave, moderated).c_str());
  std::printf("  who can send:    %s (%u)\n",
              whoName ? whoName : "members (unknown value: rejections give no reason)",
              s.whoCanSend);
  std::printf("  bounce action:   %s (%u)\n", bounceName ? bounceName : "none", s.bounceAction);
  std::printf("  bounces to:      %s\n",
              StringShown(key, kListBouncesToValue, kMaxListAddress, "(none)").c_str());
  std::printf("  reply to list:   %s\n", s.replyToList ? "yes" : "no");
  std::printf("  domain:          %s\n",
              StringShown(key, kListDomainValue, kMaxListDomain, "(the local host name)").c_str());
  std::printf("  config version:  %s\n",
              version ? std::to_string(*version).c_str() : "(none)");
}

void ShowMembers(HKEY list) {
  RegKey members;
  std::vector<std::string> names;
  if (RegOpenKeyEx(list, kListMembersKey, KEY_READ, members.out()) == ERROR_SUCCESS) {
    char name[kMaxRegKeyNameLength + 1];
    DWORD cch = sizeof name;
    for (DWORD i = 0; RegEnumKeyEx(members.get(), i, name, &cch) == ERROR_SUCCESS;
         ++i, cch = sizeof name)
      names.emplace_back(name, strnlen(name, sizeof name));
  }
  std::printf("  members:         %zu\n", names.size());
  for (const std::string &n : names) std::printf("    %s\n", AdmPrintable(n).c_str());
}

void ShowList(HKEY list) {
  std::string path = RegKeyPath(list);
  std::printf("list %s\n", AdmPrintable(path.substr(path.rfind('\\') + 1)).c_str());
  ShowSettings(list);
  ShowMembers(list);
}

int ShowAll(HKEY lists) {
  char name[kMaxRegKeyNameLength + 1];
  DWORD cch = sizeof name;
  int shown = 0;
  for (DWORD i = 0; RegEnumKeyEx(lists, i, name, &cch) == ERROR_SUCCESS; ++i, cch = sizeof name) {
    RegKey list;
    if (RegOpenKeyEx(lists, name, KEY_READ, list.out()) != ERROR_SUCCESS) continue;
    if (shown++ > 0) std::printf("\n");
    ShowList(list.get());
  }
  if (shown == 0) std::printf("no mailing lists\n");
  return kAdmExitOk;
}

int RunShow(int argc, char **argv) {
  if (argc > 1 && !CheckListName(argv[1])) return kAdmExitUsage;
  RegTransaction snapshot(RegTransaction::kRead);  // one consistent view
  RegKey lists, list;
  long rc = OpenLists(false, lists);
  if (rc == ERROR_FILE_NOT_FOUND && argc == 1) {
    std::printf("no mailing lists\n");
    return kAdmExitOk;
  }
  if (argc == 1) return rc == ERROR_SUCCESS ? ShowAll(lists.get()) : Failed("cannot read", rc);
  if (!OpenList(argv[1], lists, list)) return kAdmExitFailure;
  ShowList(list.get());
  return kAdmExitOk;
}

const char kSettingOptions[] =
    "change a list's settings; OPTIONS are\n"
    "        --moderator ADDR | --no-moderator, --who-can-send members|anyone|moderator,\n"
    "        --bounce-action none|sender|address, --bounces-to ADDR | --no-bounces-to,\n"
    "        --domain D | --no-domain (the local host name), and the flags\n"
    "        --reply-to-list, --moderate-join, --moderate-leave and their --no-... forms";

const AdmCommand kListCommands[] = {
    {"create", "NAME [OPTIONS]", "create a list (OPTIONS as for set)", 1, -1, RunCreate},
    {"set", "NAME OPTIONS", kSettingOptions, 2, -1, RunSet},
    {"show", "[NAME]", "show a list's settings and members, or all lists", 0, 1, RunShow},
    {"add-member", "NAME ADDRESS", "add a member to a list", 2, 2, RunAddMember},
    {"del-member", "NAME ADDRESS", "remove a member from a list", 2, 2, RunDelMember},
    {"delete", "NAME", "delete a list with its members", 1, 1, RunDelete},
};

}  // namespace

int RunListCommand(int argc, char **argv) {
  return DispatchAdmCommand("zeladm list", kListCommands, argc - 1, argv + 1);
}
