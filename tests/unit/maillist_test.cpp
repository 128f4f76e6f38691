// Mailing lists: delivery into list directories, the list pass, the header
// rewrite of list copies, the posting rules with their notices, and the
// list server's commands with every output line.
#include <cstring>
#include <regex>

#include "ZELDELIV/listcmds.h"
#include "ZELDELIV/listpass.h"
#include "ZELDELIV/mailbox.h"
#include "ZELDELIV/maillist.h"
#include "ZELDELIV/msgtext.h"
#include "ZELDELIV/ndreport.h"
#include "platform/eventlog.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "tests/unit/delivfixture.h"
#include "zelbase/zelbase.h"

using namespace delivtest;

namespace {

constexpr const char *kDomain = "lists.example.org";
constexpr const char *kStaffRequest = "staff-request@lists.example.org";

struct ListSettings {
  const char *moderator = nullptr;
  DWORD whoCanSend = 2;
  DWORD bounceAction = 0;
  const char *bouncesTo = nullptr;
  bool replyToList = false;
  bool controlJoin = false;
  bool controlLeave = false;
  bool confirm = false;   // false: stored as 0, as zeladm's --no-confirm does
};

class Lists : public DelivTest {
 protected:
  void SetUp() override {
    DelivTest::SetUp();
    ASSERT_TRUE(CreateDirectoryRecursively(MailListsDirectory));
    RegDeleteTree(HKEY_LOCAL_MACHINE, kListsKey);
    ThisHostName = kHost;
  }
  void TearDown() override {
    RegDeleteTree(HKEY_LOCAL_MACHINE, kListsKey);
    DelivTest::TearDown();
  }

  static void SetString(HKEY key, const char *name, const char *value) {
    if (value != nullptr)
      RegSetValueEx(key, name, REG_SZ, value, static_cast<DWORD>(strlen(value) + 1));
  }
  static void SetDword(HKEY key, const char *name, DWORD value) {
    RegSetValueEx(key, name, REG_DWORD, &value, sizeof value);
  }

  // A list in the registry, with its Members key (and the members given).
  static void MakeList(const std::string &name, const ListSettings &s,
                       const std::vector<std::string> &members, const char *domain = kDomain) {
    RegKey key;
    std::string path = std::string(kListsKey) + "\\" + name;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS, key.out(), nullptr),
              0);
    SetString(key.get(), "Moderator", s.moderator);
    SetString(key.get(), "BouncesTo", s.bouncesTo);
    SetString(key.get(), "Domain", domain);
    SetDword(key.get(), "WhoCanSend", s.whoCanSend);
    SetDword(key.get(), "BounceAction", s.bounceAction);
    SetDword(key.get(), "ReplyToList", s.replyToList ? 1 : 0);
    SetDword(key.get(), "ModeratorControlJoin", s.controlJoin ? 1 : 0);
    SetDword(key.get(), "ModeratorControlLeave", s.controlLeave ? 1 : 0);
    SetDword(key.get(), kListConfirmRequestsValue, s.confirm ? 1 : 0);
    RegKey m;
    ASSERT_EQ(RegCreateKeyEx(key.get(), "Members", KEY_ALL_ACCESS, m.out(), nullptr), 0);
    for (const std::string &member : members) {
      RegKey sub;
      ASSERT_EQ(RegCreateKeyEx(m.get(), member.c_str(), KEY_ALL_ACCESS, sub.out(), nullptr), 0);
    }
  }

  static std::vector<std::string> Members(const std::string &list) {
    std::vector<std::string> out;
    ListInfoPtr info = GetListExpansion(list, true, kHost);
    if (info)
      for (const _tMembers &m : info->Members) out.push_back(m.Name);
    std::sort(out.begin(), out.end());
    return out;
  }

  static std::string ListPath(const std::string &name) { return MailListsDirectory + "/" + name; }

  // A message file in a list directory (text with "\n" line ends).
  static std::string PutListMessage(const std::string &dir, const std::string &base,
                                    const std::string &text) {
    CreateDirectoryRecursively(ListPath(dir));
    std::string path = ListPath(dir) + "/" + base + ".MSG";
    WriteFile(path, Crlf(text));
    return path;
  }

  // An in-memory list for the list copy tests.
  static _tListInfo StaffInfo(const ListSettings &s) {
    _tListInfo list;
    list.ListName = "staff";
    list.Domain = kDomain;
    list.Members = {{"u@example.org"}, {"v@remote.net"}};
    list.MembersLoaded = true;
    list.WhoCanSend = s.whoCanSend;
    list.BounceAction = s.bounceAction;
    list.BouncesTo = s.bouncesTo == nullptr ? "" : s.bouncesTo;
    list.ReplyToList = s.replyToList;
    list.Moderator = s.moderator == nullptr ? "" : s.moderator;
    return list;
  }

  // The value of a header line of a generated text ("" when absent).
  static std::string HeaderValue(const std::string &text, const std::string &name) {
    size_t end = text.find("\n\n");
    std::string header = "\n" + text.substr(0, end) + "\n";
    size_t at = header.find("\n" + name + ": ");
    if (at == std::string::npos) return "";
    size_t start = at + name.size() + 3;
    return header.substr(start, header.find('\n', start) - start);
  }

  // The body of a generated text: what follows the header's empty line.
  static std::string Body(const std::string &text) {
    size_t end = text.find("\n\n");
    return end == std::string::npos ? "" : text.substr(end + 2);
  }
};

// ---- delivery into list directories ----------------------------------

struct Offer {
  const char *user;
  bool handled;
  const char *dir;   // where the copy lands, when handled
};

TEST_F(Lists, DeliveryPicksTheListOrRequestMailbox) {
  MakeList("staff", {}, {});
  MakeList("longername", {}, {});
  // Keys whose names must never become directories.
  MakeList(".hidden", {}, {});
  MakeList("a..b", {}, {});
  MakeList("a/b", {}, {});
  const Offer cases[] = {
      {"staff", true, "staff"},
      {"staff-request", true, "staff-request"},
      {"longername-request", true, "longername-request"},
      {"nolist", false, nullptr},
      {"nolist-request", false, nullptr},
      // "-request" alone is no list's request address.
      {"-request", false, nullptr},
      {".hidden", false, nullptr},
      {"a..b", false, nullptr},
      {"a/b", false, nullptr},
      {"../staff", false, nullptr},
      {"", false, nullptr},
  };
  PutHeld("B0000000001", "From: ann@example.net\n\nhello\n.\n");
  for (const Offer &c : cases) {
    MsgInfoPtr info = Info("B0000000001", "ann@example.net", {"x"});
    EXPECT_EQ(DeliverToMailingList(*info, *info->Rcp, c.user), c.handled) << c.user;
    if (!c.handled) continue;
    EXPECT_TRUE(info->Rcp->bDisposed) << c.user;
    EXPECT_EQ(delivtest::ListDir(ListPath(c.dir), ".MSG"),
              std::vector<std::string>{"B0000000001.MSG"})
        << c.user;
    // The copy begins with the envelope sender, which the message lacks.
    EXPECT_EQ(Slurp(ListPath(c.dir) + "/B0000000001.MSG"),
              "Return-Path: <ann@example.net>\r\n" + Crlf("From: ann@example.net\n\nhello\n.\n"))
        << c.user;
  }
  EXPECT_EQ(delivtest::ListDir(MailListsDirectory),
            (std::vector<std::string>{"longername-request", "staff", "staff-request"}));
  EXPECT_TRUE(Incoming().empty());
}

