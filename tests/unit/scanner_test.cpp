// The delivery agent's spool scanner: taking messages up from `incoming`,
// the queue walker with its delete markers and remembered dispositions, the
// domain list and its threads, garbage collection, and the recovery of
// half-done work after a crash (the half-done states are laid out on disk).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ZELDELIV/delivery.h"
#include "ZELDELIV/garbage.h"
#include "ZELDELIV/incoming.h"
#include "ZELDELIV/local.h"
#include "ZELDELIV/queue.h"
#include "ZELDELIV/routing.h"
#include "ZELDELIV/settings.h"
#include "common/fileutils.h"
#include "common/loadcfig.h"
#include "common/pconfig.h"
#include "common/str.h"
#include "common/zel.h"
#include "net/localhost.h"
#include "platform/changenotify.h"
#include "platform/files.h"
#include "platform/root.h"
#include "platform/sync.h"
#include "tests/unit/delivfixture.h"
#include "tests/unit/dnstest.h"

namespace {

using delivtest::Crlf;
using delivtest::kHost;
using delivtest::SetThisHost;

void Put(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << Crlf(text);
}

std::vector<std::string> Names(const std::string &dir, const char *suffix = "") {
  std::vector<std::string> names;
  ListDirectory(dir, suffix, ListKind::kFiles, 1000, names);
  std::sort(names.begin(), names.end());
  return names;
}

std::string Events() { return Slurp(EventLogPath()); }

class ScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetConfigDefaults();
    MailSpoolDirectory = ZelPath("/scan-spool");
    FormDeliverySpoolPaths();
    ASSERT_EQ(std::system(("rm -rf '" + MailSpoolDirectory + "'").c_str()), 0);
    for (const std::string &d : {MailSpoolDirectory, MailQueueDirectory, MailHoldingDirectory,
                                 MailDomainsDirectory})
      ASSERT_TRUE(CreateDirectory(d)) << d;
    DomainNamesAreLocal = {"example.org"};
    SetThisHost(kHost);
    RetryScheduleDescriptor = kBuiltInRetrySchedule;
    SetUpRetryScheduleArray();
    LocalUserAliasMap.clear();
    DeliverDomain = DeliverAllMessages;
    ASSERT_TRUE(FreeDomainList());
  }

  std::string Local(const std::string &name = "") {
    return MailDomainsDirectory + "/$local$" + (name.empty() ? "" : "/" + name);
  }
  std::string Domain(const std::string &domain, const std::string &name = "") {
    return MailDomainsDirectory + "/" + domain + (name.empty() ? "" : "/" + name);
  }
  void MakeQueue(const std::string &dir) { ASSERT_TRUE(CreateDirectoryRecursively(dir)); }

  // A received message: its file in incoming and its recipient file.
  void Receive(const std::string &id, const std::vector<std::string> &recipients) {
    Put(MailQueueDirectory + "/" + id + ".MSG", "Subject: t\n\nbody\n.\n");
    std::string rcp = "Message-ID: <" + id + "@" + kHost + ">\nReturn-path: s@remote.test\n";
    for (const std::string &r : recipients) rcp += "Recipient: " + r + "\n";
    Put(MailQueueDirectory + "/" + id + ".RCP", rcp);
  }
};

// ---- platform pieces

