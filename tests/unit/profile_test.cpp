// Profile (INI) files: the lookup rules on text, the file reader's defaults
// and bounds, and the refusal of links and special files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/profile.h"
#include "platform/root.h"

namespace {

struct Lookup {
  const char *name;
  std::string text;
  const char *section;
  const char *key;
  bool found;
  const char *value;
};

TEST(Profile, LookupRules) {
  const Lookup cases[] = {
      {"plain", "[AutoReply]\nEchoMessage=TRUE\n", "AutoReply", "EchoMessage", true, "TRUE"},
      {"case of names", "[autoreply]\nECHOMESSAGE=yes\n", "AutoReply", "EchoMessage", true, "yes"},
      {"blanks trimmed", "  [ AutoReply ]  \n\t EchoMessage  =  1 \t\n", "AutoReply",
       "EchoMessage", true, "1"},
      {"crlf", "[Delivery]\r\nDiscard=yes\r\n", "Delivery", "Discard", true, "yes"},
      {"empty value", "[AutoReply]\nReplyFrom=\n", "AutoReply", "ReplyFrom", true, ""},
      {"double quotes", "[A]\nk=\" x y \"\n", "A", "k", true, " x y "},
      {"single quotes", "[A]\nk='v'\n", "A", "k", true, "v"},
      {"unmatched quote kept", "[A]\nk=\"v'\n", "A", "k", true, "\"v'"},
      {"address in quotes kept", "[A]\nk=\"Bob\" <b@x>\n", "A", "k", true, "\"Bob\" <b@x>"},
      {"first key wins", "[A]\nk=1\nk=2\n", "A", "k", true, "1"},
      {"first section only", "[A]\nj=1\n[A]\nk=2\n", "A", "k", false, ""},
      {"other section", "[B]\nk=1\n[A]\nk=2\n", "A", "k", true, "2"},
      {"key outside section", "k=1\n[A]\n", "A", "k", false, ""},
      {"comment", "[A]\n;k=1\n  ; k=2\nk=3\n", "A", "k", true, "3"},
      {"no equals sign", "[A]\nk\nk=4\n", "A", "k", true, "4"},
      {"header without bracket ignored", "[A]\n[B\nk=5\n", "A", "k", true, "5"},
      {"equals in value", "[A]\nk=a=b\n", "A", "k", true, "a=b"},
      {"missing section", "[B]\nk=1\n", "A", "k", false, ""},
      {"missing key", "[A]\nj=1\n", "A", "k", false, ""},
      {"last line without newline", "[A]\nk=6", "A", "k", true, "6"},
      {"utf-8 bom", "\xEF\xBB\xBF[A]\nk=7\n", "A", "k", true, "7"},
      {"key is not a prefix", "[A]\nkey=1\n", "A", "k", false, ""},
      {"section is not a prefix", "[AB]\nk=1\n", "A", "k", false, ""},
  };
  for (const Lookup &c : cases) {
    std::string value;
    bool found = FindProfileValue(c.text, c.text.size(), c.section, c.key, value);
    EXPECT_EQ(found, c.found) << c.name;
    if (c.found) {
      EXPECT_EQ(value, c.value) << c.name;
    }
  }
}

TEST(Profile, BoundsOfTextAndLines) {
  // Beyond maxBytes nothing is read.
  std::string text = "[A]\nk=1\n";
  std::string value;
  EXPECT_FALSE(FindProfileValue(text, 5, "A", "k", value));
  ASSERT_TRUE(FindProfileValue(text, 6, "A", "k", value));
  EXPECT_EQ(value, "");
  // A long line counts with its first kMaxProfileLine characters; the rest of
  // it does not become a line of its own.
  std::string longLine = "k=" + std::string(kMaxProfileLine, 'x') + "\nj=2\n";
  text = "[A]\n" + longLine;
  ASSERT_TRUE(FindProfileValue(text, text.size(), "A", "k", value));
  EXPECT_EQ(value.size(), kMaxProfileLine - 2);
  ASSERT_TRUE(FindProfileValue(text, text.size(), "A", "j", value));
  EXPECT_EQ(value, "2");
  text = "[A]\n" + std::string(kMaxProfileLine, 'y') + "k=3\n";
  EXPECT_FALSE(FindProfileValue(text, text.size(), "A", "k", value));
}

class ProfileFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = ZelPath("/profile");
    mkdir(dir_.c_str(), 0755);
    path_ = dir_ + "/ZEL.CTL";
    unlink(path_.c_str());
  }
  void Write(const std::string &text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string Get(const char *key, const char *def, size_t max = kMaxProfileValue) {
    return GetPrivateProfileString("AutoReply", key, def, max, path_);
  }
  std::string dir_, path_;
};

TEST_F(ProfileFile, DefaultsAndCut) {
  EXPECT_EQ(Get("EchoMessage", "FALSE"), "FALSE");  // no file
  Write("[AutoReply]\r\nReplyFrom=" + std::string(300, 'a') + "\r\nEchoMessage=yes\r\n");
  EXPECT_EQ(Get("EchoMessage", "FALSE"), "yes");
  EXPECT_EQ(Get("Missing", "dflt"), "dflt");
  EXPECT_EQ(Get("ReplyFrom", ""), std::string(kMaxProfileValue, 'a'));
  EXPECT_EQ(Get("ReplyFrom", "", 5), "aaaaa");
  EXPECT_EQ(Get("Missing", "long default", 4), "long");
}

TEST_F(ProfileFile, OnlyTheHeadOfAHugeFileIsRead) {
  Write("[AutoReply]\n" + std::string(kMaxProfileFileBytes, ';') + "\nEchoMessage=yes\n");
  EXPECT_EQ(Get("EchoMessage", "FALSE"), "FALSE");
}

TEST_F(ProfileFile, LinksAndSpecialFilesAreMissingFiles) {
  std::string target = dir_ + "/target";
  std::ofstream(target) << "[AutoReply]\nEchoMessage=yes\n";
  ASSERT_EQ(symlink(target.c_str(), path_.c_str()), 0);
  EXPECT_EQ(Get("EchoMessage", "FALSE"), "FALSE");
  EXPECT_LT(OpenUserFile(path_, true), 0);  // no append through a link either
  unlink(path_.c_str());
  // A FIFO must not block the reader.
  ASSERT_EQ(mkfifo(path_.c_str(), 0644), 0);
  EXPECT_EQ(Get("EchoMessage", "FALSE"), "FALSE");
  unlink(path_.c_str());
  ASSERT_EQ(mkdir(path_.c_str(), 0755), 0);
  EXPECT_EQ(Get("EchoMessage", "FALSE"), "FALSE");
  rmdir(path_.c_str());
  unlink(target.c_str());
}

TEST_F(ProfileFile, AppendCreatesRegularFile) {
  int fd = OpenUserFile(path_, true);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "x\n", 2), 2);
  close(fd);
  fd = OpenUserFile(path_, true);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "y\n", 2), 2);
  close(fd);
  std::ifstream in(path_);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(all, "x\ny\n");
}

}  // namespace
