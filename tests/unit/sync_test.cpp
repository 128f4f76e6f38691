// Events and multi-object waits.
#include <gtest/gtest.h>

#include <thread>

#include "platform/sync.h"

TEST(Sync, ManualResetEventStaysSignalledUntilReset) {
  ZelEvent ev(true, false);
  ASSERT_TRUE(ev.Valid());
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
  ev.Set();
  ev.Set();
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
  ev.Reset();
  EXPECT_FALSE(ev.IsSet());
  EXPECT_EQ(WaitForSingleObject(ev, 10), WAIT_TIMEOUT);
}

TEST(Sync, AutoResetEventReleasesOneWaiter) {
  ZelEvent ev(false, true);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
}

TEST(Sync, MultipleWaitReportsTheSignalledIndexAndTimesOut) {
  ZelEvent a(true, false), b(true, false);
  Waitable *both[] = {&a, &b};
  long long start = MonotonicMs();
  EXPECT_EQ(WaitForMultipleObjects(2, both, 50), WAIT_TIMEOUT);
  EXPECT_GE(MonotonicMs() - start, 45);
  std::thread setter([&] {
    Sleep(20);
    b.Set();
  });
  EXPECT_EQ(WaitForMultipleObjects(2, both, 5000), WAIT_OBJECT_0 + 1);
  setter.join();
}
