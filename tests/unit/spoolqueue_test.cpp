// The queue as zeladm reads it: identifiers, the listing gathered from
// incoming and the queue directories, domain records, the recipient file
// lock and the JSON form.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "common/loadcfig.h"
#include "common/pconfig.h"
#include "common/spoolqueue.h"
#include "common/zel.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "tools/zeladm/queuecmd.h"

namespace {

struct Spool {
  QueuePaths paths;
  explicit Spool(const char *name) {
    std::string root = std::string(std::getenv("ZEL_ROOT")) + "/" + name;
    paths = {root + "/incoming", root + "/holding", root + "/domains"};
    CreateDirectory(root);
    for (const std::string *d : {&paths.Incoming, &paths.Holding, &paths.Domains})
      CreateDirectory(*d);
  }
  void Put(const std::string &path, const std::string &text) {
    DeleteFile(path);
    ASSERT_TRUE(CreateFileWithText(path, text, 0600)) << path;
  }
  std::string Queue(const std::string &dir) {
    std::string path = paths.Domains + "/" + dir;
    CreateDirectory(path);
    return path;
  }
};

std::string Rcp(const std::string &id, const std::string &from, const std::string &to) {
  return "Message-ID: <" + id + "@here.test>\nReturn-path: " + from + "\nRecipient: " + to + "\n";
}

TEST(QueueIds, OnlyTheIdentifiersCharacters) {
  for (const char *good : {"B0000000042", "B0000000042-1", "a_b"}) EXPECT_TRUE(IsQueueId(good));
  for (const char *bad : {"", "..", "../holding/x", "a/b", "B1.MSG", "a b", "a\n"})
    EXPECT_FALSE(IsQueueId(bad)) << bad;
  EXPECT_TRUE(IsQueueId(std::string(kMaxQueueId, 'B')));
  EXPECT_FALSE(IsQueueId(std::string(kMaxQueueId + 1, 'B')));
}

TEST(QueueListing, GathersEachMessageFromEveryQueue) {
  SetConfigDefaults();
  RetryScheduleDescriptor = kBuiltInRetrySchedule;
  ASSERT_GT(SetUpRetryScheduleArray(), 2);
  Spool s("list");
  // B1: two remote domains and the local queue; B2 waits in incoming; B3 is
  // held; B4 has no identifier line (the agent names it after its file).
  std::string far = s.Queue("far.test"), near = s.Queue("near.test"), local = s.Queue("$local$");
  s.Put(far + "/DOMAIN.MRI", "Domain-name: far.test\r\nLast-tried: 1000\r\nTry-number: 2\r\n"
                             "Last-error: Connection refused by 127.0.0.9\r\n");
  s.Put(near + "/DOMAIN.MRI", "Last-tried: 1000\nTry-number: 1\n");
  s.Put(near + "/DOMAIN.RTY", "");
  s.Put(far + "/B1.RCP", Rcp("B1", "a@here.test", "x@far.test"));
  s.Put(near + "/B1.RCP", Rcp("B1", "a@here.test", "y@near.test") + "Recipient: z@near.test\n");
  s.Put(local + "/B1.RCP", Rcp("B1", "a@here.test", "bob"));
  s.Put(far + "/B3.RCP", Rcp("B3", "", "w@far.test"));
  s.Put(far + "/B4.RCP", "Recipient: no-id@far.test\n");
  s.Put(s.paths.Holding + "/B1.MSG", std::string(300, 'x'));
  s.Put(s.paths.Holding + "/B3.MSG", "Subject: held\r\n\r\n");
  s.Put(HoldMarkerPath(s.paths.Holding, "B3"), "");
  s.Put(s.paths.Incoming + "/B2.RCP", Rcp("B2", "c@here.test", "q@Other.TEST"));
  s.Put(s.paths.Incoming + "/B2.MSG", "12345");

  QueueListing l;
  ASSERT_TRUE(ListQueue(s.paths, "", 1000, l));
  ASSERT_EQ(l.Messages.size(), 4u);
  EXPECT_EQ(l.Unreadable, 0u);
  EXPECT_EQ(l.Messages[3].Recipients.at(0).Address, "no-id@far.test");
  const QueuedMessage &b1 = l.Messages[0], &b2 = l.Messages[1], &b3 = l.Messages[2];
  EXPECT_EQ(b1.Id, "B1");
  EXPECT_EQ(b1.Size, 300u);
  EXPECT_EQ(b1.ReturnPath, "a@here.test");
  EXPECT_FALSE(b1.Held);
  ASSERT_EQ(b1.Recipients.size(), 4u);
  // Queues in name order ("$local$" first), recipients in file order.
  EXPECT_EQ(b1.Recipients[0].Queue, "");
  EXPECT_EQ(b1.Recipients[1].Address, "x@far.test");
  EXPECT_EQ(b1.Recipients[1].Tries, 2);
  EXPECT_EQ(b1.Recipients[1].NextTry, 1000 + 60LL * RetrySchedule[2].RetryInterval);
  EXPECT_EQ(b1.Recipients[1].LastError, "Connection refused by 127.0.0.9");
  EXPECT_EQ(b1.Recipients[2].Address, "y@near.test");
  EXPECT_EQ(b1.Recipients[3].Address, "z@near.test");
  EXPECT_EQ(b1.Recipients[3].NextTry, 0);   // retry asked for
  EXPECT_TRUE(b2.Recipients[0].Incoming);
  EXPECT_EQ(b2.Recipients[0].Queue, "other.test");
  EXPECT_EQ(b2.Size, 5u);
  EXPECT_TRUE(b3.Held);
  EXPECT_EQ(b3.ReturnPath, "");

  QueueListing one;
  ASSERT_TRUE(ListQueue(s.paths, "B3", 1000, one));
  ASSERT_EQ(one.Messages.size(), 1u);
  EXPECT_EQ(one.Messages[0].Id, "B3");
  ASSERT_TRUE(ListQueue(s.paths, "B9", 1000, one));
  EXPECT_TRUE(one.Messages.empty());
  ASSERT_TRUE(ListQueue(s.paths, "", 1, one));
  EXPECT_TRUE(one.Cut);

  // The JSON form stays JSON whatever the spool holds.
  l.Messages[2].ReturnPath = "\"q\\\x01\xe9";
  std::string json = QueueListingJson(l, 2000);
  EXPECT_NE(json.find("\"return_path\": \"\\\"q\\\\\\u0001\\u00e9\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"totals\": {\"messages\": 4, \"held\": 1, \"recipients\": 7"),
            std::string::npos) << json;
}

TEST(QueueListing, DomainRecordSummaryIsBounded) {
  DomainRecordSummary r;
  ParseDomainRecordSummary("TRY-NUMBER: 99999999999999999999\nlast-tried: -5\nLast-error: " +
                               std::string(5000, 'e') + "\nMx-host: a\n",
                           r);
  EXPECT_EQ(r.TryNumber, INT32_MAX);
  EXPECT_EQ(r.LastTried, 0);
  // The line is read to 511 characters, the text kept to its own bound.
  EXPECT_EQ(r.LastError, std::string(kMaxLastErrorText, 'e'));
  // Twenty digits: saturated, never wrapped round to a negative time.
  ParseDomainRecordSummary("Last-tried: 17800000000000961568\n", r);
  EXPECT_EQ(r.LastTried, LLONG_MAX / 2);
}

TEST(RecipientFileLock, ExcludesAndFollowsReplacement) {
  Spool s("lock");
  std::string path = s.Queue("far.test") + "/B1.RCP";
  UniqueFd a, b;
  EXPECT_EQ(LockRecipientFile(path, 0, a), ERROR_FILE_NOT_FOUND);
  s.Put(path, "one");
  ASSERT_EQ(LockRecipientFile(path, 0, a), ERROR_SUCCESS);
  EXPECT_EQ(LockRecipientFile(path, 0, b), ERROR_ALREADY_EXISTS);
  // A writer's rename puts a new, unlocked file under the name.
  std::string fresh = path + ".tmp";
  ASSERT_TRUE(CreateFileWithText(fresh, "two", 0600));
  ASSERT_TRUE(MoveFile(fresh, path));
  EXPECT_EQ(LockRecipientFile(path, 0, b), ERROR_SUCCESS);
  // A bounded wait ends at the holder's release, or with the time.
  UniqueFd c;
  EXPECT_EQ(LockRecipientFile(path, 100, c), ERROR_ALREADY_EXISTS);
  std::thread release([&b] {
    Sleep(200);
    b.Reset();
  });
  EXPECT_EQ(LockRecipientFile(path, 10000, c), ERROR_SUCCESS);
  release.join();
  a.Reset();
  c.Reset();
  DeleteFile(path);
  EXPECT_EQ(LockRecipientFile(path, 0, c), ERROR_FILE_NOT_FOUND);
}

}  // namespace
