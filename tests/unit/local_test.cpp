// Local delivery: recipient resolution and the alias map, mailbox copies,
// discard and forwarding, automatic replies and their rules, and the
// routines that read and copy message files.
#include "tests/unit/delivfixture.h"

#include "ZELDELIV/autoreply.h"
#include "ZELDELIV/local.h"
#include "ZELDELIV/mailbox.h"
#include "ZELDELIV/msgtext.h"
#include "ZELDELIV/ndreport.h"
#include "common/loadcfig.h"
#include "common/str.h"
#include "platform/eventlog.h"
#include "platform/registry.h"

using namespace delivtest;

namespace {

const std::string kHeld =
    "Received: from client.example.net\n"
    "From: Sender Person <sender@example.net>\n"
    "To: alice@example.org\n"
    "Subject: hello\n"
    "\n"
    "first line\n"
    "..dotted line\n"
    ".\n";

class Local : public DelivTest {
 protected:
  static void ControlFile(const std::string &user, const std::string &text) {
    WriteMailboxFile(user, kControlFileName, Crlf(text));
  }
  // Delivers message id (held text) to one recipient; returns the result.
  int Deliver(const std::string &id, const std::string &returnPath, const std::string &name,
              _tRcpInfo **out = nullptr) {
    info_ = Info(id, returnPath, {name});
    std::string user = LocalUserName(info_->Rcp->Name);
    int rc = DeliverToLocalUser(*info_, *info_->Rcp, user);
    if (out != nullptr) *out = info_->Rcp;
    return rc;
  }
  MsgInfoPtr info_;
};

// --- resolution --------------------------------------------------------

struct Resolution {
  const char *in;
  const char *name;
  const char *original;
  bool local;
};

TEST_F(Local, AliasFilterResolvesRecipients) {
  LocalUserAliasMap = {{"sales", "bob"},           {"team*", "*@remote.net"},
                       {"chain", "sales"},         {"ext", "someone@else.net"},
                       {"drop", ""}};
  Postmaster = "administrator";
  const Resolution cases[] = {
      {"postmaster@example.org", "administrator", "postmaster@example.org", true},
      {"PostMaster@MAIL.EXAMPLE.ORG", "administrator", "PostMaster@MAIL.EXAMPLE.ORG", true},
      {"postmaster", "administrator", "postmaster", true},
      {"\"postmaster\"@example.org", "administrator", "\"postmaster\"@example.org", true},
      {"alice@example.org", "alice", "alice@example.org", true},
      {"alice", "alice", "", true},
      {"alice@remote.net", "alice@remote.net", "", false},
      {"sales@example.org", "bob", "sales@example.org", true},
      {"SALES", "bob", "SALES", true},
      {"teamA@example.org", "teamA@remote.net", "teamA@example.org", false},
      // An alias is applied once: "chain" gives "sales", not "bob".
      {"chain", "sales", "chain", true},
      {"ext@mail.example.org", "someone@else.net", "ext@mail.example.org", false},
      {"drop", "", "drop", true},
  };
  for (const Resolution &c : cases) {
    MsgInfoPtr info = Info("B0000000001", "s@example.net", {c.in});
    AliasFilter(*info);
    EXPECT_STREQ(info->Rcp->Name, c.name) << c.in;
    EXPECT_STREQ(info->Rcp->OriginalAddress, c.original) << c.in;
    EXPECT_EQ(info->Rcp->bIsLocalUser != 0, c.local) << c.in;
  }
}

TEST_F(Local, AliasForwardsSplitWithAnSrsSender) {
  LocalUserAliasMap = {{"sales", "bob"}, {"team*", "*@remote.net"}};
  ForwardSrs = SrsSettings{};
  ForwardSrs.Secret = "0123456789abcdef";
  ForwardSrs.Domain = "mail.example.org";
  auto names = [](const _tMsgInfo &info) {
    std::string out;
    for (const _tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next) out += std::string(r->Name) + ",";
    return out;
  };
  // Only some recipients forward: they move into a record of their own.
  MsgInfoPtr info = Info("B0000000001", "s@example.net",
                         {"sales@example.org", "teamA", "x@remote.net", "teamB@example.org"});
  AliasFilter(*info);
  MsgInfoPtr copy = SplitAliasForwards(*info, "B0000000001-srs");
  ASSERT_TRUE(copy);
  EXPECT_EQ(names(*info), "bob,x@remote.net,");
  EXPECT_STREQ(info->ReturnPath, "s@example.net");
  EXPECT_EQ(names(*copy), "teamA@remote.net,teamB@remote.net,");
  EXPECT_EQ(std::string(copy->MessageId).substr(0, 16), "B0000000001-srs@");
  EXPECT_TRUE(std::string(copy->ReturnPath).starts_with("SRS0=")) << copy->ReturnPath;
  // All of them forward: the message's own sender is rewritten.
  info = Info("B0000000002", "s@example.net", {"teamA"});
  AliasFilter(*info);
  EXPECT_FALSE(SplitAliasForwards(*info, "B0000000002-srs"));
  EXPECT_TRUE(std::string(info->ReturnPath).starts_with("SRS0=")) << info->ReturnPath;
  // The null sender stays null, and no copy is made.
  info = Info("B0000000003", "", {"bob", "teamA"});
  AliasFilter(*info);
  EXPECT_FALSE(SplitAliasForwards(*info, "B0000000003-srs"));
  EXPECT_STREQ(info->ReturnPath, "");
  EXPECT_EQ(names(*info), "bob,teamA@remote.net,");
  ForwardSrs = SrsSettings{};
}

TEST_F(Local, PostmasterMapsToConfiguredAccount) {
  Postmaster = "root@admin.example.net";
  MsgInfoPtr info = Info("B0000000001", "", {"postmaster@example.org"});
  AliasFilter(*info);
  EXPECT_STREQ(info->Rcp->Name, "root@admin.example.net");
  EXPECT_FALSE(info->Rcp->bIsLocalUser);
}

class AliasLoad : public Local {
 protected:
  void SetUp() override {
    Local::SetUp();
    RegDeleteTree(HKEY_LOCAL_MACHINE, kAliasesKey);
  }
  void TearDown() override {
    RegDeleteTree(HKEY_LOCAL_MACHINE, kAliasesKey);
    Local::TearDown();
  }
  static void Put(const char *n, const char *alias, const char *mapped) {
    RegKey key;
    std::string path = std::string(kAliasesKey) + "\\" + n;
    ASSERT_EQ(
        RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS, key.out(), nullptr), 0);
    if (alias != nullptr)
      RegSetValueEx(key.get(), "Alias", REG_SZ, alias, static_cast<DWORD>(strlen(alias) + 1));
    if (mapped != nullptr)
      RegSetValueEx(key.get(), "MappedTo", REG_SZ, mapped, static_cast<DWORD>(strlen(mapped) + 1));
  }
  static std::vector<std::string> Masks() {
    std::vector<std::string> out;
    for (const _tMapTable &e : LocalUserAliasMap) out.push_back(e.Mask + "=" + e.Result);
    return out;
  }
};

