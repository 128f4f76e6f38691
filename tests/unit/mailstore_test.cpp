// Mail folders for IMAP: the name codec; the index against the files
// (sync of added and removed files, UIDs never reused, also across a
// damaged index or a reindex, flags with UNCHANGEDSINCE and modseq order,
// \Recent, expunges and the bound on remembered ones); APPEND's file form
// and durability (a crash between the file and its row, a failed index
// write); COPY and MOVE; folder create, delete, rename (INBOX too), list
// and subscriptions; links a user planted; and two processes syncing and
// appending at once while files come and go.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/mailstore.h"
#include "platform/sqlitedb.h"
#include "tests/unit/testutil.h"

namespace {

// The stub describer: sizes from the SMTP form, the envelope names the
// file's first line, so a test can tell which file a row describes.
int g_described = 0;
MessageDescription StubDescribe(std::string_view bytes) {
  ++g_described;
  MessageDescription d = DescribeSmtpForm(bytes);
  d.Envelope = std::string(bytes.substr(0, bytes.find('\r')));
  d.BodyStructure = "(\"TEXT\" \"PLAIN\")";
  return d;
}

std::vector<IndexEvent> g_events;
void RecordEvent(void *, IndexEvent event, const std::string &, uint32_t) {
  g_events.push_back(event);
}

void WriteFile(const std::string &path, const std::string &text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
}

bool Exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

class MailstoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    m_ = std::string(std::getenv("ZEL_ROOT")) + "/ms-" + info->name();
    ASSERT_EQ(std::system(("rm -rf '" + m_ + "' && mkdir -p '" + m_ + "'").c_str()), 0);
    mfd_ = open(m_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(mfd_, 0);
    options_.Describe = StubDescribe;
    options_.OnEvent = RecordEvent;
    g_events.clear();
    g_described = 0;
    ASSERT_EQ(store_.Open(mfd_, options_), ERROR_SUCCESS);
  }
  void TearDown() override {
    SetSqliteFaultHook(nullptr);
    if (mfd_ >= 0) close(mfd_);
  }

  // A delivered copy as the agent writes it: the SMTP form, with its date.
  void Deliver(const std::string &dir, const std::string &name, const std::string &subject,
               time_t mtime = 0) {
    std::string path = dir + "/" + name;
    WriteFile(path, "Subject: " + subject + "\r\n\r\n..dot\r\nbody\r\n.\r\n");
    if (mtime != 0) {
      struct timespec t[2] = {{mtime, 0}, {mtime, 0}};
      utimensat(AT_FDCWD, path.c_str(), t, 0);
    }
  }

  std::vector<IndexRow> Rows(FolderIndex &f, uint64_t since = 0) {
    std::vector<IndexRow> rows;
    RowQuery q;
    q.ChangedSince = since;
    EXPECT_EQ(f.ReadRows(q, rows), ERROR_SUCCESS);
    return rows;
  }

  std::map<uint32_t, std::string> UidNames(FolderIndex &f) {
    std::map<uint32_t, std::string> out;
    for (const IndexRow &r : Rows(f)) out[r.Uid] = r.Name;
    return out;
  }

  FolderState State(FolderIndex &f) {
    FolderState s;
    EXPECT_EQ(f.ReadState(s), ERROR_SUCCESS);
    return s;
  }

  SyncResult Sync(FolderIndex &f) {
    SyncResult r;
    EXPECT_EQ(f.Sync(r), ERROR_SUCCESS);
    return r;
  }

  // INBOX opened and synced with n delivered messages B1.MSG ... Bn.MSG.
  void OpenInbox(FolderIndex &f, int n = 0) {
    for (int i = 1; i <= n; ++i) Deliver(m_, "B" + std::to_string(i) + ".MSG", "m" + std::to_string(i));
    ASSERT_EQ(store_.OpenFolder("INBOX", f), ERROR_SUCCESS);
    Sync(f);
  }

  StoreOutcome Store(FolderIndex &f, const std::vector<uint32_t> &uids, StoreMode mode,
                     uint32_t flags, std::vector<std::string> keywords = {}) {
    FlagChange c;
    c.Mode = mode;
    c.Flags = flags;
    c.Keywords = std::move(keywords);
    StoreOutcome out;
    EXPECT_EQ(f.StoreFlags(uids, c, out), ERROR_SUCCESS);
    return out;
  }

  long Append(FolderIndex &f, const std::vector<std::string> &pieces, AppendResult &result,
              int64_t date = 0, uint32_t flags = 0, std::vector<std::string> keywords = {}) {
    AppendWriter w;
    long rc = w.Begin(f);
    for (const std::string &p : pieces)
      if (rc == ERROR_SUCCESS) rc = w.Write(p);
    return rc == ERROR_SUCCESS ? w.Finish(date, flags, keywords, result) : rc;
  }

  std::string m_;
  int mfd_ = -1;
  IndexOptions options_;
  Mailstore store_;
};