TEST_F(Lists, RequestSuffixInAnyCaseThroughLocalDelivery) {
  MakeList("staff", {}, {});
  PutHeld("B0000000002", "From: ann@example.net\n\njoin\n.\n");
  MsgInfoPtr info = Info("B0000000002", "ann@example.net",
                         {"Staff-REQUEST@example.org", "STAFF@example.org"});
  EXPECT_TRUE(DeliverToLocalUsers(*info, nullptr));
  EXPECT_EQ(delivtest::ListDir(ListPath("staff-request")),
            std::vector<std::string>{"B0000000002.MSG"});
  EXPECT_EQ(delivtest::ListDir(ListPath("staff")), std::vector<std::string>{"B0000000002.MSG"});
}

TEST_F(Lists, BusyListDirectoryLeavesTheRecipientForLater) {
  MakeList("staff", {}, {});
  PutHeld("B0000000003", "From: ann@example.net\n\nhello\n.\n");
  CreateDirectoryRecursively(ListPath("staff"));
  DirLock held;
  ASSERT_TRUE(held.Lock(ListPath("staff").c_str(), 0));
  MsgInfoPtr info = Info("B0000000003", "ann@example.net", {"staff"});
  EXPECT_TRUE(DeliverToMailingList(*info, *info->Rcp, "staff"));
  EXPECT_FALSE(info->Rcp->bDisposed);
  EXPECT_TRUE(delivtest::ListDir(ListPath("staff"), ".MSG").empty());
  held.Unlock();
  EXPECT_TRUE(DeliverToMailingList(*info, *info->Rcp, "staff"));
  EXPECT_TRUE(info->Rcp->bDisposed);
}

TEST_F(Lists, FailedCopiesAreReportedWithAPostmasterCopy) {
  MakeList("staff", {}, {});
  CreateDirectoryRecursively(ListPath("staff"));
  PutHeld("B0000000004", "From: ann@example.net\n\nhello\n.\n");
  for (int copy = 0; copy < kMaxMailboxCopies; ++copy)
    WriteFile(CreateFileNameFromMessageId(ListPath("staff"), "B0000000004@x", copy, 0), "x");
  MsgInfoPtr info = Info("B0000000004", "ann@example.net", {"staff"});
  EXPECT_TRUE(DeliverToMailingList(*info, *info->Rcp, "staff"));
  EXPECT_TRUE(info->Rcp->bDisposed);
  std::vector<Generated> out = Incoming();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Recipients(),
            (std::vector<std::string>{"ann@example.net", "postmaster@mail.example.org"}));
  EXPECT_NE(out[0].text.find("There are too many copies of this message in the list mailbox\n"),
            std::string::npos);

  // A held message that is gone: finished without a report.
  ClearIncoming();
  MsgInfoPtr gone = Info("B0000000005", "ann@example.net", {"staff"});
  EXPECT_TRUE(DeliverToMailingList(*gone, *gone->Rcp, "staff"));
  EXPECT_TRUE(gone->Rcp->bDisposed);
  EXPECT_TRUE(Incoming().empty());
}

// ---- the list copy ------------------------------------------------------

struct CopyCase {
  const char *name;
  ListSettings settings;
  const char *in;          // the list message
  const char *out;         // the copy; <ID> is the copy's identifier
  const char *returnPath;
};

const char *const kTrace =
    "Sender: staff-request@lists.example.org\n"
    "Resent-Message-Id: <<ID>>\n"
    "Resent-From: staff@lists.example.org\n"
    "X-Unsub: To leave, send text 'LEAVE' to <staff-request@lists.example.org>\n";

std::string Expand(std::string text) {
  for (size_t at; (at = text.find("<TRACE>")) != std::string::npos;)
    text.replace(at, 7, kTrace);
  return text;
}