TEST_F(AliasLoad, NumberedSubkeysUntilTheFirstGap) {
  Put("1", "a", "x");
  Put("2", "b", nullptr);
  Put("4", "d", "z");
  LoadAliasConfig();
  EXPECT_EQ(Masks(), (std::vector<std::string>{"a=x", "b="}));
}

TEST_F(AliasLoad, SubkeyWithoutAliasEndsTheMap) {
  Put("1", "a", "x");
  Put("2", nullptr, "y");
  Put("3", "c", "z");
  LoadAliasConfig();
  EXPECT_EQ(Masks(), (std::vector<std::string>{"a=x"}));
  // An Alias too long for its field is unreadable, and ends the map too.
  std::string longMask(kMaxAliasField + 1, 'm');
  Put("2", longMask.c_str(), "y");
  LoadAliasConfig();
  EXPECT_EQ(Masks(), (std::vector<std::string>{"a=x"}));
}

TEST_F(AliasLoad, ReloadReplacesTheMapAndReadsTheVersion) {
  Put("1", "a", "x");
  RegKey key;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kAliasesKey, KEY_ALL_ACCESS, key.out(), nullptr), 0);
  DWORD version = 7;
  RegSetValueEx(key.get(), "ConfigVersion", REG_DWORD, &version, sizeof version);
  LoadAliasConfig();
  LoadAliasConfig();
  EXPECT_EQ(Masks(), (std::vector<std::string>{"a=x"}));
  EXPECT_EQ(CurrentAliasConfigVersion, 7);
}

TEST_F(Local, LocalUserNameIsBareLowerAndBounded) {
  EXPECT_EQ(LocalUserName("Alice@Example.ORG"), "alice");
  EXPECT_EQ(LocalUserName("\"Odd User\"@example.org"), "odd user");
  EXPECT_EQ(LocalUserName("BOB"), "bob");
  std::string longName(200, 'x');
  EXPECT_EQ(LocalUserName(longName.c_str()), std::string(kMaxLocalUserName, 'x'));
}

// --- mailbox copies and failures --------------------------------------

TEST_F(Local, TenCopiesThenTooManyCopies) {
  PutHeld("B0000000100", kHeld);
  for (int i = 0; i < kMaxMailboxCopies; ++i) {
    _tRcpInfo *r;
    ASSERT_EQ(Deliver("B0000000100", "sender@example.net", "alice", &r), kDeliveryOk) << i;
    EXPECT_TRUE(r->bDisposed);
  }
  std::vector<std::string> expected = {"B0000000100.MSG"};
  for (int i = 1; i <= 9; ++i) expected.push_back("B0000000100-" + std::to_string(i) + ".MSG");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ListDir(Mailbox("alice"), ".MSG"), expected);
  EXPECT_EQ(Slurp(Mailbox("alice") + "/B0000000100-9.MSG"), Crlf(kHeld));
  EXPECT_TRUE(Incoming().empty());

  _tRcpInfo *r;
  EXPECT_EQ(Deliver("B0000000100", "sender@example.net", "alice", &r), kDeliveryTooManyCopies);
  EXPECT_TRUE(r->bDisposed);  // the report was queued
  auto out = Incoming();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_NE(out[0].text.find("There are too many copies of this message in the user's mailbox\n"),
            std::string::npos);
  EXPECT_EQ(ListDir(Mailbox("alice")).size(), 10u);  // no temporary left behind
}

struct FailureCase {
  const char *name;
  const char *user;
  int result;
  const char *text;
};