TEST(FolderNames, ParseEncodeDecode) {
  struct Case {
    std::string in;
    bool ok;
    std::string name;
    std::vector<std::string> dirs;
  } cases[] = {
      {"INBOX", true, "INBOX", {}},
      {"inbox", true, "INBOX", {}},
      {"Inbox/Lists", true, "INBOX/Lists", {"+INBOX", "+Lists"}},
      {"a/INBOX", true, "a/INBOX", {"+a", "+INBOX"}},
      {"INBOX/inbox", true, "INBOX/inbox", {"+INBOX", "+inbox"}},
      {"100%/tab\there", true, "100%/tab\there", {"+100%25", "+tab%09here"}},
      {"Entw\xC3\xBCrfe", true, "Entw\xC3\xBCrfe", {"+Entw\xC3\xBCrfe"}},
      {"..", true, "..", {"+.."}},
      {"", false, "", {}},
      {"/a", false, "", {}},
      {"a/", false, "", {}},
      {"a//b", false, "", {}},
      {"\xC0\xAF", false, "", {}},            // overlong "/"
      {"\xED\xA0\x80", false, "", {}},        // a surrogate
      {"\xF4\x90\x80\x80", false, "", {}},    // beyond U+10FFFF
      {"\xE2\x82", false, "", {}},            // cut short
      {std::string("a\0b", 3), false, "", {}},
      {std::string(199, 'x'), true, std::string(199, 'x'), {"+" + std::string(199, 'x')}},
      {std::string(200, 'x'), false, "", {}},
      {std::string(70, '%'), false, "", {}},  // 210 bytes once escaped
  };
  for (const Case &c : cases) {
    FolderPath p;
    ASSERT_EQ(ParseFolderName(c.in, p), c.ok) << c.in;
    if (!c.ok) continue;
    EXPECT_EQ(p.Name, c.name);
    EXPECT_EQ(p.Dirs, c.dirs) << c.in;
    for (size_t i = 0; i < p.Dirs.size(); ++i) {
      std::string back;
      EXPECT_TRUE(DecodeFolderComponent(p.Dirs[i], back)) << p.Dirs[i];
    }
  }
  std::string depth = "a";
  for (size_t i = 1; i < kMaxFolderDepth; ++i) depth += "/a";
  FolderPath p;
  EXPECT_TRUE(ParseFolderName(depth, p));
  EXPECT_FALSE(ParseFolderName(depth + "/a", p));
  // One spelling per name: no needless or lower-case escape, no "/" or
  // control byte unescaped, nothing without the prefix.
  for (const char *bad : {"+%41", "+%0a", "+a/b", "+a\x01", "a", "+", "+%2", "+%GG", "+\xC3"}) {
    std::string out;
    EXPECT_FALSE(DecodeFolderComponent(bad, out)) << bad;
  }
}

TEST(SmtpForm, MeasuresTextAndStuffing) {
  MessageDescription d = DescribeSmtpForm("A: b\r\n\r\n..x\r\n.\r\n");
  EXPECT_EQ(d.TextSize, 12u);   // "A: b\r\n\r\n.x\r\n"
  EXPECT_TRUE(d.Stuffed);
  d = DescribeSmtpForm(".\r\n");
  EXPECT_EQ(d.TextSize, 0u);
  d = DescribeSmtpForm("no end line\r\n");   // put there by hand: all of it
  EXPECT_EQ(d.TextSize, 13u);
  EXPECT_FALSE(d.Stuffed);
}