TEST_F(Lists, ListCopyHeaderRewrite) {
  ListSettings bounce1;
  bounce1.bounceAction = 1;
  ListSettings bounce2 = {nullptr, 2, 2, "Bounces <Bounce@Example.ORG>"};
  ListSettings bounce2none = {nullptr, 2, 2, nullptr};
  ListSettings replyTo;
  replyTo.replyToList = true;
  const CopyCase cases[] = {
      {"plain", {}, "From: Ann <ann@example.net>\nSubject: hi\n\nbody\n..dots\n.\n",
       "From: Ann <ann@example.net>\nSubject: hi\n<TRACE>\nbody\n..dots\n.\n", ""},
      {"sender kept as original-sender", {},
       "Sender: owner@example.net\nFrom: ann@example.net\n\nb\n.\n",
       "Original-sender: owner@example.net\nFrom: ann@example.net\n<TRACE>\nb\n.\n", ""},
      {"reply-to naming the list", replyTo, "From: ann@example.net\n\nb\n.\n",
       "From: ann@example.net\n<TRACE>Reply-To: staff@lists.example.org\n\nb\n.\n", ""},
      {"own reply-to kept, no second", replyTo,
       "From: ann@example.net\nreply-to: Ann <home@example.net>\n\nb\n.\n",
       "From: ann@example.net\nreply-to: Ann <home@example.net>\n<TRACE>\nb\n.\n", ""},
      {"bounce to From", bounce1, "From: Ann <Ann@Example.NET>\n\nb\n.\n",
       "From: Ann <Ann@Example.NET>\n<TRACE>\nb\n.\n", "Ann@example.net"},
      {"bounce to Reply-To after From", bounce1,
       "From: ann@example.net\nReply-To: r@example.net\n\nb\n.\n",
       "From: ann@example.net\nReply-To: r@example.net\n<TRACE>\nb\n.\n", "r@example.net"},
      {"bounce to Reply-To before From", bounce1,
       "Reply-To: r@example.net\nFrom: ann@example.net\n\nb\n.\n",
       "Reply-To: r@example.net\nFrom: ann@example.net\n<TRACE>\nb\n.\n", "r@example.net"},
      {"bounce to BouncesTo", bounce2, "From: ann@example.net\n\nb\n.\n",
       "From: ann@example.net\n<TRACE>\nb\n.\n", "Bounce@example.org"},
      {"bounce 2 without BouncesTo", bounce2none, "From: ann@example.net\n\nb\n.\n",
       "From: ann@example.net\n<TRACE>\nb\n.\n", ""},
      {"folded fields stay folded", {}, "To: a@example.net,\n\tb@example.net\n\nb\n.\n",
       "To: a@example.net,\n\tb@example.net\n<TRACE>\nb\n.\n", ""},
      {"a lone CR cannot start a header line", {},
       "Subject: one\rX-Injected: yes\nFrom: ann@example.net\n\nb\rc\n.\n",
       "Subject: oneX-Injected: yes\nFrom: ann@example.net\n<TRACE>\nbc\n.\n", ""},
      {"message without body", {}, "From: ann@example.net\n.\n",
       "From: ann@example.net\n<TRACE>\n.\n", ""},
      {"missing end line is added", {}, "From: ann@example.net\n\nlast", 
       "From: ann@example.net\n<TRACE>\nlast\n.\n", ""},
      {"nothing after the end line", {}, "From: ann@example.net\n\nb\n.\ntrailing\n",
       "From: ann@example.net\n<TRACE>\nb\n.\n", ""},
      {"header without end", {}, "From: ann@example.net", "From: ann@example.net\n<TRACE>\n.\n",
       ""},
  };
  for (const CopyCase &c : cases) {
    ClearIncoming();
    _tListInfo list = StaffInfo(c.settings);
    std::string path = PutListMessage("staff", "B0000000010", c.in);
    ASSERT_EQ(ExpandMessage(list, path), ListCopyOutcome::kCopied) << c.name;
    std::vector<Generated> out = Incoming();
    ASSERT_EQ(out.size(), 1u) << c.name;
    std::string expected = Expand(c.out);
    std::string id = out[0].base + "@" + kHost;
    for (size_t at; (at = expected.find("<ID>")) != std::string::npos;) expected.replace(at, 4, id);
    EXPECT_EQ(out[0].text, expected) << c.name;
    EXPECT_STREQ(out[0].envelope->ReturnPath, c.returnPath) << c.name;
    EXPECT_STREQ(out[0].envelope->MessageId, id.c_str()) << c.name;
    EXPECT_EQ(out[0].Recipients(), (std::vector<std::string>{"u@example.org", "v@remote.net"}))
        << c.name;
  }
}

TEST_F(Lists, LongFieldsAndLinesAreCopiedWhole) {
  std::string cc = "Cc: ", sender(3000, 's'), line;
  for (int n = 0; cc.size() <= 2 * kMaxHeaderField; ++n)
    cc += (n == 0 ? "" : ",\n\t") + std::string("user") + std::to_string(n) + "@remote.net";
  for (int n = 0; line.size() <= 4 * kListCopyPiece; ++n) line += std::to_string(n) + " ";
  ListSettings bounce;
  bounce.bounceAction = 1;
  _tListInfo list = StaffInfo(bounce);
  std::string path = PutListMessage(
      "staff", "B0000000013",
      cc + "\nSender: " + sender + "@remote.net\nFrom: ann@example.net\n\n" + line + "\n.\n");
  ASSERT_EQ(ExpandMessage(list, path), ListCopyOutcome::kCopied);
  std::vector<Generated> out = Incoming();
  ASSERT_EQ(out.size(), 1u);
  std::string id = out[0].base + "@" + kHost;
  std::string expected = cc + "\nOriginal-sender: " + sender +
                         "@remote.net\nFrom: ann@example.net\n" + Expand("<TRACE>\n") + line +
                         "\n.\n";
  expected.replace(expected.find("<ID>"), 4, id);
  EXPECT_EQ(out[0].text, expected);
  EXPECT_STREQ(out[0].envelope->ReturnPath, "ann@example.net");

  // A Sender naming the list far into a long field is still found.
  ClearIncoming();
  std::string padded = "Sender: (" + std::string(3 * kListCopyPiece, 'c') + ")\n\t" + kStaffRequest;
  PutListMessage("staff", "B0000000013", padded + "\nFrom: ann@example.net\n\nb\n.\n");
  EXPECT_EQ(ExpandMessage(list, path), ListCopyOutcome::kLoop);
  EXPECT_TRUE(delivtest::ListDir(MailQueueDirectory).empty());
}

TEST_F(Lists, UnusableMembersAndReturnPathsAreLeftOut) {
  ListSettings s = {nullptr, 2, 2, "\"b\nRecipient: evil@x\"@example.org"};
  _tListInfo list = StaffInfo(s);
  list.Members.push_back({std::string(kMaxRecipientName + 1, 'm')});
  list.Members.push_back({"bad\x01@example.org"});
  std::string path = PutListMessage("staff", "B0000000011", "From: ann@example.net\n\nb\n.\n");
  ASSERT_EQ(ExpandMessage(list, path), ListCopyOutcome::kCopied);
  std::vector<Generated> out = Incoming();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_STREQ(out[0].envelope->ReturnPath, "");
  EXPECT_EQ(out[0].Recipients(), (std::vector<std::string>{"u@example.org", "v@remote.net"}));

  // No member at all: nothing is sent, and the message counts as done.
  ClearIncoming();
  list.Members.clear();
  EXPECT_EQ(ExpandMessage(list, path), ListCopyOutcome::kCopied);
  EXPECT_TRUE(Incoming().empty());
  EXPECT_TRUE(delivtest::ListDir(MailQueueDirectory).empty());
}

struct LoopCase {
  const char *header;
  bool loop;
};

