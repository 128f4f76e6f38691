// listcmd: see listcmd.h.
#include "tools/zeladm/listcmd.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/liststore.h"
#include "platform/ascii.h"
#include "platform/registry.h"
#include "tools/zeladm/admcmd.h"

namespace {

// What a create or set command asks to change.
struct Changes {
  std::optional<std::string> moderator, bouncesTo, domain;
  std::optional<DWORD> whoCanSend, bounceAction;
  std::optional<bool> moderateJoin, moderateLeave, replyToList, confirmRequests;
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
    {"--confirm", false, [](const char *, Changes &c) { return c.confirmRequests = true, true; }},
    {"--no-confirm", false,
     [](const char *, Changes &c) { return c.confirmRequests = false, true; }},
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

void Apply(const Changes &c, StoredListSettings &s) {
  if (c.moderator) s.Moderator = *c.moderator;
  if (c.bouncesTo) s.BouncesTo = *c.bouncesTo;
  if (c.domain) s.Domain = *c.domain;
  if (c.whoCanSend) s.WhoCanSend = *c.whoCanSend;
  if (c.bounceAction) s.BounceAction = *c.bounceAction;
  if (c.moderateJoin) s.ModerateJoin = *c.moderateJoin;
  if (c.moderateLeave) s.ModerateLeave = *c.moderateLeave;
  if (c.replyToList) s.ReplyToList = *c.replyToList;
  if (c.confirmRequests) s.ConfirmRequests = *c.confirmRequests;
}

// The values a command names (kListField... bits).
unsigned ChangedFields(const Changes &c) {
  return (c.moderator ? kListFieldModerator : 0) | (c.bouncesTo ? kListFieldBouncesTo : 0) |
         (c.domain ? kListFieldDomain : 0) | (c.whoCanSend ? kListFieldWhoCanSend : 0) |
         (c.bounceAction ? kListFieldBounceAction : 0) |
         (c.moderateJoin ? kListFieldModerateJoin : 0) |
         (c.moderateLeave ? kListFieldModerateLeave : 0) |
         (c.replyToList ? kListFieldReplyToList : 0) |
         (c.confirmRequests ? kListFieldConfirmRequests : 0);
}

// Settings that would silently not work are refused, with the way out.
bool CheckCombination(const StoredListSettings &s) {
  const char *problem = nullptr;
  if (s.Moderator.empty() && s.WhoCanSend == kWhoCanSendModerator)
    problem = "--who-can-send moderator needs a moderator (--moderator ADDR)";
  else if (s.Moderator.empty() && (s.ModerateJoin || s.ModerateLeave))
    problem = "--moderate-join and --moderate-leave need a moderator (--moderator ADDR)";
  else if (s.BouncesTo.empty() && s.BounceAction == kBounceActionAddress)
    problem = "--bounce-action address needs --bounces-to ADDR";
  if (problem == nullptr) return true;
  std::fprintf(stderr, "zeladm: %s\n", problem);
  return false;
}

// ---- registry ------------------------------------------------------------

// Opens the Lists key and the named list; prints why not.
bool OpenList(const char *name, RegKey &lists, RegKey &list) {
  long rc = OpenListsKey(false, lists);
  if (rc == ERROR_SUCCESS) rc = OpenListKey(lists.get(), name, list);
  if (rc == ERROR_FILE_NOT_FOUND)
    std::fprintf(stderr, "zeladm: there is no mailing list called %s\n", AdmPrintable(name).c_str());
  else if (rc != ERROR_SUCCESS)
    AdmFailed(std::string("cannot open list ") + AdmPrintable(name), rc);
  return rc == ERROR_SUCCESS;
}

// A command's changes as one transaction: commit when work succeeded.
template <typename Work>
int InTransaction(Work work) {
  RegTransaction tx(RegTransaction::kWrite);
  if (tx.Status() != ERROR_SUCCESS) return AdmFailed("cannot open the registry", tx.Status());
  int status = work();
  if (status != kAdmExitOk) return status;
  long rc = tx.Commit();
  return rc == ERROR_SUCCESS ? kAdmExitOk : AdmFailed("cannot save the change", rc);
}

// ---- commands ------------------------------------------------------------

int RunCreate(int argc, char **argv) {
  std::string why;
  if (!CheckNewListName(argv[1], why))
    return AdmUsage("list name \"" + AdmPrintable(argv[1]) + "\" " + why);
  Changes c;
  // A new list confirms joins and leaves by mail unless told otherwise;
  // the value is stored either way (StoredListSettings' defaults).
  StoredListSettings s;
  if (!ParseOptions(argc, argv, 2, c)) return kAdmExitUsage;
  Apply(c, s);
  if (!CheckCombination(s)) return kAdmExitUsage;
  return InTransaction([&] {
    RegKey lists, list;
    bool created = false;
    long rc = OpenListsKey(true, lists);
    if (rc == ERROR_SUCCESS) rc = CreateListKey(lists.get(), argv[1], list, created);
    if (rc == ERROR_SUCCESS && !created) {
      std::fprintf(stderr, "zeladm: list %s exists (change it with 'zeladm list set')\n",
                   RegKeyPath(list.get()).substr(std::strlen(kListsKey) + 1).c_str());
      return kAdmExitFailure;
    }
    if (rc == ERROR_SUCCESS) rc = WriteListSettings(list.get(), s, kListFieldsAll);
    if (rc == ERROR_SUCCESS) rc = BumpListVersions(lists.get(), list.get());
    return rc == ERROR_SUCCESS ? kAdmExitOk : AdmFailed("cannot create the list", rc);
  });
}

int RunSet(int argc, char **argv) {
  Changes c;
  if (!CheckListName(argv[1]) || !ParseOptions(argc, argv, 2, c)) return kAdmExitUsage;
  return InTransaction([&] {
    RegKey lists, list;
    if (!OpenList(argv[1], lists, list)) return kAdmExitFailure;
    StoredListSettings s = ReadListSettings(list.get());
    Apply(c, s);
    if (!CheckCombination(s)) return kAdmExitUsage;
    long rc = WriteListSettings(list.get(), s, ChangedFields(c));
    if (rc == ERROR_SUCCESS) rc = BumpListVersions(lists.get(), list.get());
    return rc == ERROR_SUCCESS ? kAdmExitOk : AdmFailed("cannot change the list", rc);
  });
}

int RunAddMember(int argc, char **argv) {
  std::string member;
  if (!CheckListName(argv[1]) || !MemberForm(argv[2], member)) return kAdmExitUsage;
  return InTransaction([&] {
    RegKey lists, list;
    if (!OpenList(argv[1], lists, list)) return kAdmExitFailure;
    bool added = false;
    long rc = AddListMembers(list.get(), member, added);
    if (rc != ERROR_SUCCESS) return AdmFailed("cannot add " + AdmPrintable(member), rc);
    if (!added) {
      std::printf("%s is already a member of %s\n", AdmPrintable(member).c_str(), argv[1]);
      return kAdmExitOk;
    }
    rc = BumpListVersions(lists.get(), list.get());
    return rc == ERROR_SUCCESS ? kAdmExitOk : AdmFailed("cannot add " + AdmPrintable(member), rc);
  });
}

int RunDelMember(int argc, char **argv) {
  // Any stored member can be removed, also one the add checks would refuse.
  std::string_view a = argv[2];
  if (!CheckListName(argv[1])) return kAdmExitUsage;
  if (!IsMemberKeyName(a)) return AdmUsage("\"" + AdmPrintable(a) + "\" cannot be a member address");
  return InTransaction([&] {
    RegKey lists, list;
    if (!OpenList(argv[1], lists, list)) return kAdmExitFailure;
    long rc = RemoveListMembers(list.get(), a);
    if (rc == ERROR_FILE_NOT_FOUND) {
      std::fprintf(stderr, "zeladm: %s is not a member of %s\n", AdmPrintable(a).c_str(), argv[1]);
      return kAdmExitFailure;
    }
    if (rc == ERROR_SUCCESS) rc = BumpListVersions(lists.get(), list.get());
    return rc == ERROR_SUCCESS ? kAdmExitOk : AdmFailed("cannot remove " + AdmPrintable(a), rc);
  });
}

int RunDelete(int argc, char **argv) {
  if (!CheckListName(argv[1])) return kAdmExitUsage;
  return InTransaction([&] {
    RegKey lists, list;
    if (!OpenList(argv[1], lists, list)) return kAdmExitFailure;
    list.Close();
    long rc = DeleteListKey(lists.get(), argv[1]);
    if (rc == ERROR_SUCCESS) rc = BumpListVersions(lists.get(), nullptr);
    return rc == ERROR_SUCCESS ? kAdmExitOk : AdmFailed("cannot delete the list", rc);
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

// A stored string as shown; one the store ignores for its length says so.
std::string StringShown(HKEY key, const std::string &value, const char *name, size_t maxChars,
                        const char *none) {
  if (!value.empty()) return AdmPrintable(value);
  if (ListValueTooLong(key, name, maxChars))
    return std::string(none) + " (the stored value is too long and is ignored)";
  return none;
}

void ShowSettings(HKEY key) {
  StoredListSettings s = ReadListSettings(key);
  DWORD who = s.WhoCanSend == 0 ? kWhoCanSendMembers : s.WhoCanSend;
  const char *whoName = NameOf(kWhoCanSendNames, who);
  const char *bounceName = NameOf(kBounceActionNames, s.BounceAction);
  DWORD version = 0;
  bool versioned = ReadListVersion(key, version);
  bool moderated = !s.Moderator.empty();
  std::printf("  moderator:       %s\n",
              StringShown(key, s.Moderator, kListModeratorValue, kMaxListAddress, "(none)").c_str());
  std::printf("  moderate join:   %s\n", YesNo(s.ModerateJoin, moderated).c_str());
  std::printf("  moderate leave:  %s\n", YesNo(s.ModerateLeave, moderated).c_str());
  std::printf("  who can send:    %s (%u)\n",
              whoName ? whoName : "members (unknown value: rejections give no reason)",
              s.WhoCanSend);
  std::printf("  bounce action:   %s (%u)\n", bounceName ? bounceName : "none", s.BounceAction);
  std::printf("  bounces to:      %s\n",
              StringShown(key, s.BouncesTo, kListBouncesToValue, kMaxListAddress, "(none)").c_str());
  std::printf("  reply to list:   %s\n", s.ReplyToList ? "yes" : "no");
  std::printf("  confirm:         %s\n", s.ConfirmRequests ? "yes" : "no");
  std::printf("  domain:          %s\n",
              StringShown(key, s.Domain, kListDomainValue, kMaxListDomain, "(the local host name)")
                  .c_str());
  std::printf("  config version:  %s\n",
              versioned ? std::to_string(version).c_str() : "(none)");
}

void ShowMembers(HKEY list) {
  std::vector<std::string> names = ReadListMembers(list);
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
  int shown = 0;
  for (const std::string &name : ReadListNames(lists)) {
    RegKey list;
    if (RegOpenKeyEx(lists, name.c_str(), KEY_READ, list.out()) != ERROR_SUCCESS) continue;
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
  long rc = OpenListsKey(false, lists);
  if (rc == ERROR_FILE_NOT_FOUND && argc == 1) {
    std::printf("no mailing lists\n");
    return kAdmExitOk;
  }
  if (argc == 1) return rc == ERROR_SUCCESS ? ShowAll(lists.get()) : AdmFailed("cannot read", rc);
  if (!OpenList(argv[1], lists, list)) return kAdmExitFailure;
  ShowList(list.get());
  return kAdmExitOk;
}

const char kSettingOptions[] =
    "change a list's settings; OPTIONS are\n"
    "        --moderator ADDR | --no-moderator, --who-can-send members|anyone|moderator,\n"
    "        --bounce-action none|sender|address, --bounces-to ADDR | --no-bounces-to,\n"
    "        --domain D | --no-domain (the local host name), and the flags\n"
    "        --reply-to-list, --moderate-join, --moderate-leave, --confirm (joins and\n"
    "        leaves by mail wait for the address to confirm them; on unless a list\n"
    "        has --no-confirm) and their --no-... forms";

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
