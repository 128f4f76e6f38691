// The list store: how stored values read (defaults, empty and overlong
// strings, moderator control without a moderator, the domain fallback), the
// outcomes of adding and removing members, names from mail that must not
// reach nested keys, and that what `zeladm list` writes is what the store
// reads.
#include "common/liststore.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "platform/registry.h"
#include "tools/zeladm/listcmd.h"

namespace {

constexpr const char *kThisHost = "lists-host.example.test";

class ListStore : public ::testing::Test {
 protected:
  void SetUp() override {
    RegDeleteTree(HKEY_LOCAL_MACHINE, kListsKey);
  }
  void TearDown() override { RegDeleteTree(HKEY_LOCAL_MACHINE, kListsKey); }

  using Value = std::variant<DWORD, std::string>;
  struct Setting {
    const char *name;
    Value value;
  };

  static void MakeList(const std::string &name, const std::vector<Setting> &values = {}) {
    RegKey key;
    std::string path = std::string(kListsKey) + "\\" + name;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS, key.out(), nullptr),
              ERROR_SUCCESS);
    for (const Setting &s : values) {
      if (const DWORD *d = std::get_if<DWORD>(&s.value)) {
        RegSetValueEx(key.get(), s.name, REG_DWORD, d, sizeof *d);
      } else {
        const std::string &v = std::get<std::string>(s.value);
        RegSetValueEx(key.get(), s.name, REG_SZ, v.c_str(), static_cast<DWORD>(v.size() + 1));
      }
    }
  }

  static bool KeyExists(const std::string &below) {
    RegKey key;
    std::string path = std::string(kListsKey) + "\\" + below;
    return RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), KEY_READ, key.out()) == ERROR_SUCCESS;
  }

  static std::vector<std::string> Names(const _tListInfo &info) {
    std::vector<std::string> out;
    for (const _tMembers &m : info.Members) out.push_back(m.Name);
    return out;
  }
};

TEST_F(ListStore, SettingsReadWithTheirDefaults) {
  const std::string at512 = std::string(500, 'm') + "@example.org";
  const std::string at513 = "x" + at512;
  struct Expect {
    std::string moderator = "", bouncesTo = "", domain = kThisHost;
    DWORD who = kWhoCanSendMembers, bounce = kBounceActionNone;
    bool join = false, leave = false, replyTo = false, confirm = true;
    int version = 0;
  };
  struct Case {
    const char *what;
    std::vector<Setting> values;
    Expect want;
  } cases[] = {
      {"nothing stored", {}, {}},
      {"WhoCanSend 0 reads as members", {{kListWhoCanSendValue, DWORD{0}}}, {}},
      {"WhoCanSend anyone", {{kListWhoCanSendValue, DWORD{2}}}, {.who = 2}},
      {"WhoCanSend unknown kept", {{kListWhoCanSendValue, DWORD{7}}}, {.who = 7}},
      {"control without moderator",
       {{kListControlJoinValue, DWORD{1}}, {kListControlLeaveValue, DWORD{1}}}, {}},
      {"control with empty moderator",
       {{kListModeratorValue, std::string()}, {kListControlJoinValue, DWORD{1}}}, {}},
      {"control with moderator",
       {{kListModeratorValue, std::string("Mod@Example.org")},
        {kListControlJoinValue, DWORD{1}}, {kListControlLeaveValue, DWORD{9}}},
       {.moderator = "Mod@Example.org", .join = true, .leave = true}},
      {"moderator at its limit", {{kListModeratorValue, at512}}, {.moderator = at512}},
      {"moderator beyond its limit is none", {{kListModeratorValue, at513}}, {}},
      {"empty BouncesTo is none",
       {{kListBouncesToValue, std::string()}, {kListBounceActionValue, DWORD{2}}},
       {.bounce = 2}},
      {"BouncesTo", {{kListBouncesToValue, std::string("b@x.org")}}, {.bouncesTo = "b@x.org"}},
      {"empty Domain is the host", {{kListDomainValue, std::string()}}, {}},
      {"Domain", {{kListDomainValue, std::string("lists.example.org")}},
       {.domain = "lists.example.org"}},
      {"Domain beyond its limit is the host",
       {{kListDomainValue, std::string(kMaxListDomain + 1, 'd')}}, {}},
      {"flags and version",
       {{kListReplyToListValue, DWORD{1}}, {kListVersionValue, DWORD{5}}},
       {.replyTo = true, .version = 5}},
      {"joins and leaves act at once only when told so",
       {{kListConfirmRequestsValue, DWORD{0}}}, {.confirm = false}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    RegDeleteTree(HKEY_LOCAL_MACHINE, kListsKey);
    MakeList("team", c.values);
    ListInfoPtr info = GetListExpansion("team", false, kThisHost);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->Moderator, c.want.moderator);
    EXPECT_EQ(info->BouncesTo, c.want.bouncesTo);
    EXPECT_EQ(info->Domain, c.want.domain);
    EXPECT_EQ(info->WhoCanSend, c.want.who);
    EXPECT_EQ(info->BounceAction, c.want.bounce);
    EXPECT_EQ(info->ModerateJoin, c.want.join);
    EXPECT_EQ(info->ModerateLeave, c.want.leave);
    EXPECT_EQ(info->ReplyToList, c.want.replyTo);
    EXPECT_EQ(info->ConfigVersion, c.want.version);
    EXPECT_EQ(info->ConfirmRequests, c.want.confirm);
    EXPECT_EQ(info->ListType, 0);
    EXPECT_FALSE(info->MembersLoaded);

    std::string moderator = "stale";
    bool join = true, leave = true;
    DWORD who = 0;
    ASSERT_TRUE(GetModeratorAddress("TEAM", moderator, join, leave, who));
    EXPECT_EQ(moderator, c.want.moderator);
    EXPECT_EQ(join, c.want.join);
    EXPECT_EQ(leave, c.want.leave);
    EXPECT_EQ(who, c.want.who);
  }
}