TEST_F(Local, FailuresBecomeReports) {
  PutHeld("B0000000101", kHeld);
  AutoCreateInboxEnabled = false;
  LocalFailuresToPostmaster = false;
  const FailureCase cases[] = {
      {"no account", "nobody", kDeliveryNoAccount, "User not known"},
      {"no mailbox", "carol", kDeliveryNoMailbox, "User does not have a mailbox"},
  };
  for (const FailureCase &c : cases) {
    ClearIncoming();
    _tRcpInfo *r;
    EXPECT_EQ(Deliver("B0000000101", "sender@example.net", c.user, &r), c.result) << c.name;
    EXPECT_TRUE(r->bDisposed) << c.name;
    auto out = Incoming();
    ASSERT_EQ(out.size(), 1u) << c.name;
    EXPECT_NE(out[0].text.find(std::string(c.text) + "\n"), std::string::npos) << c.name;
    EXPECT_EQ(out[0].Recipients(), std::vector<std::string>{"sender@example.net"}) << c.name;
  }
}

TEST_F(Local, FailureTexts) {
  EXPECT_EQ(LocalDeliveryFailureText(kDeliveryNoHome, 0), "User home directory unknown");
  EXPECT_EQ(LocalDeliveryFailureText(kDeliveryAccessDenied, EACCES),
            "User's mailbox is not accessible to the mail server");
  EXPECT_EQ(LocalDeliveryFailureText(kDeliveryDiskFull, ENOSPC), "User's mailbox is full");
  EXPECT_EQ(LocalDeliveryFailureText(kDeliveryMessageMissing, ENOENT),
            "Message file missing - message not delivered");
  EXPECT_EQ(LocalDeliveryFailureText(kDeliverySystemError, EIO),
            "Could not deliver message - system error:\nInput/output error");
  EXPECT_EQ(LocalDeliveryFailureText(4, EROFS),
            "Could not deliver message - system error:\nRead-only file system");
  EXPECT_LE(LocalDeliveryFailureText(kDeliverySystemError, 0).size(), kMaxFailureText);
}

TEST_F(Local, MissingHeldMessageIsResultEightWithEvent) {
  MakeMailbox("alice");
  _tRcpInfo *r;
  EXPECT_EQ(Deliver("B0000000102", "sender@example.net", "alice", &r), kDeliveryMessageMissing);
  EXPECT_TRUE(r->bDisposed);
  auto out = Incoming();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_NE(out[0].text.find("Message file missing - message not delivered\n"), std::string::npos);
  EXPECT_NE(out[0].text.find("Original message not available.\n"), std::string::npos);
  std::string events = Slurp(EventLogPath());
  EXPECT_NE(events.find(" 128 0xC0000080 The message B0000000102@mail.example.org cannot be found"),
            std::string::npos);
}

TEST_F(Local, LocalFailuresToPostmasterCopy) {
  PutHeld("B0000000103", kHeld);
  LocalFailuresToPostmaster = true;
  Deliver("B0000000103", "sender@example.net", "nobody");
  auto out = Incoming();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Recipients(),
            (std::vector<std::string>{"sender@example.net", "postmaster@mail.example.org"}));
  EXPECT_NE(out[0].text.find("\nCc: postmaster@mail.example.org\n"), std::string::npos);
}

TEST_F(Local, FailingPostmasterWithoutReturnPathIsDeadLetter) {
  PutHeld("B0000000104", kHeld);
  AutoCreateInboxEnabled = false;  // administrator has no mailbox
  _tRcpInfo *r;
  EXPECT_EQ(Deliver("B0000000104", "", "administrator", &r), kDeliveryNoMailbox);
  EXPECT_TRUE(r->bDisposed);
  EXPECT_TRUE(Incoming().empty());
  EXPECT_EQ(Slurp(MailDeadDirectory + "/B0000000104.MSG"), Crlf(kHeld));
  EXPECT_EQ(Slurp(MailDeadDirectory + "/B0000000104.TXT"),
            Crlf("B0000000104.MSG is dead because:\nCannot deliver to postmaster\n\n"));
  // With a return path the postmaster's failure is reported as any other.
  EXPECT_EQ(Deliver("B0000000104", "sender@example.net", "administrator", &r), kDeliveryNoMailbox);
  EXPECT_EQ(Incoming().size(), 1u);
}

// Events 138 about one message in the event log.
size_t DeferralEvents(const std::string &id) {
  std::string log = Slurp(EventLogPath()), mark = " 138 0xC000008A Delivery of message " + id;
  size_t n = 0;
  for (size_t at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1)) ++n;
  return n;
}

TEST_F(Local, AccountsThatCannotBeReadKeepTheRecipient) {
  PutHeld("B0000000130", kHeld);
  WriteFile(AccountsFilePath(), "computer:MAILHOST\nuser:MAILHOST:alice::\n");  // no domain
  for (int pass = 0; pass < 3; ++pass) {
    _tRcpInfo *r;
    EXPECT_EQ(Deliver("B0000000130", "sender@example.net", "alice", &r), kMailboxLookupFailed);
    EXPECT_FALSE(r->bDisposed);
    EXPECT_EQ(Deliver("B0000000130", "sender@example.net", "nobody", &r), kMailboxLookupFailed);
    EXPECT_FALSE(r->bDisposed);   // not "User not known"
  }
  EXPECT_TRUE(Incoming().empty());
  EXPECT_TRUE(ListDir(MailDeadDirectory).empty());
  // Said once for the message and its cause, not at every pass.
  EXPECT_EQ(DeferralEvents("B0000000130"), 1u) << Slurp(EventLogPath());
  EXPECT_NE(Slurp(EventLogPath()).find("the accounts cannot be read: "), std::string::npos);
  InstallAccounts();
  _tRcpInfo *r;
  EXPECT_EQ(Deliver("B0000000130", "sender@example.net", "alice", &r), kDeliveryOk);
  EXPECT_TRUE(r->bDisposed);
}