TEST_F(MailstoreTest, SyncIndexesNewFilesAndExpungesGoneOnes) {
  Deliver(m_, "B0000000002.MSG", "two", 1700000002);
  Deliver(m_, "B0000000001.MSG", "one", 1700000001);
  Deliver(m_, "B0000000003.MSG", "three", 1700000003);
  WriteFile(m_ + "/ZEL.CTL", "not a message");
  FolderIndex inbox;
  ASSERT_EQ(store_.OpenFolder("INBOX", inbox), ERROR_SUCCESS);
  EXPECT_EQ(g_events, std::vector<IndexEvent>{IndexEvent::kCreated});
  struct stat st;
  ASSERT_EQ(stat((m_ + "/.index").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  SyncResult r = Sync(inbox);
  EXPECT_EQ(r.Added, 3u);
  std::vector<IndexRow> rows = Rows(inbox);
  ASSERT_EQ(rows.size(), 3u);
  // Name order is delivery order.
  EXPECT_EQ(rows[0].Uid, 1u);
  EXPECT_EQ(rows[0].Envelope, "Subject: one");
  EXPECT_EQ(rows[2].Name, "B0000000003.MSG");
  EXPECT_EQ(rows[0].InternalDate, 1700000001);
  EXPECT_EQ(rows[0].Size, std::string("Subject: one\r\n\r\n.dot\r\nbody\r\n").size());
  EXPECT_TRUE(rows[0].Stuffed);

  // Unchanged: nothing is read again.
  g_described = 0;
  r = Sync(inbox);
  EXPECT_EQ(r.Added + r.Expunged, 0u);
  EXPECT_EQ(g_described, 0);

  // POP3 deletes one, the agent delivers another.
  uint64_t before = State(inbox).HighestModSeq;
  unlink((m_ + "/B0000000002.MSG").c_str());
  Deliver(m_, "B0000000004.MSG", "four");
  r = Sync(inbox);
  EXPECT_EQ(r.Added, 1u);
  EXPECT_EQ(r.Expunged, 1u);
  std::map<uint32_t, std::string> names = UidNames(inbox);
  EXPECT_EQ(names, (std::map<uint32_t, std::string>{
                       {1, "B0000000001.MSG"}, {3, "B0000000003.MSG"}, {4, "B0000000004.MSG"}}));
  std::vector<uint32_t> gone;
  bool complete = false;
  ASSERT_EQ(inbox.ExpungedSince(before, gone, complete), ERROR_SUCCESS);
  EXPECT_EQ(gone, std::vector<uint32_t>{2});
  EXPECT_TRUE(complete);
  EXPECT_EQ(Rows(inbox, before).size(), 1u);   // the new one
  EXPECT_GT(State(inbox).HighestModSeq, before + 1);

  // A second handle (another process's session) sees the same UIDs.
  FolderIndex other;
  ASSERT_EQ(store_.OpenFolder("inbox", other), ERROR_SUCCESS);
  EXPECT_EQ(Sync(other).Added, 0u);
  EXPECT_EQ(UidNames(other), names);
}

// Another process indexes a file while this one is between its listing
// and its transaction: the file keeps the one row it got.
FolderIndex *g_racer = nullptr;
bool SyncTheRacer(const char *step) {
  FolderIndex *racer = std::exchange(g_racer, nullptr);
  SyncResult r;
  if (racer != nullptr && std::string_view(step) == "begin") {
    EXPECT_EQ(racer->Sync(r), 0);
  }
  return true;
}

TEST_F(MailstoreTest, SyncsRacingEachOtherKeepOneRowPerFile) {
  FolderIndex f, racer;
  ASSERT_EQ(store_.OpenFolder("INBOX", f), ERROR_SUCCESS);
  ASSERT_EQ(store_.OpenFolder("INBOX", racer), ERROR_SUCCESS);
  Deliver(m_, "B1.MSG", "one");
  g_racer = &racer;
  SetSqliteFaultHook(SyncTheRacer);
  SyncResult r;
  ASSERT_EQ(f.Sync(r), ERROR_SUCCESS);
  SetSqliteFaultHook(nullptr);
  EXPECT_EQ(r.Added, 0u);
  EXPECT_EQ(UidNames(f), (std::map<uint32_t, std::string>{{1, "B1.MSG"}}));
}

TEST_F(MailstoreTest, FlagsKeywordsUnchangedSinceAndModseqOrder) {
  FolderIndex f;
  OpenInbox(f, 3);
  FlagChange add;
  add.Mode = StoreMode::kAdd;
  add.Flags = kStoreFlagSeen | kStoreFlagFlagged;
  add.Keywords = {"$Work", "$work", "Later"};
  StoreOutcome out;
  ASSERT_EQ(f.StoreFlags({1, 2, 99}, add, out), ERROR_SUCCESS);
  ASSERT_EQ(out.Changed.size(), 2u);
  EXPECT_EQ(out.Changed[0].Keywords, "$Work Later");
  EXPECT_LT(out.Changed[0].ModSeq, out.Changed[1].ModSeq);
  uint64_t seen1 = out.Changed[0].ModSeq;

  // Again: nothing changes, so no modseq moves.
  uint64_t highest = State(f).HighestModSeq;
  ASSERT_EQ(f.StoreFlags({1, 2}, add, out), ERROR_SUCCESS);
  EXPECT_TRUE(out.Changed.empty());
  EXPECT_EQ(State(f).HighestModSeq, highest);

  // UNCHANGEDSINCE: 2 was changed after seen1, 3 never was.
  FlagChange del;
  del.Mode = StoreMode::kRemove;
  del.Flags = kStoreFlagFlagged;
  del.Keywords = {"later"};
  del.HasUnchangedSince = true;
  del.UnchangedSince = seen1;
  ASSERT_EQ(f.StoreFlags({1, 2, 3}, del, out), ERROR_SUCCESS);
  EXPECT_EQ(out.Failed, std::vector<uint32_t>{2});
  ASSERT_EQ(out.Changed.size(), 1u);
  EXPECT_EQ(out.Changed[0].Uid, 1u);
  EXPECT_EQ(out.Changed[0].Flags, kStoreFlagSeen);
  EXPECT_EQ(out.Changed[0].Keywords, "$Work");

  FlagChange set;
  set.Flags = kStoreFlagDraft;
  ASSERT_EQ(f.StoreFlags({2}, set, out), ERROR_SUCCESS);
  std::vector<IndexRow> rows = Rows(f, seen1);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].Flags, kStoreFlagDraft);
  EXPECT_EQ(rows[1].Keywords, "");
  std::vector<std::string> inUse;
  ASSERT_EQ(f.KeywordsInUse(inUse), ERROR_SUCCESS);
  EXPECT_EQ(inUse, std::vector<std::string>{"$Work"});

  // Refused whole: a system flag as a keyword, a bad atom, too many.
  for (std::vector<std::string> bad :
       {std::vector<std::string>{"\\Seen"}, {"a b"}, {"x]"}, {std::string(65, 'k')}}) {
    FlagChange c;
    c.Mode = StoreMode::kAdd;
    c.Keywords = bad;
    EXPECT_EQ(f.StoreFlags({3}, c, out), ERROR_INVALID_PARAMETER);
  }
  FlagChange many;
  many.Mode = StoreMode::kAdd;
  for (size_t i = 0; i <= kMaxKeywordsPerMessage; ++i) many.Keywords.push_back("k" + std::to_string(i));
  EXPECT_EQ(f.StoreFlags({3}, many, out), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Rows(f)[2].Keywords, "");
}