TEST_F(Lists, ListCopiesComingBackBecomeDeadLetters) {
  MakeList("staff", {}, {"u@example.org"});
  const LoopCase cases[] = {
      {"Sender: staff-request@lists.example.org\n", true},
      {"Sender: The list <STAFF-REQUEST@Lists.Example.Org>\n", true},
      {"Original-sender: staff-request@lists.example.org\n", true},
      {"Sender: staff-request@other.example.org\n", false},
      {"Sender: staff@lists.example.org\n", false},
  };
  for (const LoopCase &c : cases) {
    ClearIncoming();
    Shell("rm -f '" + MailDeadDirectory + "'/*");
    std::string path = PutListMessage(
        "staff", "B0000000012", std::string("From: ann@example.net\n") + c.header + "\nb\n.\n");
    ProcessListDirectory("staff");
    EXPECT_FALSE(FileExists(path)) << c.header;
    EXPECT_EQ(Incoming().size(), c.loop ? 0u : 1u) << c.header;
    EXPECT_TRUE(delivtest::ListDir(MailQueueDirectory, ".MSG").size() == (c.loop ? 0u : 1u));
    if (!c.loop) continue;
    EXPECT_TRUE(FileExists(MailDeadDirectory + "/B0000000012.MSG")) << c.header;
    EXPECT_EQ(Unix(Slurp(MailDeadDirectory + "/B0000000012.TXT")),
              std::string("B0000000012.MSG is dead because:\n") + kListLoopReason + "\n\n");
  }
}

// ---- the posting rules ---------------------------------------------------

struct Notice {
  const char *to;
  const char *subject;
  const char *text;   // the start of the body
};

struct PostingCase {
  const char *name;
  DWORD whoCanSend;
  const char *moderator;
  const char *header;
  bool distributed;
  std::vector<Notice> notices;
};

const char *const kMemberText =
    "stranger@example.net is not a member\nor moderator of the staff list.\n"
    "Sorry, only list members and the moderator may send mail to this list.\n"
    "You can join the list by sending a reply to this message, with \nSUBSCRIBE staff\n"
    "in the message body.\n";
const char *const kModeratorText =
    "stranger@example.net is not the moderator of the staff list.\n"
    "Sorry, only the moderator may send mail to this list.\n"
    "Your message has been forwarded to the moderator.\n";
const char *const kMemberForger =
    "mod@example.net is not a member\nor moderator of the staff list.\n"
    "Sorry, only list members and the moderator may send mail to this list.\n"
    "You can join the list by sending a reply to this message, with \nSUBSCRIBE staff\n"
    "in the message body.\n";
const char *const kModeratorForger =
    "mod@example.net is not the moderator of the staff list.\n"
    "Sorry, only the moderator may send mail to this list.\n"
    "Your message has been forwarded to the moderator.\n";
const char *const kOtherText =
    "Your mail has been rejected by the list server (unspecified reason).\n";
const char *const kNoFromText =
    "No From: field was detected in your message.  The list server\n"
    "for the staff list will not process messages without a From: field.\n";
const char *const kRejected = "Your message to the staff mailing list";
const char *const kToModerator = "Message to the staff mailing list";

TEST_F(Lists, PostingRulesAndTheirNotices) {
  const std::string forwardOnly =
      "The following message to the staff mailing list\nis forwarded to you (as moderator) "
      "because\nonly the moderator may send messages to this mailing list\n";
  const std::string noSenderMod =
      "The following message to the staff mailing list\nis forwarded to you (as moderator) "
      "because\nthe message contains no valid From: or Reply-to: header\n";
  const std::string noSenderPm =
      "The following message to the staff mailing list\nis forwarded to you (as postmaster) "
      "because\nthe message contains no valid From: or Reply-to: header\n";
  const char *mod = "mod@example.net";
  const PostingCase cases[] = {
      {"member posts", 1, nullptr, "From: Member <Member@Example.NET>\n", true, {}},
      {"member from another address", 1, nullptr, "From: stranger@example.net\n", false,
       {{"stranger@example.net", kRejected, kMemberText}}},
      {"rule 0 is rule 1", 0, nullptr, "From: stranger@example.net\n", false,
       {{"stranger@example.net", kRejected, kMemberText}}},
      {"notice goes to Reply-To", 1, nullptr,
       "From: stranger@example.net\nReply-To: home@example.net\n", false,
       {{"home@example.net", kRejected, kMemberText}}},
      {"moderator need not be a member", 1, mod,
       "Return-Path: <mod@example.net>\nFrom: MOD@example.net\n", true, {}},
      {"a From of the moderator alone is a stranger's", 1, mod,
       "Return-Path: <forger@example.net>\nFrom: mod@example.net\n", false,
       {{mod, kRejected, kMemberForger}}},
      {"anyone", 2, nullptr, "From: stranger@example.net\n", true, {}},
      {"moderator only: forwarded", 3, mod, "From: stranger@example.net\n", false,
       {{"stranger@example.net", kRejected, kModeratorText},
        {mod, kToModerator, forwardOnly.c_str()}}},
      {"moderator only, no moderator", 3, nullptr, "From: stranger@example.net\n", false,
       {{"stranger@example.net", kRejected, kModeratorText}}},
      {"moderator only: the moderator", 3, mod,
       "Return-Path: <Mod@Example.net>\nFrom: mod@example.net\n", true, {}},
      {"moderator only: no envelope, no moderator", 3, mod, "From: mod@example.net\n", false,
       {{mod, kRejected, kModeratorForger}, {mod, kToModerator, forwardOnly.c_str()}}},
      {"unknown rule", 9, nullptr, "From: stranger@example.net\n", false,
       {{"stranger@example.net", kRejected, kOtherText}}},
      {"no From, Reply-To only", 1, nullptr, "Reply-To: home@example.net\n", false,
       {{"home@example.net", kRejected, kNoFromText}}},
      {"no sender: to the moderator", 1, mod, "Subject: x\n", false,
       {{mod, kToModerator, noSenderMod.c_str()}}},
      {"no sender: to the postmaster", 1, nullptr, "From: Nobody <>\n", false,
       {{"postmaster@mail.example.org", "Problem with the staff mailing list",
         noSenderPm.c_str()}}},
  };
  for (const PostingCase &c : cases) {
    ClearIncoming();
    RegDeleteTree(HKEY_LOCAL_MACHINE, kListsKey);
    ListSettings s;
    s.whoCanSend = c.whoCanSend;
    s.moderator = c.moderator;
    MakeList("staff", s, {"member@example.net", "u@example.org"});
    std::string message = std::string(c.header) + "\nhello list\n.\n";
    std::string path = PutListMessage("staff", "B0000000020", message);
    ProcessListDirectory("staff");
    EXPECT_FALSE(FileExists(path)) << c.name;
    size_t copies = 0, notices = 0;
    for (const Generated &g : Incoming()) {
      if (g.Recipients() == std::vector<std::string>{"member@example.net", "u@example.org"}) {
        ++copies;
        continue;
      }
      ASSERT_LT(notices, c.notices.size()) << c.name;
      const Notice &n = c.notices[notices++];
      EXPECT_EQ(g.Recipients(), std::vector<std::string>{n.to}) << c.name;
      EXPECT_EQ(HeaderValue(g.text, "To"), n.to) << c.name;
      EXPECT_EQ(HeaderValue(g.text, "Subject"), n.subject) << c.name;
      EXPECT_EQ(HeaderValue(g.text, "From"), kStaffRequest) << c.name;
      EXPECT_STREQ(g.envelope->ReturnPath, "postmaster@mail.example.org") << c.name;
      // The text, then the whole list message without its end line.
      EXPECT_EQ(Body(g.text), std::string(n.text) + "\n" +
                                  message.substr(0, message.size() - 2) + "\n.\n")
          << c.name;
    }
    EXPECT_EQ(copies, c.distributed ? 1u : 0u) << c.name;
    EXPECT_EQ(notices, c.notices.size()) << c.name;
  }
}