// The journal counts of a list hold one day and at most
// kMaxJournalAddresses addresses: another day's go, and a request from
// one address more is refused (the store's filling up reported once).
TEST_F(ListStore, JournalCountsStaySmall) {
  MakeList("team");
  const long long now = 1800000000, day = now / 86400;
  {
    RegTransaction tx(RegTransaction::kWrite);
    RegKey journals;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE,
                             (std::string(kListsKey) + "\\team\\" + kListJournalsKey).c_str(),
                             KEY_ALL_ACCESS, journals.out(), nullptr),
              ERROR_SUCCESS);
    for (size_t n = 0; n + 2 < kMaxJournalAddresses; ++n) {
      DWORD today = static_cast<DWORD>(day << 8 | 1), yesterday = today - 256;
      std::string name = "u" + std::to_string(n) + "@example.org";
      RegSetValueEx(journals.get(), name.c_str(), REG_DWORD, &today, sizeof today);
      name = "old" + name;
      RegSetValueEx(journals.get(), name.c_str(), REG_DWORD, &yesterday, sizeof yesterday);
    }
    ASSERT_EQ(tx.Commit(), ERROR_SUCCESS);
  }
  auto count = [&](const char *address) {
    JournalCount c = CountListJournal("team", address, now);
    return std::to_string(c.Granted) + std::to_string(c.Report) + std::to_string(c.StoreFull);
  };
  EXPECT_EQ(count("U0@Example.org"), "100");    // its second today
  EXPECT_EQ(count("one@example.org"), "100");
  EXPECT_EQ(count("two@example.org"), "111");   // the last place: filled up
  EXPECT_EQ(count("three@example.org"), "001");
  EXPECT_EQ(count("two@example.org"), "100");
  // The next day starts afresh.
  EXPECT_EQ(CountListJournal("team", "three@example.org", now + 86400).Granted, true);
  RegKey journals;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE,
                         (std::string(kListsKey) + "\\team\\" + kListJournalsKey).c_str(),
                         KEY_READ, journals.out()),
            ERROR_SUCCESS);
  DWORD values = 0;
  char name[600];
  for (DWORD cch = sizeof name; RegEnumValue(journals.get(), values, name, &cch, nullptr, nullptr,
                                             nullptr) == ERROR_SUCCESS;
       cch = sizeof name)
    ++values;
  EXPECT_EQ(values, 1u);
}

