// Text-mode streams: CR LF on disk, "\n" in memory, sticky errors.
#include <gtest/gtest.h>

#include "tests/unit/testutil.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/fileview.h"
#include "platform/root.h"
#include "platform/textfile.h"

namespace {

std::string Scratch(const char *name) {
  std::string dir = ZelPath("/textfile");
  CreateDirectory(dir);
  return dir + "/" + name;
}

}  // namespace

TEST(TextFile, WritesCrLfAndReadsLinesBack) {
  std::string path = Scratch("a.txt");
  TextFile f;
  ASSERT_TRUE(f.Open(path, "w"));
  EXPECT_TRUE(f.Printf("Message-ID: <%s>\n", "B0000000001@host"));
  EXPECT_TRUE(f.Write("Recipient: a@b\nlast"));
  ASSERT_TRUE(f.Close());
  EXPECT_EQ(Slurp(path), "Message-ID: <B0000000001@host>\r\nRecipient: a@b\r\nlast");

  TextFile r;
  ASSERT_TRUE(r.Open(path, "r"));
  std::string line;
  ASSERT_TRUE(r.GetLine(line, 511));
  EXPECT_EQ(line, "Message-ID: <B0000000001@host>\n");
  ASSERT_TRUE(r.GetLine(line, 511));
  EXPECT_EQ(line, "Recipient: a@b\n");
  ASSERT_TRUE(r.GetLine(line, 511));
  EXPECT_EQ(line, "last");
  EXPECT_FALSE(r.GetLine(line, 511));
  EXPECT_TRUE(r.Eof());
}

TEST(TextFile, ReaderAcceptsLfAndKeepsLoneCr) {
  std::string path = Scratch("b.txt");
  std::ofstream(path, std::ios::binary) << "one\ntwo\rthree\r\n";
  TextFile r;
  ASSERT_TRUE(r.Open(path, "r"));
  std::string line;
  ASSERT_TRUE(r.GetLine(line, 100));
  EXPECT_EQ(line, "one\n");
  ASSERT_TRUE(r.GetLine(line, 100));
  EXPECT_EQ(line, "two\rthree\n");
}

TEST(TextFile, LongLinesComeBackInPieces) {
  std::string path = Scratch("c.txt");
  std::ofstream(path, std::ios::binary) << std::string(20, 'x') << "\r\n";
  TextFile r;
  ASSERT_TRUE(r.Open(path, "r"));
  std::string line;
  ASSERT_TRUE(r.GetLine(line, 8));
  EXPECT_EQ(line.size(), 8u);
  ASSERT_TRUE(r.GetLine(line, 8));
  ASSERT_TRUE(r.GetLine(line, 8));
  EXPECT_EQ(line, "xxxx\n");
}

TEST(TextFile, CrLfSplitAcrossTheReadBufferIsOneLineEnd) {
  std::string path = Scratch("d.txt");
  // 8191 bytes of text, then CR at offset 8191 and LF at 8192.
  std::ofstream(path, std::ios::binary) << std::string(8191, 'y') << "\r\nnext\r\n";
  TextFile r;
  ASSERT_TRUE(r.Open(path, "r"));
  std::string line;
  ASSERT_TRUE(r.GetLine(line, 10000));
  EXPECT_EQ(line.size(), 8192u);
  EXPECT_EQ(line.back(), '\n');
  ASSERT_TRUE(r.GetLine(line, 100));
  EXPECT_EQ(line, "next\n");
}

TEST(TextFile, RewriteInPlaceTruncatesTheTail) {
  std::string path = Scratch("e.txt");
  TextFile f;
  ASSERT_TRUE(f.Open(path, "w+"));
  f.Write("a long first version\nsecond line\n");
  ASSERT_TRUE(f.Rewind());
  f.Write("short\n");
  ASSERT_TRUE(f.TruncateHere());
  ASSERT_TRUE(f.Close());
  EXPECT_EQ(Slurp(path), "short\r\n");
}