TEST_F(Local, AMailboxSwappedForALinkGetsNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "a link of another user needs root";
  PutHeld("B0000000131", kHeld);
  MakeMailbox("bob");
  ControlFile("bob", "[AutoForward]\nForwardTo=far@remote.net\n[AutoReply]\nEchoMessage=1\n");
  Shell("ln -s bob '" + Mailbox("alice") + "' && chown -h 65534 '" + Mailbox("alice") + "'");
  for (int pass = 0; pass < 2; ++pass) {
    _tRcpInfo *r;
    EXPECT_EQ(Deliver("B0000000131", "sender@example.net", "alice", &r), kDeliveryUnusable);
    EXPECT_FALSE(r->bDisposed);
  }
  // Neither bob's mailbox nor his settings were touched, nothing was sent.
  EXPECT_TRUE(ListDir(Mailbox("bob"), ".MSG").empty());
  EXPECT_TRUE(Incoming().empty());
  EXPECT_EQ(DeferralEvents("B0000000131"), 1u);
  EXPECT_NE(Slurp(EventLogPath()).find("a symbolic link stands on its path"), std::string::npos);
}

TEST_F(Local, DeliverToLocalUsersMarksEachRecipient) {
  PutHeld("B0000000105", kHeld);
  MsgInfoPtr info = Info("B0000000105", "sender@example.net", {"alice", "Bob@example.org"});
  info->Rcp->Next->bDisposed = 1;  // already done: left alone
  EXPECT_TRUE(DeliverToLocalUsers(*info, nullptr));
  EXPECT_TRUE(info->Rcp->bDisposed);
  EXPECT_TRUE(FileExists(Mailbox("alice") + "/B0000000105.MSG"));
  EXPECT_FALSE(DirectoryExists(Mailbox("bob")));
  // A failure whose report cannot be written stays for the next pass.
  Shell("rm -rf '" + MailQueueDirectory + "'");
  MsgInfoPtr both = Info("B0000000105", "sender@example.net", {"nobody", "Bob@example.org"});
  EXPECT_FALSE(DeliverToLocalUsers(*both, nullptr));
  EXPECT_FALSE(both->Rcp->bDisposed);
  EXPECT_TRUE(both->Rcp->Next->bDisposed);
  EXPECT_TRUE(FileExists(Mailbox("bob") + "/B0000000105.MSG"));
  CreateDirectory(MailQueueDirectory);
}

TEST_F(Local, GroupedCopiesAreNamedOnlyAtTheCommit) {
  PutHeld("B0000000106", kHeld);
  PutHeld("B0000000107", kHeld);
  // "alice" twice (an alias and the name): two copies in one mailbox.
  MsgInfoPtr first = Info("B0000000106", "sender@example.net", {"alice", "Alice"});
  MsgInfoPtr second = Info("B0000000107", "sender@example.net", {"alice"});
  MailboxCopyGroup group;
  EXPECT_TRUE(DeliverToLocalUsers(*first, &group));
  EXPECT_TRUE(DeliverToLocalUsers(*second, &group));
  EXPECT_TRUE(ListDir(Mailbox("alice"), "").empty());   // written, but nameless
  CommitLocalCopies(&group);
  EXPECT_TRUE(group.Entries.empty());
  EXPECT_EQ(ListDir(Mailbox("alice"), ""),
            (std::vector<std::string>{"B0000000106-1.MSG", "B0000000106.MSG", "B0000000107.MSG"}));
  EXPECT_EQ(Slurp(Mailbox("alice") + "/B0000000106-1.MSG"), Crlf(kHeld));

  // Every name taken between staging and commit: the recipient is given
  // back for a later pass (which then reports the ten copies), no copy.
  PutHeld("B0000000108", kHeld);
  MsgInfoPtr third = Info("B0000000108", "sender@example.net", {"alice"});
  EXPECT_TRUE(DeliverToLocalUsers(*third, &group));
  for (int copy = 0; copy < kMaxMailboxCopies; ++copy)
    WriteMailboxFile("alice", CreateFileNameFromMessageId("", "B0000000108@x", copy, 0), "x");
  CommitLocalCopies(&group);
  EXPECT_FALSE(third->Rcp->bDisposed);
  EXPECT_EQ(DeferralEvents("B0000000108"), 1u);
}

// --- discard and forwarding --------------------------------------------

TEST_F(Local, DiscardWithAndWithoutForward) {
  PutHeld("B0000000110", kHeld);
  MakeMailbox("bob");
  ControlFile("bob",
              "[Delivery]\nDiscard=yes\n[AutoForward]\nForwardTo=Someone <far@remote.net>\n");
  EXPECT_EQ(Deliver("B0000000110", "sender@example.net", "bob"), kDeliveryOk);
  EXPECT_TRUE(ListDir(Mailbox("bob"), ".MSG").empty());
  auto out = Incoming();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Recipients(), std::vector<std::string>{"far@remote.net"});
  EXPECT_STREQ(out[0].envelope->ReturnPath, "sender@example.net");

  // Discard alone throws the mail away.
  ClearIncoming();
  ControlFile("bob", "[Delivery]\nDiscard=TRUE\n");
  EXPECT_EQ(Deliver("B0000000110", "sender@example.net", "bob"), kDeliveryOk);
  EXPECT_TRUE(ListDir(Mailbox("bob"), ".MSG").empty());
  EXPECT_TRUE(Incoming().empty());

  // A forward that cannot be written keeps a mailbox copy after all.
  ControlFile("bob", "[Delivery]\nDiscard=yes\n[AutoForward]\nForwardTo=far@remote.net\n");
  Shell("rm -rf '" + MailQueueDirectory + "'");
  EXPECT_EQ(Deliver("B0000000110", "sender@example.net", "bob"), kDeliveryOk);
  EXPECT_EQ(ListDir(Mailbox("bob"), ".MSG"), std::vector<std::string>{"B0000000110.MSG"});
  CreateDirectory(MailQueueDirectory);
}

