// The IMAP server's pieces that a unit reaches better than a client: the
// change watch of many folders on one inotify, the Date header's day that
// SEARCH's SENT keys compare, the INTERNALDATE text, and the door's test
// of a descriptor.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "ZELIMAP/imapfetch.h"
#include "ZELIMAP/imapsearch.h"
#include "platform/changenotify.h"
#include "platform/fileview.h"
#include "platform/files.h"
#include "platform/localipc.h"
#include "platform/root.h"

namespace {

void Put(const std::string &path) { ASSERT_TRUE(CreateFileWithText(path, "x", 0600)); }

std::vector<std::pair<uintptr_t, unsigned>> Marks(DirectoryWatch &w) {
  auto marks = w.TakeChanged();
  std::sort(marks.begin(), marks.end());
  return marks;
}

TEST(ImapServer, DirectoryWatchMarksEachFolderByWhatChanged) {
  std::string top = ZelPath("/imapwatch");
  ASSERT_EQ(std::system(("rm -rf '" + top + "'").c_str()), 0);
  for (const char *d : {"", "/a", "/b"}) ASSERT_TRUE(CreateDirectory(top + d));
  DirectoryWatch w;
  ASSERT_TRUE(w.Open(".MSG", ".index-wal"));
  UniqueFd a(OpenDirectory(top + "/a")), b(OpenDirectory(top + "/b"));
  ASSERT_TRUE(w.Add(a.Get(), 1));
  ASSERT_TRUE(w.Add(b.Get(), 2));
  // Files that are no message, and the index itself, mark nothing.
  Put(top + "/a/.index");
  Put(top + "/a/x.TMP");
  EXPECT_TRUE(Marks(w).empty());
  // A message named, and one removed; the log written.
  Put(top + "/a/B1.MSG");
  std::ofstream(top + "/b/.index-wal", std::ios::app) << "y";
  using Mark = std::pair<uintptr_t, unsigned>;
  EXPECT_EQ(Marks(w), (std::vector<Mark>{{1, kWatchEntries}, {2, kWatchModified}}));
  ASSERT_TRUE(DeleteFile(top + "/a/B1.MSG"));
  w.Remove(2);
  Put(top + "/b/B2.MSG");
  EXPECT_EQ(Marks(w), (std::vector<Mark>{{1, kWatchEntries}}));
  EXPECT_TRUE(Marks(w).empty());   // each mark once
  EXPECT_FALSE(w.Add(-1, 3));
}

TEST(ImapServer, DateHeaderDayReadsTheDayOfEveryForm) {
  struct Case {
    const char *Value;
    bool Ok;
    int64_t Days;
  } cases[] = {
      {"Tue, 1 Jul 2003 10:52:37 +0200", true, 12234},
      {"1 Jul 2003 23:59 -1200 (late)", true, 12234},
      {"  (comment) Tue,  01 jul 03 10:52 GMT", true, 12234},
      {"31 Dec 49 00:00 +0000", true, 29219},     // two digits under 50: 2049
      {"31 Dec 69 00:00 +0000", true, -1},        // the others: 1969
      {"1 Jan 70 00:00 +0000", true, 0},
      {"1 Jan 103", true, 12053},                  // three digits from 1900
      {"Tue, 1 Foo 2003", false, 0},
      {"Tue, 32 Jul 2003", false, 0},
      {"Jul 1 2003", false, 0},
      {"", false, 0},
  };
  for (const Case &c : cases) {
    int64_t days = -1;
    EXPECT_EQ(DateHeaderDay(c.Value, days), c.Ok) << c.Value;
    if (c.Ok) {
      EXPECT_EQ(days, c.Days) << c.Value;
    }
  }
}

TEST(ImapServer, InternalDateTextIsUtcWithAFixedWidthDay) {
  EXPECT_EQ(InternalDateText(0), " 1-Jan-1970 00:00:00 +0000");
  EXPECT_EQ(InternalDateText(1614834367), " 4-Mar-2021 05:06:07 +0000");
  EXPECT_EQ(InternalDateText(1639872000), "19-Dec-2021 00:00:00 +0000");
}

TEST(ImapServer, OnlyAMessageSocketIsADoor) {
  UniqueFd first, second, stream, other;
  ASSERT_TRUE(MakeSocketPair(true, first, second));
  ASSERT_TRUE(MakeSocketPair(false, stream, other));
  EXPECT_TRUE(IsMessageSocket(first.Get()));
  EXPECT_FALSE(IsMessageSocket(stream.Get()));
  EXPECT_FALSE(IsMessageSocket(-1));
  int closed = first.Get();
  first.Reset();
  EXPECT_FALSE(IsMessageSocket(closed));
}

}  // namespace