TEST_F(Lists, NoticeTextsAreBoundedAndDotStuffed) {
  _tListInfo list = StaffInfo({nullptr, 1});
  std::string from(2000, 'a');
  EXPECT_EQ(RejectNoticeText(list, from).size(), kMaxListNoticeText);
  // An address at the start of a line that begins with "." is stuffed, and
  // an addressee that would break the header sends nothing.
  std::string path = PutListMessage("staff", "B0000000021", "From: .x@example.net\n\nb\n.\n");
  ASSERT_TRUE(ForwardMessageToAddress(".x@example.net", kStaffRequest, "s",
                                      RejectNoticeText(list, ".x@example.net"), path));
  std::vector<Generated> out = Incoming();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(Body(out[0].text).substr(0, 16), "..x@example.net ");
  EXPECT_FALSE(ForwardMessageToAddress("a@b\nBcc: c@d", kStaffRequest, "s", "t", path));
  EXPECT_FALSE(ForwardMessageToAddress("", kStaffRequest, "s", "t", path));
  EXPECT_FALSE(ForwardMessageToAddress("a@b", "", "s", "t", path));
  EXPECT_EQ(Incoming().size(), 1u);
}

// ---- the list pass -------------------------------------------------------

TEST_F(Lists, ListPassDrainsListAndRequestMailboxes) {
  MakeList("staff", {}, {"u@example.org"});
  MakeList("busy", {}, {"u@example.org"});
  std::string post = PutListMessage("staff", "B0000000030", "From: a@example.net\n\nb\n.\n");
  std::string request =
      PutListMessage("staff-request", "B0000000031", "From: a@example.net\n\nhelp\n.\n");
  std::string hidden = PutListMessage(".trash", "B0000000032", "From: a@example.net\n\nb\n.\n");
  std::string orphan = PutListMessage("gone", "B0000000033", "From: a@example.net\n\nb\n.\n");
  std::string orphanRequest =
      PutListMessage("gone-request", "B0000000034", "From: a@example.net\n\nhelp\n.\n");
  std::string busy = PutListMessage("busy", "B0000000035", "From: a@example.net\n\nb\n.\n");
  DirLock held;
  ASSERT_TRUE(held.Lock(ListPath("busy").c_str(), 0));
  ThisHostName.clear();
  StandardMailingLists();
  EXPECT_EQ(ThisHostName, kHost);
  EXPECT_FALSE(FileExists(post));
  EXPECT_FALSE(FileExists(request));
  for (const std::string &kept : {hidden, orphan, orphanRequest, busy})
    EXPECT_TRUE(FileExists(kept)) << kept;
  std::vector<Generated> out = Incoming();
  ASSERT_EQ(out.size(), 2u);
  std::vector<std::string> subjects = {HeaderValue(out[0].text, "Subject"),
                                       HeaderValue(out[1].text, "Subject")};
  std::sort(subjects.begin(), subjects.end());
  EXPECT_EQ(subjects, (std::vector<std::string>{"", "Journal"}));
}

// ---- the list server ------------------------------------------------------

struct CommandCase {
  const char *name;
  const char *header;
  const char *body;
  std::string journal;   // after the welcome line; stuffed dots as on disk
  std::vector<std::string> staff;   // the members of staff afterwards
};

const char *const kWelcome =
    "\nWelcome to the TALVO ZEL Mailing List Server at lists.example.org.\n\n";
const char *const kAnn = "From: Ann <ann@Example.NET>\n";

class ListServer : public Lists {
 protected:
  void SetUp() override {
    Lists::SetUp();
    MakeList("staff", {}, {"old@example.net"});
    MakeList("other", {}, {}, "other.example.org");
  }
  // Runs one request to staff-request; returns the journals and requests.
  std::vector<Generated> Request(const std::string &header, const std::string &body,
                                 bool *processed = nullptr) {
    ClearIncoming();
    std::string path =
        PutListMessage("staff-request", "B0000000040", header + "\n" + body + ".\n");
    bool done = ProcessListRequestMessage(path, "staff", kDomain);
    if (processed != nullptr) *processed = done;
    return Incoming();
  }
  std::string Journal(const std::string &header, const std::string &body) {
    std::vector<Generated> out = Request(header, body);
    for (const Generated &g : out)
      if (HeaderValue(g.text, "Subject") == kJournalSubject) {
        std::string b = Body(g.text);
        EXPECT_EQ(b.substr(b.size() - 3), "\n.\n");
        EXPECT_EQ(b.substr(0, strlen(kWelcome)), kWelcome);
        return b.substr(strlen(kWelcome), b.size() - strlen(kWelcome) - 3);
      }
    ADD_FAILURE() << "no journal";
    return "";
  }
};