TEST_F(Local, ForwardRewritesSenderLines) {
  PutHeld("B0000000111", "From: a@example.net\nSender: list@example.net\n"
                         "Original-Sender: x@example.net\nSubject: s\n\nbody\n..dot\n.\n");
  MakeMailbox("bob");
  ControlFile("bob", "[AutoForward]\nForwardTo=far@remote.net\n");
  _tRcpInfo *r;
  info_ = Info("B0000000111", "sender@example.net", {"bob"});
  STRNCPY(info_->Rcp->OriginalAddress, "Robert@Example.ORG", sizeof info_->Rcp->OriginalAddress);
  r = info_->Rcp;
  EXPECT_EQ(DeliverToLocalUser(*info_, *r, "bob"), kDeliveryOk);
  EXPECT_EQ(ListDir(Mailbox("bob"), ".MSG").size(), 1u);  // no Discard: copy too
  auto out = Incoming();
  ASSERT_EQ(out.size(), 1u);
  std::string id = out[0].base + "@mail.example.org";
  EXPECT_STREQ(out[0].envelope->MessageId, id.c_str());
  EXPECT_EQ(out[0].text, "From: a@example.net\nOriginal-sender: list@example.net\n"
                         "Original-Sender: x@example.net\nSubject: s\n"
                         "Sender: Robert@Example.ORG\nResent-Message-Id: <" + id + ">\n"
                         "\nbody\n..dot\n.\n");
}

TEST_F(Local, ForwardToSelfIsStoppedAtTheThirdArrival) {
  PutHeld("B0000000112", kHeld);
  MakeMailbox("u");
  ControlFile("u", "[AutoForward]\nForwardTo=u@example.org\n[Delivery]\nDiscard=yes\n");
  std::string id = "B0000000112";
  for (int arrival = 1; arrival <= 2; ++arrival) {
    ClearIncoming();
    EXPECT_EQ(Deliver(id, "sender@example.net", "u"), kDeliveryOk) << arrival;
    EXPECT_TRUE(ListDir(Mailbox("u"), ".MSG").empty()) << arrival;
    auto out = Incoming();
    ASSERT_EQ(out.size(), 1u) << arrival;
    EXPECT_EQ(out[0].Recipients(), std::vector<std::string>{"u@example.org"});
    // The scan would move the forward to holding: do the same.
    id = out[0].base;
    ASSERT_EQ(rename((MailQueueDirectory + "/" + id + ".MSG").c_str(),
                     (MailHoldingDirectory + "/" + id + ".MSG").c_str()),
              0);
  }
  std::string held = Unix(Slurp(MailHoldingDirectory + "/" + id + ".MSG"));
  EXPECT_NE(held.find("\nOriginal-sender: u@mail.example.org\n"), std::string::npos);
  ClearIncoming();
  EXPECT_EQ(Deliver(id, "sender@example.net", "u"), kDeliveryOk);
  EXPECT_TRUE(Incoming().empty());
  EXPECT_EQ(ListDir(Mailbox("u"), ".MSG"), std::vector<std::string>{id + ".MSG"});
  EXPECT_EQ(Slurp(MailDeadDirectory + "/" + id + ".TXT"),
            Crlf(id + ".MSG is dead because:\nMail loop detected when forwarding\n\n"));
}

TEST_F(Local, OriginalSenderMustNameTheWholeAddress) {
  // "u@mail.example.org" is a prefix of this address, and no loop.
  PutHeld("B0000000113", "Original-Sender: u@mail.example.org.evil.net\nSubject: s\n\nb\n.\n");
  MakeMailbox("u");
  ControlFile("u", "[AutoForward]\nForwardTo=far@remote.net\n");
  Deliver("B0000000113", "sender@example.net", "u");
  EXPECT_EQ(Incoming().size(), 1u);
  EXPECT_TRUE(ListDir(MailDeadDirectory).empty());
}

TEST_F(Local, ForwardOfMessageWithoutBodyKeepsItsTrace) {
  PutHeld("B0000000114", "Subject: only a header\n.\n");
  MakeMailbox("bob");
  ControlFile("bob", "[AutoForward]\nForwardTo=far@remote.net\n");
  Deliver("B0000000114", "sender@example.net", "bob");
  auto out = Incoming();
  ASSERT_EQ(out.size(), 1u);
  std::string id = out[0].base + "@mail.example.org";
  EXPECT_EQ(out[0].text, "Subject: only a header\nSender: bob@mail.example.org\n"
                         "Resent-Message-Id: <" + id + ">\n\n.\n");
}

TEST_F(Local, ForwardAddressThatCannotBeWrittenKeepsTheCopy) {
  PutHeld("B0000000115", kHeld);
  MakeMailbox("bob");
  ControlFile("bob", "[AutoForward]\nForwardTo=" + std::string(kMaxRecipientName + 1, 'f') +
                         "@remote.net\n[Delivery]\nDiscard=yes\n");
  EXPECT_EQ(Deliver("B0000000115", "sender@example.net", "bob"), kDeliveryOk);
  EXPECT_TRUE(Incoming().empty());
  EXPECT_EQ(ListDir(Mailbox("bob"), ".MSG").size(), 1u);
}