TEST_F(ListStore, NamesThatAreNoList) {
  MakeList("Team");
  MakeList("team\\Members\\joe@x.org");
  MakeList("..");  // made behind the store's back; still never a list
  struct Case {
    std::string name;
    bool isList;
  } cases[] = {
      {"Team", true},
      {"tEAM", true},
      {"", false},
      {"other", false},
      {"team\\Members\\joe@x.org", false},  // a member key, reached through "\"
      {"team\\", false},
      {"..", false},
      {"a/b", false},
      {"team\n", false},
      {std::string(kMaxListName + 1, 'l'), false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsValidMailingList(c.name), c.isList);
    EXPECT_EQ(GetListExpansion(c.name, true, kThisHost) != nullptr, c.isList);
    std::string moderator;
    bool join, leave;
    DWORD who;
    EXPECT_EQ(GetModeratorAddress(c.name, moderator, join, leave, who), c.isList);
  }
  // A name at the limit is a list.
  MakeList(std::string(kMaxListName, 'l'));
  EXPECT_TRUE(IsValidMailingList(std::string(kMaxListName, 'l')));
}

TEST_F(ListStore, MembersAreReadInRegistryOrderAndTheKeyIsCreated) {
  MakeList("team");
  ListInfoPtr info = GetListExpansion("team", false, kThisHost);
  ASSERT_TRUE(info);
  EXPECT_FALSE(KeyExists("team\\Members")) << "a read without members changes nothing";

  info = GetListExpansion("team", true, kThisHost);
  ASSERT_TRUE(info);
  EXPECT_TRUE(info->MembersLoaded);
  EXPECT_TRUE(info->Members.empty());
  EXPECT_TRUE(KeyExists("team\\Members"));

  for (const char *m : {"carol@b.org", "Alice@a.org", "bob@c.org"})
    MakeList(std::string("team\\Members\\") + m);
  info = GetListExpansion("team", true, kThisHost);
  ASSERT_TRUE(info);
  EXPECT_EQ(Names(*info), (std::vector<std::string>{"Alice@a.org", "bob@c.org", "carol@b.org"}));
  FreeListInfo(info);
  EXPECT_FALSE(info);
}

TEST_F(ListStore, AddAndRemoveOutcomes) {
  MakeList("team");
  MakeList("other\\Members\\x@y.org");
  enum Op { kAdd, kRemove, kRead };
  struct Step {
    Op op;
    std::string list, address;
    bool result;
    bool added;       // kAdd: *newlyAdded
    long error;       // when result is false
  } steps[] = {
      // No Members key yet: the addition creates it.
      {kAdd, "team", "joe@x.org", true, true, 0},
      {kRead, "team", "", true, false, 0},
      {kAdd, "team", "joe@x.org", true, false, 0},
      {kAdd, "TEAM", "JOE@x.org", true, false, 0},  // names compare without case
      {kAdd, "nolist", "joe@x.org", false, false, ERROR_FILE_NOT_FOUND},
      {kAdd, "team", "a\\b@x.org", false, false, ERROR_INVALID_PARAMETER},
      {kAdd, "team", "", false, false, ERROR_INVALID_PARAMETER},
      {kAdd, "team", "bell\a@x.org", false, false, ERROR_INVALID_PARAMETER},
      {kAdd, "team", std::string(kMaxRegKeyNameLength + 1, 'm'), false, false,
       ERROR_INVALID_PARAMETER},
      {kAdd, "team", std::string(kMaxRegKeyNameLength, 'm'), true, true, 0},
      {kAdd, "other\\Members\\x@y.org", "z", false, false, ERROR_INVALID_PARAMETER},
      // A trailing "\" would be tolerated by the registry and name joe's key.
      {kRemove, "team", "joe@x.org\\", false, false, ERROR_INVALID_PARAMETER},
      {kRemove, "team", "Joe@X.org", true, false, 0},
      {kRemove, "team", "joe@x.org", false, false, ERROR_FILE_NOT_FOUND},
      {kRemove, "nolist", "joe@x.org", false, false, ERROR_FILE_NOT_FOUND},
      {kRemove, "team", "", false, false, ERROR_INVALID_PARAMETER},
  };
  for (const Step &s : steps) {
    SCOPED_TRACE(s.list + " / " + s.address + " op " + std::to_string(s.op));
    SetLastError(0);
    bool added = !s.added;
    bool result = s.op == kAdd      ? AddToList(s.list, s.address, &added)
                  : s.op == kRemove ? RemoveFromList(s.list, s.address)
                                    : GetListExpansion(s.list, true, kThisHost) != nullptr;
    EXPECT_EQ(result, s.result);
    if (s.op == kAdd) {
      EXPECT_EQ(added, s.added);
    }
    if (!s.result) {
      EXPECT_EQ(GetLastError(), s.error);
    }
  }
  ListInfoPtr info = GetListExpansion("team", true, kThisHost);
  ASSERT_TRUE(info);
  EXPECT_EQ(Names(*info), (std::vector<std::string>{std::string(kMaxRegKeyNameLength, 'm')}));
  EXPECT_FALSE(KeyExists("team\\Members\\a")) << "no nested key from a \"\\\" address";
  EXPECT_TRUE(KeyExists("other\\Members\\x@y.org"));
  EXPECT_TRUE(AddToList("team", "n@x.org", nullptr));  // the out flag is optional
}