TEST_F(ListServer, CommandOutputs) {
  const std::string help = Golden("listserver-help.txt", {{"domain", kDomain}});
  ASSERT_FALSE(help.empty()) << "no golden file under " ZEL_GOLDEN_DIR;
  const std::vector<std::string> old = {"old@example.net"};
  const std::vector<std::string> oldAnn = {"ann@example.net", "old@example.net"};
  const CommandCase cases[] = {
      {"join adds the reply address", kAnn, "join\n",
       "> join\nann@example.net has been added to the staff mailing list.\n\n", oldAnn},
      {"second join: already a member", kAnn, "JOIN\nSubscribe\n",
       "> JOIN\nann@example.net has been added to the staff mailing list.\n\n"
       "> Subscribe\nann@example.net is already a member of the staff mailing list.\n\n",
       oldAnn},
      {"join another list", kAnn, "subscribe OTHER\n",
       "> subscribe OTHER\nann@example.net has been added to the other mailing list.\n\n", old},
      {"join names no list", kAnn, "join nolist\n",
       "> join nolist\n\nThere is no mailing list called nolist.\n\n", old},
      {"join: list@domain names no list", kAnn, "join staff@example.net\n",
       "> join staff@example.net\n\nThere is no mailing list called staff@example.net.\n\n",
       old},
      {"join with an address, extra words ignored", kAnn,
       "join staff Bob@Example.NET and more\n",
       "> join staff Bob@Example.NET and more\nBob@example.net has been added to the staff "
       "mailing list.\n\n",
       {"Bob@example.net", "old@example.net"}},
      {"join a -request address", kAnn, "join staff List-Request@example.net\n",
       "> join staff List-Request@example.net\n\nYou may not add \"-request\" addresses to a "
       "mailing list.\n\n",
       old},
      {"join: trailing characters", kAnn, "join staff bob@example.net,carol@example.net\n",
       "> join staff bob@example.net,carol@example.net\n\nbob@example.net,carol@example.net is "
       "not a valid email address.\n\n",
       old},
      {"join: no local part", kAnn, "join staff @example.net\n",
       "> join staff @example.net\n\n@example.net is not a valid email address.\n\n", old},
      {"join: address without domain", kAnn, "join staff bob\n",
       "> join staff bob\nbob has been added to the staff mailing list.\n\n",
       {"bob", "old@example.net"}},
      {"leave removes", kAnn, "leave staff old@EXAMPLE.NET\n",
       "> leave staff old@EXAMPLE.NET\nold@example.net has been removed from the staff mailing "
       "list.\n\n",
       {}},
      {"unsubscribe a non-member", kAnn, "unsubscribe\n",
       "> unsubscribe\nann@example.net is not a member of the staff mailing list.\n\n", old},
      {"leave list@address", kAnn, "LEAVE staff@old@example.net\n",
       "> LEAVE staff@old@example.net\nold@example.net has been removed from the staff mailing "
       "list.\n\n",
       {}},
      {"leave: the part after @ is the address", kAnn, "leave staff@example.net\n",
       "> leave staff@example.net\nexample.net is not a member of the staff mailing list.\n\n",
       old},
      {"leave names no list", kAnn, "leave nolist\n",
       "> leave nolist\n\nThere is no mailing list called nolist.\n\n", old},
      {"help", kAnn, "  help me\n", "> help me\n" + help + "\n", old},
      {"stop ends the commands", kAnn, "stop\njoin\n-- \nAnn\n",
       "> stop\nEnd of commands detected\n", old},
      {"a signature without stop", kAnn, "-- \n  Ann Example\n",
       "> -- \nCommand -- not recognised\n\n> Ann Example\nCommand Ann not recognised\n\n", old},
      {"dot lines and blank lines are silent", kAnn, "..join\n\n \t \n.hidden\n", "", old},
      {"an output line beginning with a dot is stuffed", kAnn, "leave staff .dot@example.net\n",
       "> leave staff .dot@example.net\n..dot@example.net is not a member of the staff mailing "
       "list.\n\n",
       old},
      {"join: a local part cannot begin with a dot", kAnn, "join staff .dot@example.net\n",
       "> join staff .dot@example.net\n\n..dot@example.net is not a valid email address.\n\n",
       old},
      {"Reply-To is the default address", "From: ann@example.net\nReply-To: r@example.net\n",
       "join\n", "> join\nr@example.net has been added to the staff mailing list.\n\n",
       {"old@example.net", "r@example.net"}},
      {"Sender before From", "Sender: s@example.net\nFrom: ann@example.net\n", "join\n",
       "> join\ns@example.net has been added to the staff mailing list.\n\n",
       {"old@example.net", "s@example.net"}},
  };
  for (const CommandCase &c : cases) {
    RegDeleteTree(HKEY_LOCAL_MACHINE, kListsKey);
    MakeList("staff", {}, {"old@example.net"});
    MakeList("other", {}, {}, "other.example.org");
    EXPECT_EQ(Journal(c.header, c.body), c.journal) << c.name;
    EXPECT_EQ(Members("staff"), c.staff) << c.name;
  }
}

TEST_F(ListServer, JournalEnvelope) {
  std::vector<Generated> out =
      Request("From: ann@example.net\nReply-To: Home <home@example.net>\n", "subscribe other\n");
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(HeaderValue(out[0].text, "To"), "home@example.net");
  // The list written to answers, whichever list the command named.
  EXPECT_EQ(HeaderValue(out[0].text, "From"), kStaffRequest);
  EXPECT_EQ(HeaderValue(out[0].text, "Subject"), "Journal");
  EXPECT_STREQ(out[0].envelope->ReturnPath, "");
  EXPECT_EQ(out[0].Recipients(), std::vector<std::string>{"home@example.net"});
  EXPECT_EQ(Members("other"), std::vector<std::string>{"home@example.net"});
}

struct ModeratedCase {
  const char *name;
  const char *header;
  const char *body;
  const char *journal;
  const char *request;   // the body of the request to the moderator, or null
  const char *requestSubject;
  std::vector<std::string> members;
};

