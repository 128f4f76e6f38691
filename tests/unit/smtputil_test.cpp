// Message and recipient files: the on-disk formats and their routines.
#include <gtest/gtest.h>

#include "tests/unit/testutil.h"

#include <dirent.h>

#include <fstream>
#include <sstream>

#include "common/pconfig.h"
#include "common/smtputil.h"
#include "common/zel.h"
#include "platform/files.h"
#include "platform/root.h"

namespace {

std::string Dir(const char *name) {
  std::string dir = ZelPath(std::string("/smtputil-") + name);
  CreateDirectory(dir);
  return dir;
}

MsgInfoPtr ReadText(const std::string &dir, const std::string &bytes) {
  std::string path = dir + "/t.RCP";
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  TextFile f;
  if (!f.Open(path, "r")) return nullptr;
  return ReadMsgInfo(f);
}

std::vector<std::string> Names(const _tMsgInfo &info) {
  std::vector<std::string> out;
  for (const _tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next) out.push_back(r->Name);
  return out;
}

}  // namespace

TEST(RecipientFile, ReaderKeepsFieldsAndReversesRecipients) {
  auto info = ReadText(Dir("read"),
                       "Message-ID: <B0000000042@mail.example.org>\r\n"
                       "return-PATH:   sender@example.net  \r\n"
                       "X-Unknown: ignored\r\n"
                       "Recipient: a@example.org\r\n"
                       "Original-Address: alias@example.org\r\n"
                       "Recipient: localuser\n"
                       "Recipient: \"odd user\"@example.org\r\n");
  ASSERT_TRUE(info);
  EXPECT_STREQ(info->MessageId, "B0000000042@mail.example.org");
  EXPECT_STREQ(info->ReturnPath, "sender@example.net");
  EXPECT_EQ(Names(*info), (std::vector<std::string>{"\"odd user\"@example.org", "localuser", "a@example.org"}));
  const _tRcpInfo *last = info->Rcp->Next->Next;
  EXPECT_STREQ(last->OriginalAddress, "alias@example.org");
  EXPECT_FALSE(info->Rcp->bIsLocalUser);
  EXPECT_TRUE(info->Rcp->Next->bIsLocalUser);
  EXPECT_FALSE(info->b8Bit);
}

TEST(RecipientFile, EdgeCasesOfTheReader) {
  std::string dir = Dir("edges");
  // Only Message-ID and Recipient: valid, with an empty return path.
  auto a = ReadText(dir, "Message-ID: <B1@h>\r\nRecipient: x@y\r\n");
  ASSERT_TRUE(a);
  EXPECT_STREQ(a->ReturnPath, "");
  // Body-8Bit: "yes" sets it, "no" and "false" do not; "1" does.
  struct {
    const char *value;
    int expected;
  } flags[] = {{"yes", 1}, {"YES", 1}, {"TRUE", 1}, {"1", 1}, {"no", 0}, {"false", 0}, {"", 0}};
  for (const auto &c : flags) {
    auto m = ReadText(dir, std::string("Message-ID: <B1@h>\r\nBody-8Bit: ") + c.value + "\r\n");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->b8Bit, c.expected) << c.value;
  }
  // An Original-Address before any Recipient is ignored.
  auto b = ReadText(dir, "Original-Address: lost@x\r\nRecipient: r@x\r\n");
  ASSERT_TRUE(b);
  EXPECT_STREQ(b->Rcp->OriginalAddress, "");
  // No Message-ID: a record the callers must treat as invalid.
  EXPECT_STREQ(b->MessageId, "");
}