TEST_F(MailstoreTest, RecentGoesToOneClaimant) {
  Deliver(m_, "B1.MSG", "a");
  Deliver(m_, "B2.MSG", "b");
  FolderIndex a, b;
  ASSERT_EQ(store_.OpenFolder("INBOX", a), ERROR_SUCCESS);
  ASSERT_EQ(store_.OpenFolder("INBOX", b), ERROR_SUCCESS);
  Sync(a);
  uint32_t first = 0, next = 0;
  ASSERT_EQ(a.ClaimRecent(first, next), ERROR_SUCCESS);
  EXPECT_EQ(std::make_pair(first, next), std::make_pair(1u, 3u));
  ASSERT_EQ(b.ClaimRecent(first, next), ERROR_SUCCESS);
  EXPECT_EQ(first, next);
  Deliver(m_, "B3.MSG", "c");
  Sync(b);
  ASSERT_EQ(b.ClaimRecent(first, next), ERROR_SUCCESS);
  EXPECT_EQ(std::make_pair(first, next), std::make_pair(3u, 4u));
  FolderCounts counts;
  ASSERT_EQ(a.ReadCounts(counts), ERROR_SUCCESS);
  EXPECT_EQ(counts.Recent, 0u);
  EXPECT_EQ(counts.Messages, 3u);
  EXPECT_EQ(counts.Unseen, 3u);
}

TEST_F(MailstoreTest, ExpungeRemovesFilesThenRowsAndUidsStayUsed) {
  FolderIndex f;
  OpenInbox(f, 4);
  Store(f, {1, 3, 4}, StoreMode::kAdd, kStoreFlagDeleted);
  std::vector<uint32_t> only = {2, 3}, gone;
  ASSERT_EQ(f.Expunge(&only, gone), ERROR_SUCCESS);   // UID EXPUNGE 2:3: 2 is not \Deleted
  EXPECT_EQ(gone, std::vector<uint32_t>{3});
  EXPECT_FALSE(Exists(m_ + "/B3.MSG"));
  EXPECT_TRUE(Exists(m_ + "/B2.MSG"));
  ASSERT_EQ(f.Expunge(nullptr, gone), ERROR_SUCCESS);
  EXPECT_EQ(gone, (std::vector<uint32_t>{1, 4}));
  FolderCounts counts;
  ASSERT_EQ(f.ReadCounts(counts), ERROR_SUCCESS);
  EXPECT_EQ(counts.Messages, 1u);
  EXPECT_EQ(counts.Deleted, 0u);
  // The highest UID went too; a new message still gets a new one.
  Deliver(m_, "B5.MSG", "m");
  Sync(f);
  EXPECT_EQ(UidNames(f), (std::map<uint32_t, std::string>{{2, "B2.MSG"}, {5, "B5.MSG"}}));
}

TEST_F(MailstoreTest, ExpungedUidsAreBoundedAndTheRestReportedIncomplete) {
  const size_t n = kMaxExpungedRows + 10;
  for (size_t i = 0; i < n; ++i) WriteFile(m_ + "/C" + std::to_string(100000 + i) + ".MSG", "x\r\n.\r\n");
  FolderIndex f;
  ASSERT_EQ(store_.OpenFolder("INBOX", f), ERROR_SUCCESS);
  Sync(f);
  uint64_t start = State(f).HighestModSeq;
  for (size_t i = 0; i < n; ++i) unlink((m_ + "/C" + std::to_string(100000 + i) + ".MSG").c_str());
  EXPECT_EQ(Sync(f).Expunged, n);
  std::vector<uint32_t> gone;
  bool complete = true;
  ASSERT_EQ(f.ExpungedSince(start, gone, complete), ERROR_SUCCESS);
  EXPECT_FALSE(complete);
  EXPECT_EQ(gone.size(), kMaxExpungedRows);
  EXPECT_EQ(gone.front(), 11u);   // the oldest ten were forgotten
  ASSERT_EQ(f.ExpungedSince(start + 10, gone, complete), ERROR_SUCCESS);
  EXPECT_TRUE(complete);
}

// Damage: the index cut short, or bytes flipped anywhere. Either the
// index still works or it is rebuilt with a new UIDVALIDITY; never a
// message file lost, never an old UID naming another message.
TEST_F(MailstoreTest, DamagedIndexIsRebuiltWithoutLosingMessagesOrReusingUids) {
  for (int i = 1; i <= 30; ++i) Deliver(m_, "B" + std::to_string(1000 + i) + ".MSG", "m");
  std::string index = m_ + "/.index";
  std::mt19937 rng(22);
  for (int round = 0; round < 12; ++round) {
    std::map<uint32_t, std::string> before;
    uint32_t validity;
    {
      FolderIndex f;
      ASSERT_EQ(store_.OpenFolder("INBOX", f), ERROR_SUCCESS);
      Sync(f);
      before = UidNames(f);
      validity = State(f).UidValidity;
    }   // closed: everything is checkpointed into the file
    struct stat st;
    ASSERT_EQ(stat(index.c_str(), &st), 0);
    if (round == 0) {
      ASSERT_EQ(truncate(index.c_str(), 100), 0);
    } else {
      int fd = open(index.c_str(), O_RDWR);
      for (int k = 0; k < 8; ++k) {
        off_t at = static_cast<off_t>(rng() % static_cast<unsigned>(st.st_size));
        unsigned char c;
        ASSERT_EQ(pread(fd, &c, 1, at), 1);
        c ^= static_cast<unsigned char>(1 + rng() % 255);
        ASSERT_EQ(pwrite(fd, &c, 1, at), 1);
      }
      close(fd);
    }
    g_events.clear();
    FolderIndex f;
    ASSERT_EQ(store_.OpenFolder("INBOX", f), ERROR_SUCCESS);
    SyncResult r;
    ASSERT_EQ(f.Sync(r), ERROR_SUCCESS);
    std::map<uint32_t, std::string> after = UidNames(f);
    std::set<std::string> files;
    for (const auto &[uid, name] : after) {
      EXPECT_TRUE(Exists(m_ + "/" + name)) << "UID " << uid << " names no file: " << name;
      files.insert(name);
    }
    EXPECT_EQ(files.size(), 30u) << "round " << round;
    if (State(f).UidValidity == validity) {
      for (const auto &[uid, name] : after)
        if (before.count(uid)) {
          EXPECT_EQ(before[uid], name) << "UID " << uid << " reused";
        }
    } else {
      EXPECT_GT(State(f).UidValidity, 0u);
    }
    if (round == 0) {
      EXPECT_NE(State(f).UidValidity, validity);
      EXPECT_EQ(g_events, std::vector<IndexEvent>{IndexEvent::kRebuilt});
      EXPECT_TRUE(Exists(m_ + "/.index-damaged"));
    }
  }
}