TEST_F(ListServer, ModeratedJoinAndLeave) {
  const ModeratedCase cases[] = {
      {"join forwarded", kAnn, "join modj\n",
       "> join modj\n\nYour request to join the modj list as ann@example.net\nhas been "
       "forwarded to the list moderator.\n\n",
       "\nThe following request from ann@example.net has been received\nby the TALVO Mailing "
       "List Server at lists.example.org.\n\nJOIN modj ann@example.net\n\n",
       "JOIN Request", {"old@example.net"}},
      {"leave forwarded", kAnn, "leave modj old@example.net\n",
       "> leave modj old@example.net\n\nYour request to remove old@example.net from the modj "
       "list\nhas been forwarded to the list moderator.\n\n",
       "\nThe following request from ann@example.net has been received\nby the TALVO Mailing "
       "List Server at lists.example.org.\n\nLEAVE modj old@example.net\n\n",
       "LEAVE Request", {"old@example.net"}},
      {"the moderator's own join", "Return-Path: <mod@example.net>\nFrom: MOD@example.net\n",
       "join modj bob@example.net\n",
       "> join modj bob@example.net\nbob@example.net has been added to the modj mailing "
       "list.\n\n",
       nullptr, nullptr, {"bob@example.net", "old@example.net"}},
      {"the moderator's From, another envelope",
       "Return-Path: <ann@example.net>\nFrom: mod@example.net\n", "leave modj old@example.net\n",
       "> leave modj old@example.net\n\nYour request to remove old@example.net from the modj "
       "list\nhas been forwarded to the list moderator.\n\n",
       "\nThe following request from mod@example.net has been received\nby the TALVO Mailing "
       "List Server at lists.example.org.\n\nLEAVE modj old@example.net\n\n",
       "LEAVE Request", {"old@example.net"}},
      {"the moderator as Sender only",
       "Return-Path: <mod@example.net>\nFrom: ann@example.net\nSender: mod@example.net\n",
       "leave modj old@example.net\n",
       "> leave modj old@example.net\n\nYour request to remove old@example.net from the modj "
       "list\nhas been forwarded to the list moderator.\n\n",
       "\nThe following request from mod@example.net has been received\nby the TALVO Mailing "
       "List Server at lists.example.org.\n\nLEAVE modj old@example.net\n\n",
       "LEAVE Request", {"old@example.net"}},
  };
  for (const ModeratedCase &c : cases) {
    RegDeleteTree(HKEY_LOCAL_MACHINE, kListsKey);
    MakeList("staff", {}, {});
    ListSettings s;
    s.moderator = "mod@example.net";
    s.controlJoin = s.controlLeave = true;
    MakeList("modj", s, {"old@example.net"});
    std::vector<Generated> out = Request(c.header, c.body);
    std::string journal, request, subject;
    for (const Generated &g : out) {
      if (HeaderValue(g.text, "Subject") == kJournalSubject) {
        journal = Body(g.text).substr(strlen(kWelcome));
        continue;
      }
      subject = HeaderValue(g.text, "Subject");
      request = Body(g.text);
      EXPECT_EQ(g.Recipients(), std::vector<std::string>{"mod@example.net"}) << c.name;
      EXPECT_EQ(HeaderValue(g.text, "From"), "modj-request@lists.example.org") << c.name;
      EXPECT_STREQ(g.envelope->ReturnPath, "") << c.name;
    }
    EXPECT_EQ(journal, std::string(c.journal) + "\n.\n") << c.name;
    EXPECT_EQ(out.size(), c.request == nullptr ? 1u : 2u) << c.name;
    if (c.request != nullptr) {
      EXPECT_EQ(request, std::string(c.request) + "\n.\n") << c.name;
      EXPECT_EQ(subject, c.requestSubject) << c.name;
    }
    EXPECT_EQ(Members("modj"), c.members) << c.name;
  }
}

// The token of the confirmation request among out (and its recipient).
std::string TokenIn(const std::vector<Generated> &out, std::string *to = nullptr) {
  for (const Generated &g : out) {
    std::smatch m;
    if (!std::regex_search(g.text, m, std::regex("\nCONFIRM ([0-9a-f]{32})\n"))) continue;
    if (to != nullptr) *to = g.Recipients().at(0);
    return m[1];
  }
  return "";
}

TEST_F(ListServer, JoinAndLeaveWaitForConfirmation) {
  MakeList("staff", {}, {"old@example.net"});
  RegKey key;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, (std::string(kListsKey) + "\\staff").c_str(),
                         KEY_ALL_ACCESS, key.out()),
            0);
  SetDword(key.get(), kListConfirmRequestsValue, 1);

  std::vector<Generated> out = Request(kAnn, "join\n");
  ASSERT_EQ(out.size(), 2u);
  std::string to, token = TokenIn(out, &to);
  ASSERT_FALSE(token.empty());
  EXPECT_EQ(to, "ann@example.net");
  EXPECT_EQ(Journal(kAnn, "join\n"),
            "> join\n\nA confirmation request for ann@example.net is already waiting.\n\n");
  EXPECT_EQ(Incoming().size(), 1u);   // the journal only: no second mail within the hour
  EXPECT_EQ(Members("staff"), std::vector<std::string>{"old@example.net"});
  for (const Generated &g : out) {
    if (HeaderValue(g.text, "Subject") == kJournalSubject) {
      EXPECT_NE(g.text.find("\n> join\n\nA confirmation request has been sent to ann@example.net."
                            "\nann@example.net joins the staff mailing list once it is confirmed.\n"),
                std::string::npos);
    } else {
      EXPECT_EQ(HeaderValue(g.text, "Subject"), "Please confirm: JOIN staff");
      EXPECT_EQ(HeaderValue(g.text, "From"), kStaffRequest);
      EXPECT_STREQ(g.envelope->ReturnPath, "");
    }
  }

  // Only the token counts, from whoever sends it; a reply that quotes the
  // request works; no other quoted line is run.
  const char *kBob = "From: bob@example.net\n";
  EXPECT_EQ(Journal(kBob, "CONFIRM 0123456789abcdef0123456789abcdef\n"),
            "> CONFIRM 0123456789abcdef0123456789abcdef\n\nThere is no request waiting for "
            "confirmation 0123456789abcdef0123456789abcdef (it may have expired).\n\n");
  EXPECT_EQ(Journal(kBob, "> > join\n> > CONFIRM " + token + "\n"),
            "> > > join\nCommand > not recognised\n\n> CONFIRM " + token +
                "\nann@example.net has been added to the staff mailing list.\n\n");
  EXPECT_EQ(Members("staff"), (std::vector<std::string>{"ann@example.net", "old@example.net"}));
  EXPECT_NE(Journal(kBob, "confirm " + token + "\n").find("no request waiting"),
            std::string::npos);

  // Leaving asks the address that leaves, not the one who asked.
  token = TokenIn(Request(kAnn, "leave staff old@example.net\n"), &to);
  EXPECT_EQ(to, "old@example.net");
  EXPECT_EQ(Members("staff"), (std::vector<std::string>{"ann@example.net", "old@example.net"}));
  EXPECT_NE(Journal(kBob, "CONFIRM " + token + "\n").find("old@example.net has been removed"),
            std::string::npos);
  EXPECT_EQ(Members("staff"), std::vector<std::string>{"ann@example.net"});
  // Nothing to confirm where nothing would change.
  EXPECT_EQ(Journal(kAnn, "join\n"),
            "> join\nann@example.net is already a member of the staff mailing list.\n\n");

  // A token expires after seven days.
  token = TokenIn(Request(kBob, "join\n"));
  RegKey pending;
  ASSERT_EQ(RegOpenKeyEx(key.get(), (std::string(kListPendingKey) + "\\" + token).c_str(),
                         KEY_ALL_ACCESS, pending.out()),
            0);
  SetDword(pending.get(), "Created",
           static_cast<DWORD>(NowSeconds() - kListTokenLifetimeSeconds - 1));
  EXPECT_NE(Journal(kBob, "CONFIRM " + token + "\n").find("no request waiting"),
            std::string::npos);
  EXPECT_EQ(Members("staff"), std::vector<std::string>{"ann@example.net"});

  // A flood of requests stops at the bounds: per message, and per list.
  std::string flood;
  for (size_t n = 0; n <= kMaxConfirmationsPerRequest; ++n)
    flood += "join staff u" + std::to_string(n) + "@example.net\n";
  out = Request(kBob, flood);
  EXPECT_EQ(out.size(), kMaxConfirmationsPerRequest + 1);   // the confirmations, the journal
  {
    RegTransaction tx(RegTransaction::kWrite);
    for (size_t n = 0; n < kMaxPendingRequests; ++n) {
      RegKey r;
      char name[40];
      snprintf(name, sizeof name, "%032zx", n);
      RegCreateKeyEx(key.get(), (std::string(kListPendingKey) + "\\" + name).c_str(),
                     KEY_ALL_ACCESS, r.out(), nullptr);
      SetString(r.get(), "Action", "JOIN");
      SetString(r.get(), "Address", "x@example.net");
      SetDword(r.get(), "Created", static_cast<DWORD>(NowSeconds()));
    }
    ASSERT_EQ(tx.Commit(), 0);
  }
  EXPECT_NE(Journal(kBob, "join staff last@example.net\n").find("Too many requests"),
            std::string::npos);
}