// --- automatic replies --------------------------------------------------

TEST_F(Local, EchoWithoutReplyFile) {
  PutHeld("B0000000120", kHeld);
  MakeMailbox("alice");
  ControlFile("alice", "[AutoReply]\nEchoMessage=1\n");
  EXPECT_EQ(Deliver("B0000000120", "sender@example.net", "alice"), kDeliveryOk);
  auto out = Incoming();
  ASSERT_EQ(out.size(), 1u);
  std::string id = out[0].base + "@mail.example.org";
  EXPECT_EQ(out[0].Stable(),
            "To: sender@example.net\nSubject: Automatic reply\nFrom: alice@mail.example.org\n"
            "Sender: alice@mail.example.org\nMessage-Id: <" + id + ">\nDate: *\n"
            "Auto-Submitted: auto-replied\n\n\n\nYour message reads:\n\n" + kHeld.substr(0, kHeld.size() - 2) + "\n.\n");
  EXPECT_EQ(out[0].Recipients(), std::vector<std::string>{"sender@example.net"});
  EXPECT_STREQ(out[0].envelope->ReturnPath, "");
  EXPECT_EQ(ListDir(Mailbox("alice"), ".MSG").size(), 1u);
}

TEST_F(Local, ReplyFileIsSplitAndDotStuffed) {
  PutHeld("B0000000121", kHeld);
  MakeMailbox("alice");
  ControlFile("alice", "[AutoReply]\nReplyFrom=Holiday <away@example.org>\n");
  std::string longLine(kMaxAutoReplyPiece + 10, 'x');
  WriteMailboxFile("alice", kAutoReplyFileName,
                   Crlf("I am away.\n.hidden\n" + longLine + "\nno newline at end"));
  Deliver("B0000000121", "sender@example.net", "alice");
  auto out = Incoming();
  ASSERT_EQ(out.size(), 1u);
  const std::string &t = out[0].text;
  EXPECT_NE(t.find("\nFrom: Holiday <away@example.org>\n"), std::string::npos);
  size_t body = t.find("\n\n") + 2;
  EXPECT_EQ(t.substr(body), "I am away.\n..hidden\n" + std::string(kMaxAutoReplyPiece, 'x') +
                                "\nxxxxxxxxxx\nno newline at end\n\n\n.\n");
}

TEST_F(Local, ReplyFileIsBounded) {
  PutHeld("B0000000122", kHeld);
  MakeMailbox("alice");
  std::string line(99, 'r');
  std::string text;
  for (size_t i = 0; i < 2 * kMaxAutoReplyBytes / 100; ++i) text += line + "\n";
  WriteMailboxFile("alice", kAutoReplyFileName, text);
  Deliver("B0000000122", "sender@example.net", "alice");
  auto out = Incoming();
  ASSERT_EQ(out.size(), 1u);
  size_t body = out[0].text.find("\n\n") + 2;
  EXPECT_EQ(out[0].text.size() - body, (kMaxAutoReplyBytes / 100) * 100 + 4);
}

struct ReplyRule {
  const char *name;
  std::string header;      // the held message's header lines
  const char *returnPath;
  const char *noReply;     // NOREPLY.TXT
  const char *replied;     // REPLIED.TXT
  const char *replyTo;     // expected reply recipient, or "" for none
};

TEST_F(Local, ReplyRules) {
  const ReplyRule cases[] = {
      {"plain from", "From: A <a@example.net>\n", "s@example.net", "", "", "a@example.net"},
      {"reply-to first", "From: a@example.net\nReply-To: r@example.net\n", "s@example.net", "",
       "", "r@example.net"},
      {"return path last", "Subject: x\n", "s@example.net", "", "", "s@example.net"},
      {"no return path", "From: a@example.net\n", "", "", "", ""},
      {"owner- reply", "From: owner-list@example.net\n", "s@example.net", "", "", ""},
      {"-request reply", "From: List-Request@example.net\n", "s@example.net", "", "", ""},
      {"bare -request is not a list", "From: -request@example.net\n", "s@example.net", "", "",
       "-request@example.net"},
      {"sender is a list", "From: a@example.net\nSender: owner-l@lists.net\n", "s@example.net",
       "", "", ""},
      {"sender is a person", "From: a@example.net\nSender: p@example.net\n", "s@example.net",
       "", "", "a@example.net"},
      {"noreply to", "From: a@example.net\nTo: x@example.org, Alias <List@Lists.Example.ORG>\n",
       "s@example.net", "other@x.net\r\nlist@lists.example.org\r\n", "", ""},
      {"noreply cc", "From: a@example.net\nCc: list@lists.example.org\n", "s@example.net",
       "Some List <LIST@lists.example.org>\n", "", ""},
      {"noreply other", "From: a@example.net\nTo: x@example.org\n", "s@example.net",
       "list@lists.example.org\n", "", "a@example.net"},
      {"already replied", "From: a@example.net\n", "s@example.net", "", "b@x.net\nA@EXAMPLE.NET\n",
       ""},
      // Automatic and list mail gets no automatic reply (RFC 3834).
      {"auto-submitted", "From: a@example.net\nAuto-Submitted: auto-generated\n", "s@example.net",
       "", "", ""},
      {"auto-submitted no", "From: a@example.net\nAUTO-SUBMITTED: No (a person)\n",
       "s@example.net", "", "", "a@example.net"},
      {"precedence bulk", "From: a@example.net\nPrecedence: Bulk\n", "s@example.net", "", "", ""},
      {"precedence list", "From: a@example.net\nPrecedence: list\n", "s@example.net", "", "", ""},
      {"precedence junk", "From: a@example.net\nPrecedence: junk;x\n", "s@example.net", "", "", ""},
      {"precedence other", "From: a@example.net\nPrecedence: first-class\n", "s@example.net", "",
       "", "a@example.net"},
      {"list-id", "From: a@example.net\nList-Id: Staff <staff.example.net>\n", "s@example.net",
       "", "", ""},
  };
  for (const ReplyRule &c : cases) {
    SCOPED_TRACE(c.name);
    ClearIncoming();
    Shell("rm -rf '" + Mailbox("alice") + "'");
    MakeMailbox("alice");
    WriteMailboxFile("alice", kAutoReplyFileName, "away\n");
    if (*c.noReply) WriteMailboxFile("alice", kNoReplyFileName, c.noReply);
    if (*c.replied) WriteMailboxFile("alice", kRepliedFileName, c.replied);
    PutHeld("B0000000123", c.header + "\nbody\n.\n");
    EXPECT_EQ(Deliver("B0000000123", c.returnPath, "alice"), kDeliveryOk);
    auto out = Incoming();
    if (*c.replyTo == '\0') {
      EXPECT_TRUE(out.empty());
      continue;
    }
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].Recipients(), std::vector<std::string>{c.replyTo});
    std::string toLine = "To: " + std::string(c.replyTo) + "\n";
    EXPECT_EQ(out[0].text.substr(0, toLine.size()), toLine);
  }
}