// A meta record set back (by damage, or an old copy of the index put back
// over a newer one's rows) never hands out a UID the rows still hold.
TEST_F(MailstoreTest, UidNextSetBackNeverReusesAUid) {
  FolderIndex f;
  OpenInbox(f, 2);
  unlink((m_ + "/B2.MSG").c_str());
  Sync(f);   // UID 2 is expunged: only the expunged table remembers it
  {
    SqliteDb raw;
    ASSERT_EQ(raw.Open(mfd_, ".index", false, 1000), ERROR_SUCCESS);
    ASSERT_EQ(raw.Exec("UPDATE meta SET value = 1 WHERE key IN ('uidnext', 'highestmodseq')"),
              ERROR_SUCCESS);
  }
  uint64_t modseq = Rows(f)[0].ModSeq;
  Deliver(m_, "B3.MSG", "c");
  Sync(f);
  EXPECT_EQ(UidNames(f), (std::map<uint32_t, std::string>{{1, "B1.MSG"}, {3, "B3.MSG"}}));
  EXPECT_GT(Rows(f)[1].ModSeq, modseq + 1);
}

TEST_F(MailstoreTest, ReindexKeepsFlagsUnderANewUidValidity) {
  FolderIndex f, other;
  OpenInbox(f, 2);
  Store(f, {2}, StoreMode::kReplace, kStoreFlagSeen, {"$Done"});
  FolderState old = State(f);
  ASSERT_EQ(store_.OpenFolder("INBOX", other), ERROR_SUCCESS);
  Deliver(m_, ".zelappend-old", "crash leftover", 1600000000);
  Deliver(m_, ".zelappend-new", "being written");
  SyncResult r;
  ASSERT_EQ(f.Reindex(r), ERROR_SUCCESS);
  FolderState now = State(f);
  EXPECT_GT(now.UidValidity, old.UidValidity);
  std::vector<IndexRow> rows = Rows(f);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].Uid, 1u);
  EXPECT_EQ(rows[1].Flags, kStoreFlagSeen);
  EXPECT_EQ(rows[1].Keywords, "$Done");
  EXPECT_EQ(now.FirstRecent, now.UidNext);
  EXPECT_EQ(g_events.back(), IndexEvent::kReindexed);
  EXPECT_FALSE(Exists(m_ + "/.zelappend-old"));
  EXPECT_TRUE(Exists(m_ + "/.zelappend-new"));
  // Another handle's next sync learns of the new UIDVALIDITY.
  EXPECT_TRUE(Sync(other).NewUidValidity);
  EXPECT_EQ(State(other).UidValidity, now.UidValidity);
  EXPECT_FALSE(Sync(other).NewUidValidity);
}