TEST(RecipientFile, FieldsAreCutToTheirSizesAndLongLinesDoNotSplit) {
  std::string dir = Dir("bounds");
  std::string longName(300, 'n');
  std::string longPath(600, 'p');
  // A line far beyond any bound: its tail must not come back as a line of
  // its own (here a tail that looks like a Recipient line).
  std::string monster = "X-Junk: " + std::string(3000, 'j') + "Recipient: injected@evil\r\n";
  auto info = ReadText(dir, "Message-ID: <" + std::string(400, 'B') + "@h>\r\n" + "Return-path: " +
                                longPath + "\r\n" + monster + "Recipient: " + longName + "\r\n");
  ASSERT_TRUE(info);
  EXPECT_EQ(strlen(info->MessageId), kMaxMessageId);
  EXPECT_EQ(strlen(info->ReturnPath), kMaxReturnPath);
  ASSERT_EQ(Names(*info).size(), 1u);
  EXPECT_EQ(strlen(info->Rcp->Name), kMaxRecipientName);
}

TEST(RecipientFile, FullLengthReturnPathSurvivesARoundTrip) {
  std::string dir = Dir("roundtrip");
  _tMsgInfo info;
  strcpy(info.MessageId, "B0000000007@host.example");
  std::string rp(kMaxReturnPath - 12, 'r');
  rp += "@example.org";
  strcpy(info.ReturnPath, rp.c_str());
  info.b8Bit = 1;
  PushRecipient(info, "second@example.org", "");
  PushRecipient(info, "first@example.org", "orig@example.org");
  std::string path = dir + "/B0000000007.RCP";
  ASSERT_TRUE(CreateRecipientFile(info, path));
  EXPECT_EQ(Slurp(path),
            "Message-ID: <B0000000007@host.example>\r\nBody-8Bit: TRUE\r\nReturn-path: " + rp +
                "\r\nRecipient: first@example.org\r\nOriginal-Address: orig@example.org\r\n"
                "Recipient: second@example.org\r\n");
  TextFile f;
  ASSERT_TRUE(f.Open(path, "r"));
  auto back = ReadMsgInfo(f);
  ASSERT_TRUE(back);
  EXPECT_STREQ(back->ReturnPath, rp.c_str());
  EXPECT_TRUE(back->b8Bit);
  EXPECT_EQ(Names(*back), (std::vector<std::string>{"second@example.org", "first@example.org"}));
  EXPECT_STREQ(back->Rcp->Next->OriginalAddress, "orig@example.org");
  // Nothing but the file itself is left in the directory.
  DIR *d = opendir(dir.c_str());
  int entries = 0;
  while (dirent *e = readdir(d)) entries += e->d_name[0] != '.';
  closedir(d);
  EXPECT_EQ(entries, 1);
}

TEST(RecipientFile, RewriteDropsDisposedRecipientsAndTheOldTail) {
  std::string dir = Dir("rewrite");
  std::string path = dir + "/B2.RCP";
  std::ofstream(path, std::ios::binary) << "Message-ID: <B2@h>\r\nBody-8Bit: TRUE\r\nReturn-path: s@x\r\n"
                                           "Recipient: a@x\r\nOriginal-Address: o@x\r\nRecipient: b@x\r\n"
                                           "Recipient: c@x\r\n";
  TextFile f;
  ASSERT_TRUE(f.Open(path, "r+"));
  auto info = ReadMsgInfo(f);
  ASSERT_TRUE(info);
  info->Rcp->bDisposed = 1;  // c@x, at the front
  info->Rcp->Next->Next->bDisposed = 1;  // a@x
  ASSERT_TRUE(WriteMsgInfo(f, *info));
  ASSERT_TRUE(f.Close());
  EXPECT_EQ(Names(*info), (std::vector<std::string>{"b@x"}));
  EXPECT_EQ(Slurp(path), "Message-ID: <B2@h>\r\nReturn-path: s@x\r\nRecipient: b@x\r\n");
}