TEST_F(Local, OneAutomaticReplyPerSenderAndDay) {
  MakeMailbox("alice");
  WriteMailboxFile("alice", kAutoReplyFileName, "away\n");
  auto replies = [&](const char *from) {
    ClearIncoming();
    PutHeld("B0000000127", std::string("From: ") + from + "\n\nbody\n.\n");
    EXPECT_EQ(Deliver("B0000000127", "s@example.net", "alice"), kDeliveryOk);
    return Incoming().size();
  };
  EXPECT_EQ(replies("a@example.net"), 1u);
  EXPECT_EQ(replies("A@Example.NET"), 0u);
  EXPECT_EQ(replies("b@example.net"), 1u);
  std::string memory = Mailbox("alice") + "/" + kRepliedTodayFileName;
  EXPECT_EQ(Slurp(memory), "Day: " + TodayStamp() + "\na@example.net\nb@example.net\n");
  // Yesterday's list counts for nothing.
  WriteFile(memory, "Day: 2000-01-01\r\na@example.net\r\n");
  EXPECT_EQ(replies("a@example.net"), 1u);
  // A full day answers nobody new (and says so by not replying).
  std::string full = "Day: " + TodayStamp() + "\n";
  for (size_t n = 0; n < kMaxRepliesPerDay; ++n) full += "p" + std::to_string(n) + "@x.net\n";
  WriteFile(memory, full);
  EXPECT_EQ(replies("c@example.net"), 0u);
  // A list that cannot be written sends nothing (the next delivery could
  // not know it had answered).
  Shell("rm -f '" + memory + "' && mkdir '" + memory + "'");
  EXPECT_EQ(replies("d@example.net"), 0u);
}

TEST(AutoReply, RepliedTodayIsBounded) {
  std::string today = "2026-12-07";
  std::string text = "Day: 2026-12-07\r\n\r\nA@b.net\r\n" + std::string(600, 'x') + "\n";
  EXPECT_TRUE(RepliedToday(text, today, "a@B.NET"));
  EXPECT_FALSE(RepliedToday(text, "2026-12-08", "a@b.net"));
  EXPECT_FALSE(RepliedToday(text, today, std::string(600, 'x')));   // lines count to 511
  std::string updated;
  ASSERT_TRUE(RememberReply("garbage\n", today, "c@d.net", updated));
  EXPECT_EQ(updated, "Day: 2026-12-07\nc@d.net\n");
}

TEST_F(Local, NoHeaderInjectionThroughTheReplyAddress) {
  MakeMailbox("alice");
  WriteMailboxFile("alice", kAutoReplyFileName, "away\n");
  for (const char *replyTo : {"\"x\rBcc: victim@x.net\"@evil.net", "x\rBcc: victim@x.net",
                              "\"a\\\r\"@evil.net"}) {
    ClearIncoming();
    PutHeld("B0000000126", std::string("From: a@example.net\nReply-To: ") + replyTo + "\n\nb\n.\n");
    EXPECT_EQ(Deliver("B0000000126", "s@example.net", "alice"), kDeliveryOk);
    for (const Generated &g : Incoming()) {
      for (const std::string &r : g.Recipients()) EXPECT_TRUE(IsSafeHeaderText(r)) << r;
      std::string header = g.text.substr(0, g.text.find("\n\n"));
      EXPECT_EQ(header.find('\r'), std::string::npos) << replyTo;
      EXPECT_EQ(header.find("\nBcc:"), std::string::npos) << replyTo;
    }
  }
}