TEST_F(MailstoreTest, AppendWritesTheSmtpFormDurablyAndIndexesIt) {
  FolderIndex f;
  ASSERT_EQ(store_.OpenFolder("INBOX", f), ERROR_SUCCESS);
  AppendResult r;
  ASSERT_EQ(Append(f, {"Subject: x\n", ".hidden\r\n.", "\nlast"}, r, 1600000000,
                   kStoreFlagSeen | kStoreFlagDraft, {"$Sent"}),
            ERROR_SUCCESS);
  EXPECT_EQ(r.Uid, 1u);
  EXPECT_EQ(r.UidValidity, State(f).UidValidity);
  std::vector<IndexRow> rows = Rows(f);
  ASSERT_EQ(rows.size(), 1u);
  std::string file = Slurp(m_ + "/" + rows[0].Name);
  EXPECT_EQ(file, "Subject: x\r\n..hidden\r\n..\r\nlast\r\n.\r\n");
  EXPECT_EQ(rows[0].Size, std::string("Subject: x\r\n.hidden\r\n.\r\nlast\r\n").size());
  EXPECT_EQ(rows[0].InternalDate, 1600000000);
  EXPECT_EQ(rows[0].Flags, kStoreFlagSeen | kStoreFlagDraft);
  EXPECT_EQ(rows[0].Keywords, "$Sent");
  EXPECT_TRUE(rows[0].Name.ends_with(".MSG"));
  struct stat st;
  ASSERT_EQ(stat((m_ + "/" + rows[0].Name).c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1600000000);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Refused with nothing left behind: an empty message, a bad keyword, a
  // failed index write (the client is told, and will send it again).
  EXPECT_EQ(Append(f, {}, r), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Append(f, {"x"}, r, 0, 0, {"bad word"}), ERROR_INVALID_PARAMETER);
  SetSqliteFaultHook([](const char *step) { return std::string_view(step) != "commit"; });
  EXPECT_EQ(Append(f, {"x\r\n"}, r), EIO);
  SetSqliteFaultHook(nullptr);
  std::vector<std::string> left;
  for (const char *name : {"*.MSG", ".zelappend-*"}) {
    std::string cmd = "ls " + m_ + "/" + name + " 2>/dev/null | wc -l";
    FILE *p = popen(cmd.c_str(), "r");
    int count = -1;
    ASSERT_EQ(fscanf(p, "%d", &count), 1);
    pclose(p);
    EXPECT_EQ(count, std::string_view(name) == "*.MSG" ? 1 : 0) << name;
  }
}

// The process dies after the file is named and before its row is
// written: the next sync finds the file and indexes it, with its date.
TEST_F(MailstoreTest, AppendInterruptedBeforeItsRowIsIndexedByTheNextSync) {
  ASSERT_EQ(store_.CreateFolder("Sent"), ERROR_SUCCESS);
  pid_t child = fork();
  if (child == 0) {
    Mailstore store;
    FolderIndex sent;
    if (store.Open(mfd_, options_) != ERROR_SUCCESS || store.OpenFolder("Sent", sent) != 0)
      _exit(2);
    SetSqliteFaultHook([](const char *step) -> bool {
      if (std::string_view(step) == "begin") _exit(0);
      return true;
    });
    AppendWriter w;
    AppendResult r;
    w.Begin(sent);
    w.Write("Subject: crash\r\n\r\nbody\r\n");
    w.Finish(1500000000, kStoreFlagSeen, {}, r);
    _exit(3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  FolderIndex f;
  ASSERT_EQ(store_.OpenFolder("Sent", f), ERROR_SUCCESS);
  EXPECT_TRUE(Rows(f).empty());
  EXPECT_EQ(Sync(f).Added, 1u);
  std::vector<IndexRow> rows = Rows(f);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Envelope, "Subject: crash");
  EXPECT_EQ(rows[0].InternalDate, 1500000000);
}

TEST_F(MailstoreTest, CopyAndMoveLinkFilesWithFlagsAndNewUids) {
  for (int i = 1; i <= 3; ++i) Deliver(m_, "B" + std::to_string(i) + ".MSG", "s" + std::to_string(i), 1700000000 + i);
  ASSERT_EQ(store_.EnsureSpecialUse(), ERROR_SUCCESS);
  FolderIndex inbox, archive;
  OpenInbox(inbox);
  ASSERT_EQ(store_.OpenFolder("Archive", archive), ERROR_SUCCESS);
  Store(inbox, {3}, StoreMode::kReplace, kStoreFlagAnswered, {"Todo"});

  CopyResult copy;
  ASSERT_EQ(store_.Copy(inbox, {1, 3, 7}, archive, false, copy), ERROR_SUCCESS);
  EXPECT_EQ(copy.SourceUids, (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(copy.TargetUids, (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(copy.UidValidity, State(archive).UidValidity);
  std::vector<IndexRow> rows = Rows(archive);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].Flags, kStoreFlagAnswered);
  EXPECT_EQ(rows[1].Keywords, "Todo");
  EXPECT_EQ(rows[1].InternalDate, 1700000003);
  EXPECT_EQ(rows[1].Envelope, "Subject: s3");
  struct stat a, b;
  ASSERT_EQ(stat((m_ + "/B3.MSG").c_str(), &a), 0);
  ASSERT_EQ(stat((m_ + "/+Archive/" + rows[1].Name).c_str(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);
  EXPECT_EQ(Sync(archive).Added, 0u);

  CopyResult move;
  ASSERT_EQ(store_.Copy(inbox, {2, 3}, archive, true, move), ERROR_SUCCESS);
  EXPECT_EQ(move.TargetUids, (std::vector<uint32_t>{3, 4}));
  EXPECT_EQ(move.Expunged, (std::vector<uint32_t>{2, 3}));
  EXPECT_EQ(UidNames(inbox), (std::map<uint32_t, std::string>{{1, "B1.MSG"}}));
  EXPECT_FALSE(Exists(m_ + "/B3.MSG"));
  EXPECT_EQ(Rows(archive).size(), 4u);
}

TEST_F(MailstoreTest, CreateDeleteRenameListAndSubscriptions) {
  ASSERT_EQ(store_.EnsureSpecialUse(), ERROR_SUCCESS);
  ASSERT_EQ(store_.CreateFolder("Projects/2024/Q1"), ERROR_SUCCESS);
  EXPECT_EQ(store_.CreateFolder("Projects/2024"), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(store_.CreateFolder("inbox"), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(store_.CreateFolder("a//b"), ERROR_INVALID_PARAMETER);
  ASSERT_EQ(store_.CreateFolder("INBOX/Lists"), ERROR_SUCCESS);
  ASSERT_EQ(store_.Subscribe("Projects", true), ERROR_SUCCESS);
  ASSERT_EQ(store_.Subscribe("Gone/Away", true), ERROR_SUCCESS);
  ASSERT_EQ(store_.Subscribe("Sent", true), ERROR_SUCCESS);
  ASSERT_EQ(store_.Subscribe("Sent", false), ERROR_SUCCESS);
  EXPECT_EQ(Slurp(m_ + "/.subscriptions"), "Projects\nGone/Away\n");

  auto list = [&] {
    std::vector<FolderEntry> entries;
    EXPECT_EQ(store_.ListFolders(entries), ERROR_SUCCESS);
    std::map<std::string, std::string> out;
    for (const FolderEntry &e : entries) out[e.Name] = FolderAttributeText(e.Attributes);
    return out;
  };
  std::map<std::string, std::string> l = list();
  EXPECT_EQ(l["INBOX"], "\\HasChildren");
  EXPECT_EQ(l["INBOX/Lists"], "\\HasNoChildren");
  EXPECT_EQ(l["Projects"], "\\HasChildren \\Subscribed");
  EXPECT_EQ(l["Projects/2024/Q1"], "\\HasNoChildren");
  EXPECT_EQ(l["Sent"], "\\HasNoChildren \\Sent");
  EXPECT_EQ(l["Junk"], "\\HasNoChildren \\Junk");
  EXPECT_EQ(l["Gone/Away"], "\\NonExistent \\Subscribed");
  EXPECT_EQ(l.size(), 11u);

  // DELETE of a folder with children keeps its directory: \Noselect.
  Deliver(m_ + "/+Projects", "B9.MSG", "p");
  ASSERT_EQ(store_.DeleteFolder("Projects"), ERROR_SUCCESS);
  EXPECT_FALSE(Exists(m_ + "/+Projects/B9.MSG"));
  EXPECT_FALSE(Exists(m_ + "/+Projects/.index"));
  EXPECT_EQ(list()["Projects"], "\\Noselect \\HasChildren \\Subscribed");
  FolderIndex f;
  EXPECT_EQ(store_.OpenFolder("Projects", f), EISDIR);
  EXPECT_EQ(store_.DeleteFolder("Projects"), ERROR_DIR_NOT_EMPTY);
  EXPECT_EQ(store_.DeleteFolder("INBOX"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(store_.DeleteFolder("Nothing"), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(store_.CreateFolder("Projects"), ERROR_SUCCESS);   // selectable again
  EXPECT_EQ(list()["Projects"], "\\HasChildren \\Subscribed");

  // RENAME moves the subtree in one step, making new parents.
  ASSERT_EQ(store_.OpenFolder("Projects/2024", f), ERROR_SUCCESS);
  uint32_t validity = State(f).UidValidity;
  ASSERT_EQ(store_.RenameFolder("Projects/2024", "Old/Years/2024"), ERROR_SUCCESS);
  EXPECT_EQ(store_.RenameFolder("Sent", "Trash"), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(store_.RenameFolder("Old", "Old/Inner"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(store_.RenameFolder("Nothing", "Else"), ERROR_FILE_NOT_FOUND);
  l = list();
  EXPECT_EQ(l.count("Projects/2024"), 0u);
  EXPECT_EQ(l["Old/Years/2024/Q1"], "\\HasNoChildren");
  EXPECT_EQ(l["Old/Years"], "\\HasChildren");
  FolderIndex renamed;
  ASSERT_EQ(store_.OpenFolder("Old/Years/2024", renamed), ERROR_SUCCESS);
  EXPECT_EQ(State(renamed).UidValidity, validity);

  // A folder made again under an old name never has the old UIDVALIDITY
  // (its clients would take the new messages for the old ones).
  ASSERT_EQ(store_.CreateFolder("Again"), ERROR_SUCCESS);
  FolderIndex again;
  ASSERT_EQ(store_.OpenFolder("Again", again), ERROR_SUCCESS);
  uint32_t first = State(again).UidValidity;
  again.Close();
  ASSERT_EQ(store_.DeleteFolder("Again"), ERROR_SUCCESS);
  ASSERT_EQ(store_.CreateFolder("Again"), ERROR_SUCCESS);
  ASSERT_EQ(store_.OpenFolder("Again", again), ERROR_SUCCESS);
  EXPECT_GT(State(again).UidValidity, first);

  // A leaf goes whole; its parent then has no children.
  ASSERT_EQ(store_.DeleteFolder("Old/Years/2024/Q1"), ERROR_SUCCESS);
  EXPECT_FALSE(Exists(m_ + "/+Old/+Years/+2024/+Q1"));
  EXPECT_EQ(list()["Old/Years/2024"], "\\HasNoChildren");
}

TEST_F(MailstoreTest, RenameInboxMovesItsMessagesAndLeavesItEmpty) {
  ASSERT_EQ(store_.CreateFolder("INBOX/Keep"), ERROR_SUCCESS);
  FolderIndex inbox;
  OpenInbox(inbox, 2);
  Store(inbox, {2}, StoreMode::kReplace, kStoreFlagSeen);
  ASSERT_EQ(store_.RenameFolder("INBOX", "Before 2025"), ERROR_SUCCESS);
  EXPECT_EQ(store_.RenameFolder("INBOX", "Before 2025"), ERROR_ALREADY_EXISTS);
  FolderIndex moved;
  ASSERT_EQ(store_.OpenFolder("Before 2025", moved), ERROR_SUCCESS);
  std::vector<IndexRow> rows = Rows(moved);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].Flags, kStoreFlagSeen);
  EXPECT_TRUE(Exists(m_ + "/+Before 2025/B1.MSG"));
  SyncResult r = Sync(inbox);
  EXPECT_EQ(r.Expunged, 0u);   // the rename's own sync took them out already
  EXPECT_TRUE(Rows(inbox).empty());
  EXPECT_TRUE(Exists(m_ + "/+INBOX/+Keep/.index"));
}

// A user (or a hostile script of theirs) plants links in the tree: a
// session never writes through one.
TEST_F(MailstoreTest, PlantedLinksAreNeverFollowed) {
  std::string outside = m_ + "-outside";
  ASSERT_EQ(std::system(("rm -rf '" + outside + "' && mkdir '" + outside + "'").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), (m_ + "/+Evil").c_str()), 0);
  FolderIndex f;
  EXPECT_NE(store_.OpenFolder("Evil", f), ERROR_SUCCESS);
  EXPECT_NE(store_.CreateFolder("Evil/Inner"), ERROR_SUCCESS);
  EXPECT_NE(store_.DeleteFolder("Evil"), ERROR_SUCCESS);
  EXPECT_NE(store_.RenameFolder("Sent", "Evil/Sent"), ERROR_SUCCESS);
  ASSERT_EQ(store_.CreateFolder("Real"), ERROR_SUCCESS);
  ASSERT_EQ(unlink((m_ + "/+Real/.index").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/db").c_str(), (m_ + "/+Real/.index").c_str()), 0);
  EXPECT_NE(store_.OpenFolder("Real", f), ERROR_SUCCESS);
  Deliver(m_, "B1.MSG", "x");
  ASSERT_EQ(symlink((outside + "/db").c_str(), (m_ + "/.index").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/wal").c_str(), (m_ + "/.index-wal").c_str()), 0);
  ASSERT_EQ(store_.OpenFolder("INBOX", f), ERROR_SUCCESS);
  EXPECT_EQ(Sync(f).Added, 1u);
  std::vector<FolderEntry> entries;
  ASSERT_EQ(store_.ListFolders(entries), ERROR_SUCCESS);
  for (const FolderEntry &e : entries) EXPECT_NE(e.Name, "Evil");
  EXPECT_EQ(std::system(("test -z \"$(ls -A '" + outside + "')\"").c_str()), 0)
      << "something was written outside the tree";
}

// Two processes sync and append on one folder while files are delivered
// and deleted behind their backs: every file ends with exactly one row,
// and no UID ever names two messages.
TEST_F(MailstoreTest, TwoProcessesSyncAndAppendWhileFilesComeAndGo) {
  FolderIndex f;
  ASSERT_EQ(store_.OpenFolder("INBOX", f), ERROR_SUCCESS);
  f.Close();
  const int kRounds = 40;
  std::string log = m_ + "-uids";
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    if (children[c] != 0) continue;
    Mailstore store;
    FolderIndex mine;
    if (store.Open(mfd_, options_) != 0 || store.OpenFolder("INBOX", mine) != 0) _exit(2);
    FILE *out = fopen((log + std::to_string(c)).c_str(), "w");
    for (int i = 0; i < kRounds; ++i) {
      AppendResult r;
      SyncResult s;
      if (Append(mine, {"Subject: p" + std::to_string(c) + "-" + std::to_string(i) + "\r\n"}, r) != 0 ||
          mine.Sync(s) != 0)
        _exit(3);
      for (const IndexRow &row : Rows(mine)) fprintf(out, "%u %s\n", row.Uid, row.Name.c_str());
    }
    fclose(out);
    _exit(0);
  }
  // The agent delivers, POP3 deletes what it finds, meanwhile.
  for (int i = 0; i < kRounds; ++i) {
    Deliver(m_, "B" + std::to_string(5000 + i) + ".MSG", "d");
    if (i % 3 == 2) unlink((m_ + "/B" + std::to_string(5000 + i - 1) + ".MSG").c_str());
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  ASSERT_EQ(store_.OpenFolder("INBOX", f), ERROR_SUCCESS);
  Sync(f);
  std::map<uint32_t, std::string> final = UidNames(f);
  std::set<std::string> names;
  for (const auto &[uid, name] : final) {
    EXPECT_TRUE(Exists(m_ + "/" + name)) << name;
    EXPECT_TRUE(names.insert(name).second) << name;
  }
  std::vector<std::string> files;
  FILE *p = popen(("ls '" + m_ + "' | grep -c 'MSG$'").c_str(), "r");
  int count = 0;
  ASSERT_EQ(fscanf(p, "%d", &count), 1);
  pclose(p);
  EXPECT_EQ(static_cast<size_t>(count), final.size());
  EXPECT_EQ(count, 2 * kRounds + kRounds - kRounds / 3);
  // Every UID any process saw named one message only.
  std::map<uint32_t, std::string> seen = final;
  for (int c = 0; c < 2; ++c) {
    FILE *in = fopen((log + std::to_string(c)).c_str(), "r");
    ASSERT_NE(in, nullptr);
    unsigned uid;
    char name[256];
    while (fscanf(in, "%u %255s", &uid, name) == 2) {
      auto [it, fresh] = seen.emplace(uid, name);
      EXPECT_EQ(it->second, name) << "UID " << uid << " named two messages";
    }
    fclose(in);
  }
}

}  // namespace