TEST(RecipientFile, TruncatedAndCorruptFilesNeverCrashTheReader) {
  std::string dir = Dir("corrupt");
  std::string good = "Message-ID: <B3@h>\r\nReturn-path: s@x\r\nRecipient: a@x\r\nRecipient: b@x\r\n";
  for (size_t cut = 0; cut <= good.size(); ++cut) {
    auto info = ReadText(dir, good.substr(0, cut));
    ASSERT_TRUE(info) << cut;
  }
  std::string flipped = good;
  for (size_t i = 0; i < flipped.size(); i += 7) {
    flipped[i] = static_cast<char>(flipped[i] ^ 0x80);
    ASSERT_TRUE(ReadText(dir, flipped));
  }
  std::string nuls = good;
  nuls[25] = '\0';
  ASSERT_TRUE(ReadText(dir, nuls));
}

TEST(MessageNames, FileNamesAndIdentifiers) {
  EXPECT_EQ(CreateFileNameFromMessageId("/s/holding", "B0000000001@host.example", 0, 261),
            "/s/holding/B0000000001.MSG");
  EXPECT_EQ(CreateFileNameFromMessageId("/mbox", "B0000000001@host", 3, 261), "/mbox/B0000000001-3.MSG");
  EXPECT_EQ(CreateFileNameFromMessageId("", "B9", 0, 261), "B9.MSG");
  EXPECT_EQ(CreateFileNameFromMessageId("/d", "B0000000001@h", 0, 8), "/d/B000");
  EXPECT_EQ(CreateMessageIdFromFileName("/s/incoming/B0000000005.MSG", "mail.example.org", 289),
            "B0000000005@mail.example.org");
  EXPECT_EQ(CreateMessageIdFromFileName("B5.MSG", std::string(400, 'h'), 289).size(), kMaxMessageIdText);
}

TEST(MessageFile, CreatedWithANewIdentifierInIncoming) {
  SetConfigDefaults();
  MailQueueDirectory = Dir("incoming");
  TextFile f;
  std::string name;
  ASSERT_TRUE(CreateMessageFile(f, name));
  EXPECT_EQ(name.rfind(MailQueueDirectory + "/B", 0), 0u);
  EXPECT_EQ(name.size(), MailQueueDirectory.size() + 1 + 11 + 4);
  ASSERT_TRUE(WriteCommonHeaders(f, "to@x", "Hello", "from@x", nullptr, "<B1@h>"));
  f.Write("\nbody\n.\n");
  ASSERT_TRUE(f.Close());
  std::string text = Slurp(name);
  EXPECT_EQ(text.rfind("To: to@x\r\nSubject: Hello\r\nFrom: from@x\r\nMessage-Id: <B1@h>\r\nDate: ", 0), 0u);
  EXPECT_NE(text.find("\r\n\r\nbody\r\n.\r\n"), std::string::npos);
  TextFile g;
  std::string other;
  ASSERT_TRUE(CreateMessageFile(g, other));
  EXPECT_NE(name, other);
}

TEST(HeaderDate, OffsetsAndDayForms) {
  EXPECT_EQ(FormatZoneOffset(60), "+0100");
  EXPECT_EQ(FormatZoneOffset(-300), "-0500");
  EXPECT_EQ(FormatZoneOffset(-210), "-0330");
  EXPECT_EQ(FormatZoneOffset(0), "+0000");
  EXPECT_EQ(FormatZoneOffset(-30), "-0030");
  EXPECT_EQ(FormatZoneOffset(345), "+0545");
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(FormatHeaderDate(1780000000, false), "Thu, 28 May 2026 20:26:40 +0000");
  EXPECT_EQ(FormatHeaderDate(1772000000, false), "Wed, 25 Feb 2026 06:13:20 +0000");
  EXPECT_EQ(FormatHeaderDate(1767600000, true), "Mon, 05 Jan 2026 08:00:00 +0000");
  setenv("TZ", "America/St_Johns", 1);
  tzset();
  std::string d = FormatHeaderDate(1772000000, false);
  EXPECT_EQ(d.substr(d.size() - 5), "-0330");
  unsetenv("TZ");
  tzset();
}
