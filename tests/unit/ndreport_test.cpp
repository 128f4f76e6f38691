// Failure reports byte for byte (each opening, To and Cc lines, recipients,
// the quoted message and its truncation) and dead letters.
#include "tests/unit/delivfixture.h"

#include "ZELDELIV/ndreport.h"
#include "common/dkim.h"
#include "platform/files.h"
#include "tests/unit/testutil.h"
#include "common/str.h"

using namespace delivtest;

namespace {

const std::string kHeld =
    "From: sender@example.net\n"
    "Subject: hello\n"
    "\n"
    "body line\n"
    ".\n";

const std::string kQuoted = "From: sender@example.net\nSubject: hello\n\nbody line\n";

std::string Head(const Generated &g, const std::string &extra) {
  return "Subject: Delivery failure\nFrom: postmaster@mail.example.org\nMessage-Id: <" + g.base +
         "@mail.example.org>\nDate: *\n" + extra + "\n";
}

const std::string kTail = "\nYour message reads (in part):\n\n" + kQuoted + "\n.\n";

class Report : public DelivTest {
 protected:
  void SetUp() override {
    DelivTest::SetUp();
    PutHeld("B0000000200", kHeld);
  }
  Generated Only() {
    auto out = Incoming();
    EXPECT_EQ(out.size(), 1u);
    return out.empty() ? Generated{} : std::move(out[0]);
  }
};

TEST_F(Report, LocalRecipientWithPostmasterCopy) {
  MsgInfoPtr info = Info("B0000000200", "sender@example.net", {"alice"});
  STRNCPY(info->Rcp->OriginalAddress, "Alice@example.org", sizeof info->Rcp->OriginalAddress);
  ASSERT_TRUE(CreateNonDeliveryMessage(*info, info->Rcp, true, "User not known", nullptr));
  Generated g = Only();
  EXPECT_EQ(g.Stable(), Head(g, "To: sender@example.net\nCc: postmaster@mail.example.org\n") +
                            "Your message has encountered delivery problems\nto local user alice.\n"
                            "(Originally addressed to Alice@example.org)\n\n"
                            "User not known\n" + kTail);
  EXPECT_EQ(g.Recipients(),
            (std::vector<std::string>{"sender@example.net", "postmaster@mail.example.org"}));
  EXPECT_STREQ(g.envelope->ReturnPath, "");
  std::string id = g.base + "@mail.example.org";
  EXPECT_STREQ(g.envelope->MessageId, id.c_str());
}

TEST_F(Report, RemoteRecipientWithDetailAndNoCopy) {
  MsgInfoPtr info = Info("B0000000200", "sender@example.net", {"far@remote.net"});
  ASSERT_TRUE(CreateNonDeliveryMessage(*info, info->Rcp, false, "550 No such user", "more"));
  Generated g = Only();
  EXPECT_EQ(g.Stable(), Head(g, "To: sender@example.net\n") +
                            "Your message has encountered delivery problems to far@remote.net.\n\n"
                            "550 No such user\nmore\n" + kTail);
  EXPECT_EQ(g.Recipients(), std::vector<std::string>{"sender@example.net"});
}

TEST_F(Report, WholeMessageListsRecipientsNotDisposed) {
  MsgInfoPtr info = Info("B0000000200", "sender@example.net",
                         {"a@remote.net", "b@remote.net", ".dot@remote.net"});
  STRNCPY(info->Rcp->OriginalAddress, "alias@example.org", sizeof info->Rcp->OriginalAddress);
  info->Rcp->Next->bDisposed = 1;
  ASSERT_TRUE(CreateNonDeliveryMessage(*info, nullptr, false,
                                       "Unable to deliver to destination domain", "No MX"));
  Generated g = Only();
  EXPECT_EQ(g.Stable(),
            Head(g, "To: sender@example.net\n") +
                "Your message has encountered delivery problems to the following recipients:\n"
                "a@remote.net (alias@example.org)\n..dot@remote.net\n\n"
                "Unable to deliver to destination domain\nNo MX\n" + kTail);
}

TEST_F(Report, WholeMessageWithoutRecipientsOrReturnPath) {
  MsgInfoPtr info = Info("B0000000200", "", {});
  ASSERT_TRUE(CreateNonDeliveryMessage(*info, nullptr, false, "Gone", nullptr));
  Generated g = Only();
  EXPECT_EQ(g.Stable(), Head(g, "Cc: postmaster@mail.example.org\n") +
                            "Your message has encountered delivery problems.\n\nGone\n" + kTail);
  EXPECT_EQ(g.Recipients(), std::vector<std::string>{"postmaster@mail.example.org"});
}

TEST_F(Report, ReturnPathThatCannotBeAddressedGoesToPostmaster) {
  std::string longPath = std::string(kMaxRecipientName, 'l') + "@x.net";
  for (const std::string &path : {longPath, std::string("a\rb@x.net")}) {
    ClearIncoming();
    MsgInfoPtr info = Info("B0000000200", path, {"far@remote.net"});
    ASSERT_TRUE(CreateNonDeliveryMessage(*info, info->Rcp, false, "r", nullptr));
    Generated g = Only();
    EXPECT_EQ(g.Recipients(), std::vector<std::string>{"postmaster@mail.example.org"});
    EXPECT_EQ(g.text.find("\nTo:"), std::string::npos);
  }
}

TEST_F(Report, ReasonLinesAreDotStuffed) {
  MsgInfoPtr info = Info("B0000000200", "sender@example.net", {"far@remote.net"});
  ASSERT_TRUE(CreateNonDeliveryMessage(*info, info->Rcp, false, "550-first\n.\n550 last", ".d"));
  Generated g = Only();
  EXPECT_NE(g.text.find("\n\n550-first\n..\n550 last\n..d\n\nYour message reads"),
            std::string::npos);
  EXPECT_EQ(g.text.substr(g.text.size() - 3), "\n.\n");
}

TEST_F(Report, BodyQuotedUpTo4096Bytes) {
  std::string header = "From: sender@example.net\nX-Long: " + std::string(5000, 'h') + "\n\n";
  std::string body;
  for (int i = 0; i < 60; ++i) body += std::string(99, static_cast<char>('a' + i % 26)) + "\n";
  PutHeld("B0000000201", header + body + ".\n");
  MsgInfoPtr info = Info("B0000000201", "sender@example.net", {"far@remote.net"});
  ASSERT_TRUE(CreateNonDeliveryMessage(*info, info->Rcp, false, "r", nullptr));
  Generated g = Only();
  // The header is quoted whole; 40 body lines make 4000 bytes, the 41st
  // would pass 4096.
  std::string expected = "\nYour message reads (in part):\n\n" + header + body.substr(0, 4000) +
                         "\n\n*** RETURNED MESSAGE TRUNCATED ***\n\n.\n";
  ASSERT_GE(g.text.size(), expected.size());
  EXPECT_EQ(g.text.substr(g.text.size() - expected.size()), expected);
}

TEST_F(Report, ExactlyAtTheLimitIsNotTruncated) {
  std::string body(kReportBodyLimit - 1, 'b');
  PutHeld("B0000000202", "Subject: s\n\n" + body + "\n.\n");
  MsgInfoPtr info = Info("B0000000202", "sender@example.net", {"far@remote.net"});
  ASSERT_TRUE(CreateNonDeliveryMessage(*info, info->Rcp, false, "r", nullptr));
  Generated g = Only();
  EXPECT_EQ(g.text.find("TRUNCATED"), std::string::npos);
  EXPECT_NE(g.text.find(body + "\n\n.\n"), std::string::npos);
}

TEST_F(Report, NothingIsLeftWhenTheReportCannotBeWritten) {
  Shell("rm -rf '" + MailQueueDirectory + "'");
  MsgInfoPtr info = Info("B0000000200", "sender@example.net", {"far@remote.net"});
  EXPECT_FALSE(CreateNonDeliveryMessage(*info, info->Rcp, false, "r", nullptr));
  EXPECT_FALSE(DirectoryExists(MailQueueDirectory));
}

TEST_F(Report, DeadLettersKeepTheFirstCopy) {
  std::string held = MailHoldingDirectory + "/B0000000200.MSG";
  DeadMessage(held, "Mail loop detected when forwarding");
  PutHeld("B0000000200", "changed\n.\n");
  DeadMessage(held, "Cannot deliver to postmaster");
  DeadMessage(held, nullptr);  // a copy only: the companion stays as it is
  EXPECT_EQ(Slurp(MailDeadDirectory + "/B0000000200.MSG"), Crlf(kHeld));
  EXPECT_EQ(Unix(Slurp(MailDeadDirectory + "/B0000000200.TXT")),
            "B0000000200.MSG is dead because:\nMail loop detected when forwarding\n\n"
            "B0000000200.MSG is dead because:\nCannot deliver to postmaster\n\n");
  EXPECT_EQ(ListDir(MailDeadDirectory).size(), 2u);
}

TEST_F(Report, DeadLetterOfAFileWithoutExtension) {
  std::string path = MailHoldingDirectory + "/plain";
  WriteFile(path, "x");
  Shell("rm -rf '" + MailDeadDirectory + "'");  // made again when needed
  DeadMessage(path, "why");
  EXPECT_EQ(Slurp(MailDeadDirectory + "/plain"), "x");
  EXPECT_EQ(Unix(Slurp(MailDeadDirectory + "/plain.TXT")), "plain is dead because:\nwhy\n\n");
}

}  // namespace