TEST(TextFile, WriteErrorIsSticky) {
  TextFile f;
  int fd = open("/dev/full", O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(f.Attach(fd, "wc"));
  f.Write("x\n");
  EXPECT_FALSE(f.Flush());
  EXPECT_TRUE(f.Error());
  EXPECT_FALSE(f.Write("more"));
  EXPECT_FALSE(f.Close());
}

// A durable file is invisible until renamed, and nothing is left behind
// when it is abandoned; a no-replace rename refuses a taken name.
TEST(DurableFile, AppearsWholeOrNotAtAll) {
  std::string target = Scratch("durable.RCP");
  DeleteFile(target);
  {
    DurableFile f;
    ASSERT_TRUE(f.Create(target, ".tmp-", 0600));
    f.Stream().Write("one\n");
    ASSERT_TRUE(f.Commit());
    EXPECT_FALSE(FileExists(target));
  }
  std::vector<std::string> names;
  ASSERT_TRUE(ListDirectory(ZelPath("/textfile"), "", ListKind::kFiles, 100, names));
  for (const std::string &name : names) EXPECT_NE(name.rfind(".tmp-", 0), 0u) << name;
  {
    DurableFile f;
    ASSERT_TRUE(f.Create(target, ".tmp-", 0600));
    f.Stream().Write("two\n");
    ASSERT_TRUE(f.Publish());
  }
  EXPECT_EQ(Slurp(target), "two\r\n");
  DurableFile again;
  ASSERT_TRUE(again.Create(target, ".tmp-", 0600));
  again.Stream().Write("three\n");
  EXPECT_FALSE(again.Publish(true));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(Slurp(target), "two\r\n");
}

// Groups of every size sync files and directories alike, both ways taken
// in turn (the first groups try each); a closed descriptor fails the group.
TEST(SyncGroup, SyncsFilesAndDirectoriesInGroupsOfAnySize) {
  Scratch("sync");   // makes the directory
  std::string dir = ZelPath("/textfile");
  // 300: past the bound of members, synced early on the way.
  for (size_t size : {1, 2, 5, 5, 5, 300}) {
    SyncGroup group;
    ASSERT_TRUE(group.AddDirectory(dir));
    ASSERT_TRUE(group.AddDirectory(dir));   // once per path
    for (size_t i = 1; i < size; ++i) {
      std::string path = Scratch(("sync" + std::to_string(i)).c_str());
      UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
      ASSERT_TRUE(WriteWholeFile(fd.Get(), "x"));
      ASSERT_TRUE(group.AddFile(fd.Get()));
    }
    EXPECT_TRUE(group.Sync()) << size;
    EXPECT_TRUE(group.Empty());
  }
  int fds[3] = {-1, -1, -1};
  EXPECT_FALSE(SyncTogether(fds));
}

TEST(ReadUpTo, ReadsTheWholeFileOrOneByteBeyondTheBound) {
  std::string path = Scratch("readupto");
  std::string text(200000, 'a');
  DeleteFile(path);
  ASSERT_TRUE(CreateFileWithText(path, text, 0600));
  for (size_t bound : {size_t{300000}, size_t{200000}, size_t{70000}}) {
    UniqueFd fd(open(path.c_str(), O_RDONLY));
    std::string got;
    ASSERT_TRUE(ReadUpTo(fd.Get(), bound, got));
    EXPECT_EQ(got.size(), std::min(text.size(), bound + 1)) << bound;
  }
}

// A shorter text leaves nothing of the longer one behind it, and what is
// written next goes after the new end.
TEST(RewriteWholeFile, ShrinksAndGrowsInPlace) {
  std::string path = Scratch("rewrite");
  DeleteFile(path);
  UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
  ASSERT_TRUE(WriteWholeFile(fd.Get(), std::string(5000, 'a')));
  for (const std::string &text : {std::string("short"), std::string(9000, 'b')}) {
    ASSERT_TRUE(RewriteWholeFile(fd.Get(), text));
    ASSERT_TRUE(WriteWholeFile(fd.Get(), "+"));
    UniqueFd in(open(path.c_str(), O_RDONLY));
    std::string got;
    ASSERT_TRUE(ReadUpTo(in.Get(), 20000, got));
    EXPECT_EQ(got, text + "+");
  }
}
