// Mail for users whose mail host is another host: the choice at local
// delivery (the mail host set by hand, as a directory would), the hand-off
// into the mail host's queue, and that queue's route.
#include "tests/unit/delivfixture.h"

#include <map>

#include "ZELDELIV/local.h"
#include "ZELDELIV/mailhost.h"
#include "ZELDELIV/routing.h"
#include "ZELDELIV/settings.h"
#include "common/fileutils.h"
#include "common/usermove.h"

using namespace delivtest;

namespace {

// name -> mail host; "down" cannot be looked up now; others do not exist.
const std::map<std::string, std::string> kDirectory = {
    {"alice", "MH2.example.test"}, {"bob", "mh2.example.test"}, {"carol", kHost},
    {"u", "MAIL"},                 {"v", "bad/host"},           {"administrator", ""}};

bool FakeDirectory(const std::string &name, AccountFound &found) {
  if (name == "down") {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  auto it = kDirectory.find(name);
  if (it == kDirectory.end()) {
    SetLastError(ERROR_NONE_MAPPED);
    return false;
  }
  found.Name = name;
  found.MailHost = it->second;
  return true;
}

class MailHost : public DelivTest {
 protected:
  void SetUp() override {
    DelivTest::SetUp();
    ASSERT_TRUE(CreateDirectory(MailDomainsDirectory));
    FindMailUser = FakeDirectory;
  }
  void TearDown() override {
    FindMailUser = FindAccountByName;
    DelivTest::TearDown();
  }
  static std::string Queue() { return MailDomainsDirectory + "/#mh2.example.test"; }
  static std::string Queued(const std::string &id) {
    return FileExists(Queue() + "/" + id + ".RCP") ? Unix(Slurp(Queue() + "/" + id + ".RCP")) : "";
  }
};

TEST_F(MailHost, UsersOfAnotherHostAreHandedOffOnce) {
  PutHeld("B0000000200", "Subject: x\n\nbody\n.\n");
  MsgInfoPtr info =
      Info("B0000000200", "s@example.net", {"alice", "carol", "bob", "u", "administrator"});
  EXPECT_TRUE(DeliverToLocalUsers(*info, nullptr));
  // One queue file for the host's two users, each at the host's name.
  std::string queued = Queued("B0000000200");
  EXPECT_NE(queued.find("Recipient: alice@mh2.example.test\n"), std::string::npos) << queued;
  EXPECT_NE(queued.find("Recipient: bob@mh2.example.test\n"), std::string::npos) << queued;
  EXPECT_EQ(ListDir(Queue()), std::vector<std::string>{"B0000000200.RCP"});
  // This host by its name (whole or short), or no mail host: delivered here.
  for (const char *here : {"carol", "u", "administrator"})
    EXPECT_TRUE(FileExists(Mailbox(here) + "/B0000000200.MSG")) << here;
  EXPECT_FALSE(DirectoryExists(Mailbox("alice")));
  // The same recipients again (a crash before the local queue was
  // rewritten): done, nothing filed twice.
  MsgInfoPtr again = Info("B0000000200", "s@example.net", {"alice", "bob"});
  EXPECT_TRUE(DeliverToLocalUsers(*again, nullptr));
  EXPECT_EQ(Queued("B0000000200"), queued);
  // One not in the waiting file waits for it to go.
  MsgInfoPtr late = Info("B0000000200", "s@example.net", {"alice", "bob", "carol"});
  late->Rcp->bDisposed = 1;
  WriteFile(Queue() + "/B0000000200.RCP", "Message-ID: <B0000000200@x>\nRecipient: alice@mh2.example.test\n");
  EXPECT_FALSE(DeliverToLocalUsers(*late, nullptr));
  EXPECT_FALSE(late->Rcp->Next->bDisposed);
  EXPECT_TRUE(late->Rcp->Next->Next->bDisposed);
}

TEST_F(MailHost, ADirectoryThatCannotAnswerKeepsTheMail) {
  PutHeld("B0000000201", "Subject: x\n\nbody\n.\n");
  for (int pass = 0; pass < 2; ++pass) {
    MsgInfoPtr info = Info("B0000000201", "s@example.net", {"down", "v"});
    EXPECT_FALSE(DeliverToLocalUsers(*info, nullptr));
    EXPECT_FALSE(info->Rcp->bDisposed);          // never "no such user"
    EXPECT_FALSE(info->Rcp->Next->bDisposed);    // a mail host that is no host name
  }
  EXPECT_TRUE(Incoming().empty());
  EXPECT_FALSE(DirectoryExists(MailDomainsDirectory + "/#bad"));
  std::string events = Slurp(EventLogPath());
  EXPECT_NE(events.find("the accounts cannot be read"), std::string::npos) << events;
  EXPECT_NE(events.find("names no host as the mail host of v"), std::string::npos) << events;
  // A mailbox being moved gets nothing until the move is finished.
  ASSERT_TRUE(MarkUserMove("Carol", "mh2.example.test"));
  MsgInfoPtr held = Info("B0000000201", "s@example.net", {"carol"});
  EXPECT_FALSE(DeliverToLocalUsers(*held, nullptr));
  EXPECT_FALSE(DirectoryExists(Mailbox("carol")));
  ASSERT_TRUE(ClearUserMove("carol"));
  EXPECT_TRUE(DeliverToLocalUsers(*held, nullptr));
  EXPECT_TRUE(FileExists(Mailbox("carol") + "/B0000000201.MSG"));
}

TEST_F(MailHost, TheMailHostQueueGoesToTheMailHostAlone) {
  // A route that takes all other mail (the relay host's) never takes this.
  pManualRouteInfo = {{"*", "gw.test", 0, {}, kRouteReplacesAll, 0}};
  MailHostPort = 2526;
  for (const char *ca : {"", "/etc/zel/site-ca.pem"}) {
    MailHostCa = ca;
    _RoutingInfo info;
    info.DomainName = "#mh2.example.test";
    GetUpdatedRoutingInfo(info);
    ASSERT_EQ(info.Mx.size(), 1u);
    EXPECT_EQ(info.Mx[0].HostName, "mh2.example.test");
    EXPECT_EQ(info.Mx[0].PortNo, 2526);
    EXPECT_FALSE(MailDomainIsLocal(info));
    EXPECT_EQ(DomainMtaStsPolicy(info.DomainName, info).Mode, MtaStsMode::kNone);
    SmtpTlsPolicy policy;
    std::string error;
    ASSERT_TRUE(ExchangerTlsPolicy(info.Mx[0], MtaStsPolicy(), policy, error));
    EXPECT_EQ(policy.Required(), *ca != '\0') << ca;
    if (*ca != '\0') {
      EXPECT_EQ(policy.CaFile, ca);
      EXPECT_EQ(policy.Check.Names.at(0), "mh2.example.test");
    }
  }
  // On the standard port a mail host named as this host is this host.
  MailHostPort = SmtpPort;
  _RoutingInfo self;
  self.DomainName = std::string("#") + kHost;
  GetUpdatedRoutingInfo(self);
  EXPECT_TRUE(MailDomainIsLocal(self));
  MailHostPort = kDefaultMailHostPort;
  MailHostCa.clear();
  pManualRouteInfo.clear();
}

}  // namespace