TEST_F(ListServer, ForwardFailureReportsTheError) {
  ListSettings s;
  s.moderator = "\"mod\x01\"@example.net";
  s.controlJoin = true;
  MakeList("modbad", s, {});
  std::string journal = Journal(kAnn, "join modbad\n");
  EXPECT_EQ(journal, "> join modbad\n\nFailed to process JOIN the moderated modbad mailing list: "
                     "error " + std::to_string(ERROR_INVALID_PARAMETER) + ".\n\n");
  EXPECT_TRUE(Members("modbad").empty());
}

// A list made by hand has neither a Members key nor a ConfirmRequests
// value: a join waits for its confirmation all the same, and then works.
TEST_F(ListServer, ListMadeByHandConfirmsAndJoins) {
  RegKey key;
  std::string path = std::string(kListsKey) + "\\bare";
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS, key.out(), nullptr),
            0);
  std::string token = TokenIn(Request(kAnn, "join bare\n"));
  ASSERT_FALSE(token.empty());
  EXPECT_TRUE(Members("bare").empty());
  ClearIncoming();
  PutListMessage("bare-request", "B0000000041", std::string(kAnn) + "\nCONFIRM " + token + "\n.\n");
  ProcessListRequestDirectory("bare-request");
  EXPECT_EQ(Members("bare"), std::vector<std::string>{"ann@example.net"});
}

struct LoopRequest {
  const char *name;
  const char *header;
  bool dead;
};

TEST_F(ListServer, RequestsThatWouldLoopOrHaveNoSender) {
  const LoopRequest cases[] = {
      {"reply to our own request address", "From: STAFF-REQUEST@lists.example.org\n", true},
      {"Reply-To our own request address",
       "From: ann@example.net\nReply-To: staff-request@Lists.Example.Org\n", true},
      {"reply to another list server", "From: ann@example.net\nReply-To: x-request@remote.net\n",
       true},
      {"no sender at all", "Subject: join\n", false},
  };
  for (const LoopRequest &c : cases) {
    Shell("rm -f '" + MailDeadDirectory + "'/*");
    bool processed = false;
    EXPECT_TRUE(Request(c.header, "join\n", &processed).empty()) << c.name;
    EXPECT_TRUE(processed) << c.name;
    EXPECT_EQ(FileExists(MailDeadDirectory + "/B0000000040.MSG"), c.dead) << c.name;
    if (c.dead) {
      EXPECT_NE(Slurp(MailDeadDirectory + "/B0000000040.TXT").find(kRequestLoopReason),
                std::string::npos);
    }
    EXPECT_EQ(Members("staff"), std::vector<std::string>{"old@example.net"}) << c.name;
  }
}

TEST_F(ListServer, LongLinesAndManyCommandsAreCut) {
  std::string longWord(3000, 'Z');
  std::string journal = Journal(kAnn, longWord + "\nstop\n");
  std::string word(kMaxRequestLine, 'Z');
  EXPECT_EQ(journal, "> " + word + "\nCommand " + word + " not recognised\n\n> stop\n"
                     "End of commands detected\n");

  // A journal echoes 20 request lines at most.
  std::string many;
  for (int i = 0; i < 21; ++i) many += "x\n";
  journal = Journal(kAnn, many);
  std::string one = "> x\nCommand x not recognised\n\n";
  std::string expected;
  for (int i = 0; i < 20; ++i) expected += one;
  EXPECT_EQ(journal, expected + kTooManyCommands);
}

// One address gets ten journals a day from one list; its further requests
// are dropped unanswered and unrun, with one event, and other addresses
// are still answered. The count is the registry's, not the process's.
TEST_F(ListServer, TenJournalsADayPerAddress) {
  for (int i = 0; i < 10; ++i) ASSERT_EQ(Request(kAnn, "help\n").size(), 1u) << i;
  bool processed = false;
  EXPECT_TRUE(Request(kAnn, "join\n", &processed).empty());
  EXPECT_TRUE(processed);
  EXPECT_TRUE(Request("From: other <ANN@example.net>\n", "help\n").empty());
  EXPECT_EQ(Members("staff"), std::vector<std::string>{"old@example.net"});
  EXPECT_EQ(Request("From: bob@example.net\n", "help\n").size(), 1u);
  const std::string events = Slurp(EventLogPath()),
                    dropped = "staff drops the requests answered to ann@example.net";
  size_t first = events.find(dropped);
  EXPECT_NE(first, std::string::npos) << events;
  EXPECT_EQ(events.find(dropped, first + 1), std::string::npos);
  RegKey journals;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE,
                         (std::string(kListsKey) + "\\staff\\" + kListJournalsKey).c_str(),
                         KEY_READ, journals.out()),
            0);
}

TEST_F(ListServer, RequestDirectoryDeletesWhatItProcessed) {
  std::string a = PutListMessage("staff-request", "B0000000050", std::string(kAnn) + "\njoin\n.\n");
  std::string b = PutListMessage("staff-request", "B0000000051", "Subject: none\n\nhelp\n.\n");
  ProcessListRequestDirectory("staff-request");
  EXPECT_FALSE(FileExists(a));
  EXPECT_FALSE(FileExists(b));
  EXPECT_EQ(Incoming().size(), 1u);
  EXPECT_EQ(Members("staff"), (std::vector<std::string>{"ann@example.net", "old@example.net"}));
  // A list that is gone keeps its requests.
  std::string c = PutListMessage("gone-request", "B0000000052", std::string(kAnn) + "\nhelp\n.\n");
  ProcessListRequestDirectory("gone-request");
  EXPECT_TRUE(FileExists(c));
}

}  // namespace