// Generated mail of a local domain with a key is signed for it (the
// message file itself, before its recipient file), and not with
// DkimSigning 0.
TEST_F(Report, SignedForTheLocalDomainThatHasAKey) {
  std::string pem, why, publicKey;
  SigningKeyType type;
  ASSERT_TRUE(MakeSigningKey(SigningKeyType::kEd25519, pem, why)) << why;
  ASSERT_TRUE(SigningPublicKey(pem, type, publicKey, why));
  Shell("mkdir -p '" + DkimDomainDirectory(kHost) + "'");
  ASSERT_TRUE(CreateFileWithText(DkimKeyPath(kHost, "s", type), pem, 0600));
  ASSERT_TRUE(CreateFileWithText(DkimDomainDirectory(kHost) + "/signing", "ed25519 s\n", 0644));
  MsgInfoPtr info = Info("B0000000200", "sender@example.net", {"far@remote.net"});
  ASSERT_TRUE(CreateNonDeliveryMessage(*info, info->Rcp, false, "550 No such user", nullptr));
  DkimSigning = false;
  ASSERT_TRUE(CreateNonDeliveryMessage(*info, info->Rcp, false, "550 No such user", nullptr));
  DkimSigning = true;
  Shell("rm -rf '" + DkimKeyDirectory() + "'");
  auto out = Incoming();
  ASSERT_EQ(out.size(), 2u);
  std::sort(out.begin(), out.end(), [](auto &a, auto &b) { return a.base < b.base; });
  EXPECT_EQ(out[1].text.find("DKIM-Signature"), std::string::npos);
  ASSERT_EQ(out[0].text.rfind("DKIM-Signature: v=1; a=ed25519-sha256", 0), 0u) << out[0].text;
  const std::string record = static_cast<char>(DkimKeyRecord(type, publicKey).size()) +
                             DkimKeyRecord(type, publicKey);
  auto lookup = [&](std::string_view, DkimTxtAnswer &answer) {
    answer.Records = {record};
    return true;
  };
  std::string file = Crlf(out[0].text), whyNot;
  std::vector<DkimCheck> checks;
  ASSERT_TRUE(DkimVerify(MessageSource{file}, lookup, &checks, &whyNot)) << whyNot;
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_EQ(checks[0].Result, DkimResult::kPass) << checks[0].Reason;
  EXPECT_EQ(checks[0].Domain, kHost);
}