TEST_F(ScannerTest, ListDirectoryTakesKindSuffixAndBound) {
  std::string dir = ZelPath("/list");
  ASSERT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
  ASSERT_TRUE(CreateDirectory(dir));
  for (const char *n : {"a.RCP", "b.rcp", "c.MSG", ".RCP", "x.RCP.tmp"}) Put(dir + "/" + n, "");
  ASSERT_TRUE(CreateDirectory(dir + "/d.RCP"));
  ASSERT_EQ(symlink("a.RCP", (dir + "/e.RCP").c_str()), 0);

  std::vector<std::string> names;
  ASSERT_TRUE(ListDirectory(dir, ".RCP", ListKind::kFiles, 10, names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.RCP", "b.rcp"}));
  ASSERT_TRUE(ListDirectory(dir, "", ListKind::kDirectories, 10, names));
  EXPECT_EQ(names, (std::vector<std::string>{"d.RCP"}));
  EXPECT_FALSE(ListDirectory(dir, ".rcp", ListKind::kFiles, 1, names));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(names.size(), 1u);
  EXPECT_FALSE(ListDirectory(dir + "/none", "", ListKind::kFiles, 10, names));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(ScannerTest, ChangeNotificationWakesOnlyForRecipientFiles) {
  std::string dir = ZelPath("/watch");
  ASSERT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
  ASSERT_TRUE(CreateDirectory(dir));
  auto n = FindFirstChangeNotification(dir, ".RCP");
  ASSERT_TRUE(n);
  EXPECT_EQ(WaitForSingleObject(*n, 0), WAIT_TIMEOUT);
  // The directory lock and a temporary file come and go: no wake-up.
  Put(dir + "/$LockFile", "");
  DeleteFile(dir + "/$LockFile");
  Put(dir + "/.rcp-123456", "x");
  EXPECT_EQ(WaitForSingleObject(*n, 100), WAIT_TIMEOUT);
  // The receiver's way: a whole file renamed into place.
  ASSERT_TRUE(MoveFile(dir + "/.rcp-123456", dir + "/B1.RCP"));
  EXPECT_EQ(WaitForSingleObject(*n, 2000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(*n, 0), WAIT_TIMEOUT);   // consumed
  Put(dir + "/b2.rcp", "x");
  EXPECT_EQ(WaitForSingleObject(*n, 2000), WAIT_OBJECT_0);
  EXPECT_TRUE(FindNextChangeNotification(*n));
  EXPECT_FALSE(FindFirstChangeNotification(dir + "/none", ".RCP"));
}

// ---- delete markers

TEST_F(ScannerTest, DeleteMarkerTextIsBrokenAtEightyColumns) {
  struct {
    std::string path;
    std::string expected;
  } cases[] = {
      // Exactly 80 characters up to the full stop: the break takes the space.
      {"/q/A.RCP",
       "The SMTP Delivery Service could not delete file /q/A.RCP due to system error 21.\n"
       "Please delete the file manually.\n"},
      // A path longer than a line is cut where the line ends.
      {"/" + std::string(99, 'x'),
       "The SMTP Delivery Service could not delete file\n/" + std::string(79, 'x') + "\n" +
           std::string(20, 'x') + " due to system error 21. Please delete the file manually.\n"},
  };
  for (const auto &c : cases) EXPECT_EQ(DeleteMarkerText(c.path, 21), c.expected) << c.path;
  EXPECT_EQ(DeleteMarkerPath("/a.b/c.RCP"), "/a.b/c.DEL");
  EXPECT_EQ(DeleteMarkerPath("/a.b/c"), "/a.b/c.DEL");
}

TEST_F(ScannerTest, DelRcpFileWritesTheMarkerWhenTheFileCannotGo) {
  MakeQueue(Local());
  Put(Local("B1.RCP"), "x");
  EXPECT_TRUE(DelRcpFile(Local("B1.RCP")));
  EXPECT_FALSE(FileExists(Local("B1.RCP")));
  EXPECT_TRUE(DelRcpFile(Local("B1.RCP")));   // already gone: nothing to mark
  EXPECT_FALSE(FileExists(Local("B1.DEL")));
  // A directory in the file's place cannot be unlinked, even by root.
  ASSERT_TRUE(CreateDirectory(Local("B2.RCP")));
  EXPECT_FALSE(DelRcpFile(Local("B2.RCP")));
  EXPECT_EQ(Slurp(Local("B2.DEL")), Crlf(DeleteMarkerText(Local("B2.RCP"), EISDIR)));
}

// ---- the queue walker

struct Walk {
  std::vector<std::string> seen;   // "base:recipient"
  std::set<std::string> dispose;   // recipients to finish
  bool failWrites = false;         // let no file grow after the callback
};

bool WalkCallback(_tMsgInfo &info, void *context) {
  auto *w = static_cast<Walk *>(context);
  std::string id = info.MessageId;
  for (_tRcpInfo *r = info.Rcp; r != nullptr; r = r->Next) {
    w->seen.push_back(id.substr(0, id.find('@')) + ":" + r->Name);
    if (w->dispose.count(r->Name) != 0) r->bDisposed = 1;
  }
  if (w->failWrites) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit one{1, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &one);
  }
  return true;
}

void AllowWrites() {
  rlimit any{RLIM_INFINITY, RLIM_INFINITY};
  setrlimit(RLIMIT_FSIZE, &any);
}

std::string QueueFile(const std::string &id, const std::vector<std::string> &recipients) {
  std::string text = "Message-ID: <" + id + "@" + kHost + ">\nBody-8Bit: TRUE\nReturn-path: s@x\n";
  for (const std::string &r : recipients)
    text += "Recipient: " + r + "\nOriginal-Address: o-" + r + "\n";
  return text;
}

TEST_F(ScannerTest, ForEachMessageRewritesDeletesAndHonoursMarkers) {
  MakeQueue(Local());
  Put(Local("B1.RCP"), QueueFile("B1", {"a", "b"}));
  Put(Local("B2.RCP"), QueueFile("B2", {"c"}));
  Put(Local("B3.RCP"), QueueFile("B3", {"d"}));
  Put(Local("B3.DEL"), "marker");
  Put(Local("B4.RCP"), "Message-ID: <B4@h>\n");   // no recipients
  Walk w;
  w.dispose = {"b", "c"};
  EXPECT_EQ(ForEachMessage(nullptr, WalkCallback, &w), 0);
  // The reader reverses the file's order.
  EXPECT_EQ(w.seen, (std::vector<std::string>{"B1:b", "B1:a", "B2:c"}));
  // The rest of B1 keeps its 8-bit flag and its original address.
  EXPECT_EQ(Slurp(Local("B1.RCP")),
            Crlf("Message-ID: <B1@mail.example.org>\nBody-8Bit: TRUE\nReturn-path: s@x\n"
                 "Recipient: a\nOriginal-Address: o-a\n"));
  EXPECT_EQ(Names(Local()), (std::vector<std::string>{"B1.RCP", "B3.DEL", "B3.RCP"}));

  // The marker gone, the file lives again; all done, the queue is finished.
  DeleteFile(Local("B3.DEL"));
  Walk all;
  all.dispose = {"a", "d"};
  EXPECT_EQ(ForEachMessage("", WalkCallback, &all), 1);
  EXPECT_EQ(all.seen, (std::vector<std::string>{"B1:a", "B3:d"}));
  EXPECT_TRUE(Names(Local()).empty());
  EXPECT_EQ(ForEachMessage("nowhere.test", WalkCallback, &all), 1);   // no queue: nothing to do
}

TEST_F(ScannerTest, FinishedRecipientsOfAnUnwritableFileAreNotDeliveredAgain) {
  MakeQueue(Local());
  Put(Local("B7.RCP"), QueueFile("B7", {"a", "b", "c"}));
  Walk first;
  first.dispose = {"a"};
  first.failWrites = true;
  EXPECT_EQ(ForEachMessage(nullptr, WalkCallback, &first), 0);
  AllowWrites();
  EXPECT_NE(Slurp(Local("B7.RCP")).find("Recipient: a"), std::string::npos);   // not rewritten

  // The next pass never shows "a" again, and this time the file is
  // rewritten without it.
  Walk second;
  second.dispose = {"b"};
  EXPECT_EQ(ForEachMessage(nullptr, WalkCallback, &second), 0);
  EXPECT_EQ(second.seen, (std::vector<std::string>{"B7:c", "B7:b"}));
  std::string now = Slurp(Local("B7.RCP"));
  EXPECT_EQ(now.find("Recipient: a"), std::string::npos);
  EXPECT_EQ(now.find("Recipient: b"), std::string::npos);
  EXPECT_NE(now.find("Recipient: c"), std::string::npos);
}

TEST_F(ScannerTest, AMessageIdThatNamesAnotherFileIsReplaced) {
  MakeQueue(Local());
  Put(Local("B8.RCP"), "Message-ID: <../../etc/B9@x>\nRecipient: a\n");
  Walk w;
  ForEachMessage(nullptr, WalkCallback, &w);
  EXPECT_EQ(w.seen, (std::vector<std::string>{"B8:a"}));
}

// ---- filing

TEST_F(ScannerTest, RecordMessageInfoWritesOneWholeFilePerQueue) {
  _tMsgInfo info;
  STRNCPY(info.MessageId, "B0000000042@mail.example.org", sizeof info.MessageId);
  STRNCPY(info.ReturnPath, "s@remote.test", sizeof info.ReturnPath);
  info.b8Bit = 1;
  // Pushed at the front: the list ends in the order written here.
  const char *names[] = {"local1", "a@Example.COM", "local2", "b@example.com", "c@other.test",
                         "nodomain@", "x@bad/dir"};
  for (int i = 6; i >= 0; --i) PushRecipient(info, names[i], "");
  STRNCPY(info.Rcp->Next->OriginalAddress, "alias@example.org", kMaxRecipientName + 1);

  std::vector<std::string> staged;
  SyncGroup sync;
  EXPECT_TRUE(RecordMessageInfo(info, staged, sync));
  EXPECT_TRUE(sync.Sync());
  EXPECT_EQ(staged, (std::vector<std::string>{Local("B0000000042.NEW"),
                                              Domain("example.com", "B0000000042.NEW"),
                                              Domain("other.test", "B0000000042.NEW")}));
  std::string head = "Message-ID: <B0000000042@mail.example.org>\nReturn-path: s@remote.test\n"
                     "Body-8Bit: TRUE\n";
  EXPECT_EQ(Slurp(staged[0]), Crlf(head + "Recipient: local1\nRecipient: local2\n"));
  EXPECT_EQ(Slurp(staged[1]), Crlf(head + "Recipient: a@Example.COM\n"
                                          "Original-Address: alias@example.org\n"
                                          "Recipient: b@example.com\n"));
  EXPECT_EQ(Slurp(staged[2]), Crlf(head + "Recipient: c@other.test\n"));
  // Nothing is visible to the queue walkers before the commit.
  EXPECT_TRUE(Names(Local(), ".RCP").empty());

  // Filing again finds every queue filed: nothing is written twice.
  PushRecipient(info, "late", "");
  std::vector<std::string> again;
  EXPECT_TRUE(RecordMessageInfo(info, again, sync));
  EXPECT_FALSE(sync.Empty());   // the earlier, staged files join this group's sync
  EXPECT_TRUE(sync.Sync());
  EXPECT_EQ(again, staged);
  EXPECT_EQ(Slurp(staged[0]), Crlf(head + "Recipient: local1\nRecipient: local2\n"));
}

TEST_F(ScannerTest, IncomingMailFilesAndCommits) {
  Receive("B0000000101", {"bob@Remote.Test", "alice"});
  IncomingMail();
  EXPECT_TRUE(Names(MailQueueDirectory).empty());
  EXPECT_TRUE(FileExists(MailHoldingDirectory + "/B0000000101.MSG"));
  std::string head = "Message-ID: <B0000000101@mail.example.org>\nReturn-path: s@remote.test\n";
  EXPECT_EQ(Slurp(Local("B0000000101.RCP")), Crlf(head + "Recipient: alice\n"));
  EXPECT_EQ(Slurp(Domain("remote.test", "B0000000101.RCP")),
            Crlf(head + "Recipient: bob@Remote.Test\n"));
  EXPECT_EQ(Names(Local()), (std::vector<std::string>{"B0000000101.RCP"}));
}

TEST_F(ScannerTest, IncomingMailDropsARecipientFileWithoutMessage) {
  Put(MailQueueDirectory + "/B0000000102.RCP",
      "Message-ID: <B0000000102@h>\nReturn-path: s@x\nRecipient: alice\n");
  IncomingMail();
  EXPECT_TRUE(Names(MailQueueDirectory).empty());
  EXPECT_NE(Events().find("The incoming message " + MailQueueDirectory +
                          "/B0000000102.MSG from s@x cannot be found."),
            std::string::npos);
  EXPECT_FALSE(DirectoryExists(Local()));
}

// A newcomer whose name a held message still has (the identifier counter
// went back) never replaces it: it waits in `incoming`, with one event,
// until the held message is delivered and collected, and then goes the
// usual way.
TEST_F(ScannerTest, ANewcomerNeverReplacesAHeldMessage) {
  const std::string held = MailHoldingDirectory + "/B0000000103.MSG";
  Put(held, "Subject: the first\n\nold\n.\n");
  MakeQueue(Domain("remote.test"));
  Put(Domain("remote.test", "B0000000103.RCP"), QueueFile("B0000000103", {"x@remote.test"}));
  Receive("B0000000103", {"alice"});
  size_t before = Events().size();
  for (int pass = 0; pass < 2; ++pass) {
    IncomingMail();
    DoGarbageCollection();
  }
  EXPECT_EQ(Slurp(held), Crlf("Subject: the first\n\nold\n.\n"));
  EXPECT_EQ(Names(MailQueueDirectory),
            (std::vector<std::string>{"B0000000103.MSG", "B0000000103.RCP"}));
  EXPECT_FALSE(DirectoryExists(Local()));
  std::string events = Events().substr(before);
  EXPECT_EQ(std::count(events.begin(), events.end(), '\n'), 1) << events;
  EXPECT_NE(events.find("a held message of that name is still queued"), std::string::npos);

  // The held one delivered: it goes, and the newcomer takes its place.
  DeleteFile(Domain("remote.test", "B0000000103.RCP"));
  DoGarbageCollection();
  IncomingMail();
  EXPECT_EQ(Slurp(held), Crlf("Subject: t\n\nbody\n.\n"));
  EXPECT_TRUE(Names(MailQueueDirectory).empty());
  EXPECT_EQ(Names(Local()), (std::vector<std::string>{"B0000000103.RCP"}));
}

// ---- crash recovery: the half-done states a killed process leaves

TEST_F(ScannerTest, AMessageAlreadyHeldIsFiledOnce) {
  // Killed after the move to holding: message held, recipient file still in
  // incoming, and one queue file half written.
  Receive("B0000000201", {"carol", "alice"});
  ASSERT_TRUE(MoveFile(MailQueueDirectory + "/B0000000201.MSG",
                       MailHoldingDirectory + "/B0000000201.MSG"));
  MakeQueue(Local());
  Put(Local("B0000000201.NEW"), "Message-ID: <B0000000201@mail.exa");
  Put(Local(".rcp-AbCdEf"), "half a rewrite");
  std::string events = Events();

  RecoverQueueFilings();
  EXPECT_TRUE(Names(Local()).empty());   // rolled back, temporary file gone
  IncomingMail();
  EXPECT_EQ(Slurp(Local("B0000000201.RCP")),
            Crlf("Message-ID: <B0000000201@mail.example.org>\nReturn-path: s@remote.test\n"
                 "Recipient: alice\nRecipient: carol\n"));
  EXPECT_TRUE(Names(MailQueueDirectory).empty());
  EXPECT_TRUE(FileExists(MailHoldingDirectory + "/B0000000201.MSG"));
  EXPECT_EQ(Events(), events);   // no "cannot be found"
}

TEST_F(ScannerTest, CommittedStagedFilesAreRolledForward) {
  MakeQueue(Local());
  MakeQueue(Domain("remote.test"));
  Put(MailHoldingDirectory + "/B0000000301.MSG", "x\n.\n");
  Put(Local("B0000000301.NEW"), QueueFile("B0000000301", {"alice"}));
  Put(Domain("remote.test", "B0000000301.NEW"), QueueFile("B0000000301", {"b@remote.test"}));
  // Both staged and queued (never left by a run): the queued file stands.
  Put(Domain("remote.test", "B0000000302.NEW"), QueueFile("B0000000302", {"x@remote.test"}));
  Put(Domain("remote.test", "B0000000302.RCP"), QueueFile("B0000000302", {"y@remote.test"}));
  RecoverQueueFilings();
  EXPECT_EQ(Names(Local()), (std::vector<std::string>{"B0000000301.RCP"}));
  EXPECT_EQ(Names(Domain("remote.test")),
            (std::vector<std::string>{"B0000000301.RCP", "B0000000302.RCP"}));
  EXPECT_NE(Slurp(Domain("remote.test", "B0000000302.RCP")).find("y@remote.test"),
            std::string::npos);
}

// ---- garbage collection

TEST_F(ScannerTest, GarbageCollectionKeepsEveryReferencedMessage) {
  for (const char *id : {"B1", "B2", "B3", "B4", "B5"})
    Put(MailHoldingDirectory + "/" + id + ".MSG", "x\n.\n");
  MakeQueue(Local());
  Put(Local("B1.RCP"), QueueFile("B1", {"a"}));                    // queued locally
  Put(MailQueueDirectory + "/B3.RCP", QueueFile("B3", {"a"}));     // taken up, not yet filed
  MakeQueue(Domain("remote.test"));
  Put(Domain("remote.test", "B4.NEW"), QueueFile("B4", {"a@remote.test"}));   // staged
  MakeQueue(Domain("other.test"));
  Put(Domain("other.test", "b5.rcp"), QueueFile("B5", {"a@other.test"}));     // any case
  MakeQueue(Domain("empty.test"));
  MakeQueue(Domain("recorded.test"));
  Put(Domain("recorded.test", kDomainRecordName), "Try-number: 1\n");

  DoGarbageCollection();
  EXPECT_EQ(Names(MailHoldingDirectory),
            (std::vector<std::string>{"B1.MSG", "B3.MSG", "B4.MSG", "B5.MSG"}));
  EXPECT_FALSE(DirectoryExists(Domain("empty.test")));
  EXPECT_TRUE(DirectoryExists(Domain("recorded.test")));   // a record keeps it
  EXPECT_TRUE(DirectoryExists(Local()));

  // Once nothing refers to them, they go, and so does the empty local queue.
  DeleteFile(Local("B1.RCP"));
  DeleteFile(MailQueueDirectory + "/B3.RCP");
  DoGarbageCollection();
  EXPECT_EQ(Names(MailHoldingDirectory), (std::vector<std::string>{"B4.MSG", "B5.MSG"}));
  EXPECT_FALSE(DirectoryExists(Local()));
}

TEST_F(ScannerTest, GarbageCollectionDeletesNothingOnAPartialView) {
  Put(MailHoldingDirectory + "/B1.MSG", "x\n.\n");
  // The queue directories cannot be listed: `domains` is a file.
  ASSERT_EQ(std::system(("rm -rf '" + MailDomainsDirectory + "'").c_str()), 0);
  Put(MailDomainsDirectory, "not a directory");
  DoGarbageCollection();
  EXPECT_TRUE(FileExists(MailHoldingDirectory + "/B1.MSG"));
}

// ---- the domain list and its threads

std::atomic<int> inFlight{0};
std::atomic<int> maxInFlight{0};
std::atomic<int> attempts{0};

int SlowAttempt(_DomainInfo &, _RoutingInfo &info) {
  int now = ++inFlight;
  for (int seen = maxInFlight; now > seen && !maxInFlight.compare_exchange_weak(seen, now);) {
  }
  Sleep(100);
  --inFlight;
  ++attempts;
  info.LastTried = NowSeconds();   // a failed try: the next one waits
  info.TryNumber = 1;
  return 0;
}

bool WaitForThreadsToEnd() {
  for (int i = 0; i < 200 && DomainThreadsRunning() != 0; ++i) Sleep(50);
  return DomainThreadsRunning() == 0;
}

TEST_F(ScannerTest, TwoThreadsServeFiveDueDomains) {
  MaxDeliveryThreads = 2;
  for (const char *d : {"a.test", "b.test", "c.test", "d.test", "e.test"}) {
    MakeQueue(Domain(d));
    Put(Domain(d, "B1.RCP"), QueueFile("B1", {std::string("x@") + d}));
  }
  inFlight = maxInFlight = attempts = 0;
  DeliverDomain = SlowAttempt;
  UpdateDomainInfo();
  UpdateDomainInfo();   // seen again: no second entry
  auto list = DomainListSnapshot();
  ASSERT_EQ(list.size(), 5u);
  for (const auto &[name, state] : list) EXPECT_EQ(state, kDomainReady) << name;

  CreateDomainThreads();
  CreateDomainThreads();   // while they run: no third thread
  EXPECT_LE(DomainThreadsRunning(), 2);
  ASSERT_TRUE(WaitForThreadsToEnd());
  EXPECT_EQ(attempts, 5);
  EXPECT_EQ(maxInFlight, 2);
  for (const auto &[name, state] : DomainListSnapshot()) EXPECT_EQ(state, kDomainWaiting) << name;

  // Nothing is due: the next cycle starts no thread.
  CreateDomainThreads();
  EXPECT_EQ(DomainThreadsRunning(), 0);
  Sleep(100);
  EXPECT_EQ(attempts, 5);
  DeliverDomain = DeliverAllMessages;
}

TEST_F(ScannerTest, ADomainThreadRemovesAnEmptyDomain) {
  MakeQueue(Domain("gone.test"));
  Put(Domain("gone.test", kDomainRecordName), "Try-number: 3\n");
  inFlight = maxInFlight = attempts = 0;
  DeliverDomain = SlowAttempt;
  UpdateDomainInfo();
  CreateDomainThreads();
  ASSERT_TRUE(WaitForThreadsToEnd());
  EXPECT_EQ(attempts, 0);
  EXPECT_FALSE(DirectoryExists(Domain("gone.test")));
  EXPECT_TRUE(DomainListSnapshot().empty());
  DeliverDomain = DeliverAllMessages;
}

// The attempts made (by domain), each held until released when its domain
// begins with "s" (slow) or "u" (not known slow).
std::atomic<bool> released{false};
std::mutex attemptsLock;
std::vector<std::string> attempted;

int HoldingAttempt(_DomainInfo &entry, _RoutingInfo &info) {
  {
    std::lock_guard<std::mutex> lock(attemptsLock);
    attempted.push_back(entry.DomainName);
  }
  for (int i = 0; i < 200 && !released && entry.DomainName[0] != 'n'; ++i) Sleep(50);
  info.bSlow = entry.DomainName[0] == 's';
  info.LastTried = NowSeconds();
  info.TryNumber = 1;
  return 0;
}

std::vector<std::string> AttemptsAfter(int ms) {
  Sleep(ms);
  std::lock_guard<std::mutex> lock(attemptsLock);
  return attempted;
}

// Slow domains take at most half of the domain threads: the one of two,
// here, which a domain not known slow holds once its attempt has run longer
// than a reply may take. A slow domain (its record says so) that comes due
// then waits; a normal one does not.
TEST_F(ScannerTest, ALongAttemptLeavesNoRoomForSlowDomains) {
  DeliverDomain = HoldingAttempt;
  MaxDeliveryThreads = 2;
  ReceiveTimeout0 = 1;
  for (const char *d : {"u1.test", "s1.test", "n1.test"}) {
    MakeQueue(Domain(d));
    Put(Domain(d, "B1.RCP"), QueueFile("B1", {std::string("x@") + d}));
    if (d[0] == 's') Put(Domain(d, kDomainRecordName), "Try-number: 0\nSlow: 1\n");
    UpdateDomainInfo();
    CreateDomainThreads();
    if (d[0] == 'u') {
      EXPECT_EQ(AttemptsAfter(1500), std::vector<std::string>{"u1.test"});
    }
  }
  EXPECT_EQ(AttemptsAfter(500), (std::vector<std::string>{"u1.test", "n1.test"}));
  released = true;
  ASSERT_TRUE(WaitForThreadsToEnd());
  EXPECT_EQ(AttemptsAfter(0), (std::vector<std::string>{"u1.test", "n1.test", "s1.test"}));
  ReceiveTimeout0 = 300;
  DeliverDomain = DeliverAllMessages;
}

TEST_F(ScannerTest, AnUnreachableDomainWaitsForItsNextTry) {
  // The name server is a closed loopback port: the lookup fails for now.
  ASSERT_TRUE(dnstest::SetTcpip("NameServer", dnstest::ClosedPortEntry()));
  ASSERT_TRUE(InitRoutingModule());
  MakeQueue(Domain("wait.test"));
  Put(Domain("wait.test", "B1.RCP"), QueueFile("B1", {"x@wait.test"}));
  UpdateDomainInfo();
  CreateDomainThreads();
  ASSERT_TRUE(WaitForThreadsToEnd());
  auto list = DomainListSnapshot();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].second, kDomainWaiting);   // the next try is minutes away
  EXPECT_TRUE(FileExists(Domain("wait.test", "B1.RCP")));
}

}  // namespace