TEST_F(Local, RecordRepliesRepliesOnce) {
  PutHeld("B0000000124", kHeld);
  MakeMailbox("alice");
  ControlFile("alice", "[AutoReply]\nEchoMessage=yes\nRecordReplies=yes\n");
  Deliver("B0000000124", "sender@example.net", "alice");
  EXPECT_EQ(Incoming().size(), 1u);
  EXPECT_EQ(Slurp((Mailbox("alice") + "/" + kRepliedFileName)), "sender@example.net\r\n");
  ClearIncoming();
  Deliver("B0000000124", "sender@example.net", "alice");
  EXPECT_TRUE(Incoming().empty());
  EXPECT_EQ(ListDir(Mailbox("alice"), ".MSG").size(), 2u);
}

TEST_F(Local, FailedReplyIsRecordedAndDoesNotHinderDelivery) {
  PutHeld("B0000000125", kHeld);
  MakeMailbox("alice");
  ControlFile("alice", "[AutoReply]\nEchoMessage=yes\nRecordReplies=yes\n");
  Shell("rm -rf '" + MailQueueDirectory + "'");
  EXPECT_EQ(Deliver("B0000000125", "sender@example.net", "alice"), kDeliveryOk);
  EXPECT_EQ(Slurp((Mailbox("alice") + "/" + kRepliedFileName)), "sender@example.net\r\n");
  EXPECT_NE(Slurp(EventLogPath()).find(" 134 0xC0000086 Autoreply to message B0000000125@"),
            std::string::npos);
  CreateDirectory(MailQueueDirectory);
}

TEST(AutoReply, ListServiceAddresses) {
  struct {
    const char *address;
    bool list;
  } cases[] = {
      {"owner-x@lists.net", true},   {"OWNER-x", true},          {"x-request@l.net", true},
      {"X-REQUEST@l.net", true},     {"-request@l.net", false},  {"ab-request@l.net", true},
      {"x-request", false},          {"x-request@a@b", false},   {"a@b-request@c", true},
      {"someone@l.net", false},      {"owner@l.net", false},     {"", false},
  };
  for (const auto &c : cases) EXPECT_EQ(IsFromAList(c.address), c.list) << c.address;
}

// --- reading and copying message files ----------------------------------

TEST_F(Local, ObtainMessageHeaders) {
  std::string path = MailHoldingDirectory + "/h.MSG";
  std::string huge(kMaxHeaderField + 100, 's');
  WriteFile(path, Crlf("FROM:   first@example.net\n"
                       "To: a@example.org,\n\tb@example.org\n"
                       "Reply-To:r@example.net\n"
                       "Subject: " + huge + "\n more\n"
                       "From: second@example.net\n"
                       "X-Sender: not@this.net\n"
                       "\n"
                       "Sender: body@example.net\n.\n"));
  std::optional<std::string> from, to, cc, replyTo, subject, sender;
  ASSERT_TRUE(ObtainMessageHeaders(path, &from, &to, &cc, &replyTo, &subject, &sender));
  EXPECT_EQ(from, "second@example.net");
  EXPECT_EQ(to, "a@example.org,\n\tb@example.org");
  EXPECT_FALSE(cc.has_value());
  EXPECT_EQ(replyTo, "r@example.net");
  ASSERT_TRUE(subject.has_value());
  EXPECT_EQ(subject->size(), kMaxHeaderField - strlen("Subject: "));
  EXPECT_FALSE(sender.has_value());  // only the header counts
  // Fields not wanted are not touched; a missing file is a failure.
  ASSERT_TRUE(ObtainMessageHeaders(path, nullptr, nullptr, &cc, nullptr, nullptr, nullptr));
  EXPECT_FALSE(ObtainMessageHeaders(path + ".none", &from, nullptr, nullptr, nullptr, nullptr,
                                    nullptr));
  EXPECT_FALSE(from.has_value());
}

TEST_F(Local, AppendMessageFileStopsAtTheEndLine) {
  std::string path = MailHoldingDirectory + "/c.MSG";
  // A long body line whose last piece is ".": not the end of the message.
  std::string longLine(kMaxCopyLine, 'l');
  WriteFile(path, Crlf("Subject: s\n\n" + longLine + ".\n..x\n.\nafter\n"));
  std::string out = ZelPath("/copy.out");
  {
    TextFile f;
    ASSERT_TRUE(f.Open(out, "w"));
    EXPECT_TRUE(AppendMessageFileToFile(path, kNoBodyLimit, f));
    EXPECT_TRUE(AppendMessageFileToFile(path + ".none", kNoBodyLimit, f));
    ASSERT_TRUE(f.Close());
  }
  EXPECT_EQ(Unix(Slurp(out)),
            "Subject: s\n\n" + longLine + ".\n..x\nOriginal message not available.\n");
}

TEST_F(Local, GeneratedMessageIsAllOrNothing) {
  std::string name;
  {
    GeneratedMessage msg;
    ASSERT_TRUE(msg.Create(kHost));
    name = msg.FileName();
    msg.Stream().Write("Subject: x\n\n.\n");
    EXPECT_TRUE(FileExists(name));
  }
  EXPECT_FALSE(FileExists(name));  // never queued: gone
  EXPECT_TRUE(ListDir(MailQueueDirectory).empty());
  {
    GeneratedMessage msg;
    ASSERT_TRUE(msg.Create(kHost));
    msg.Stream().Write("Subject: x\n\n.\n");
    EXPECT_TRUE(msg.Queue("", {"a@example.net", "b"}));
  }
  auto out = Incoming();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Recipients(), (std::vector<std::string>{"a@example.net", "b"}));
  EXPECT_EQ(out[0].text, "Subject: x\n\n.\n");
}

}  // namespace