TEST_F(ListStore, MemberAndModeratorTests) {
  _tListInfo info;
  info.Members = {{"Alice@a.org"}, {"bob@b.org"}};
  struct Case {
    const char *address;
    bool member, moderator;
  } cases[] = {
      {"alice@a.org", true, false},
      {"BOB@B.ORG", true, false},
      {"alice@a.org.", false, false},
      {"", false, false},
      {"Mod@x.org", false, true},
      {"mod@X.ORG", false, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(IsListMember(info, c.address), c.member);
    EXPECT_EQ(IsListModerator("mod@x.org", c.address), c.moderator);
  }
  EXPECT_FALSE(IsListModerator("", ""));
  EXPECT_FALSE(IsListModerator("", "mod@x.org"));
}

TEST_F(ListStore, RequestAddress) {
  const std::string longName(kMaxListName, 'q');
  const std::string longQuoted(kMaxListName, '"');
  struct Case {
    std::string list, domain, want;
  } cases[] = {
      {"team", "example.org", "team-request@example.org"},
      {"Team.A", "example.org", "Team.A-request@example.org"},
      {"my list", "example.org", "\"my list-request\"@example.org"},
      {"a\"b", "x", "\"a\\\"b-request\"@x"},
      {longName, "x", longName + "-request@x"},
      // The worst case for quoting is still whole, with its closing quote.
      {longQuoted, "x",
       "\"" + [&] {
         std::string s;
         for (size_t i = 0; i < kMaxListName; ++i) s += "\\\"";
         return s;
       }() + "-request\"@x"},
  };
  for (const Case &c : cases) EXPECT_EQ(CreateRequestAddress(c.list, c.domain), c.want) << c.list;
}

// What the administrator's tool writes is what the delivery agent reads.
TEST_F(ListStore, ZeladmWritesWhatTheStoreReads) {
  auto run = [](std::vector<std::string> args) {
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    return RunListCommand(static_cast<int>(argv.size()), argv.data());
  };
  ASSERT_EQ(run({"list", "create", "team", "--moderator", "boss@x.org", "--moderate-join",
                 "--who-can-send", "anyone", "--bounce-action", "address", "--bounces-to",
                 "b@x.org", "--reply-to-list", "--domain", "lists.x.org"}),
            0);
  // JOIN works at once: the list comes with its Members key.
  bool added = false;
  EXPECT_TRUE(AddToList("team", "joe@x.org", &added));
  EXPECT_TRUE(added);
  ASSERT_EQ(run({"list", "add-member", "team", "Ann@X.ORG"}), 0);
  ListInfoPtr info = GetListExpansion("team", true, kThisHost);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->Moderator, "boss@x.org");
  EXPECT_TRUE(info->ModerateJoin);
  EXPECT_FALSE(info->ModerateLeave);
  EXPECT_EQ(info->WhoCanSend, kWhoCanSendAnyone);
  EXPECT_EQ(info->BounceAction, kBounceActionAddress);
  EXPECT_EQ(info->BouncesTo, "b@x.org");
  EXPECT_TRUE(info->ReplyToList);
  EXPECT_EQ(info->Domain, "lists.x.org");
  EXPECT_EQ(info->ConfigVersion, 2);
  EXPECT_EQ(Names(*info), (std::vector<std::string>{"Ann@x.org", "joe@x.org"}));

  ASSERT_EQ(run({"list", "set", "team", "--no-moderate-join", "--no-moderator", "--no-domain",
                 "--bounce-action", "sender"}),
            0);
  info = GetListExpansion("team", false, kThisHost);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->Moderator, "");
  EXPECT_EQ(info->Domain, kThisHost);
  EXPECT_EQ(info->BounceAction, kBounceActionSender);
  EXPECT_EQ(info->BouncesTo, "b@x.org");
  EXPECT_EQ(info->ConfigVersion, 3);

  ASSERT_EQ(run({"list", "delete", "team"}), 0);
  EXPECT_FALSE(IsValidMailingList("team"));
}

}  // namespace
