#include "platform/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace portvale {
namespace {

TEST(EventTest, ManualResetStaysSignalledUntilReset) {
    Event e(true, false);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    e.Set();
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    e.Reset();
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
}

TEST(EventTest, AutoResetIsConsumedByOneWait) {
    Event e(false, true);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    e.Set();
    e.Set();  // an event is a flag, not a counter
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
}

TEST(EventTest, WaitForAnyReportsTheLowestSignalledIndex) {
    Event a(true, false), b(true, false), c(false, false);
    EXPECT_EQ(WaitForMultipleObjects({&a, &b, &c}, false, 0), WAIT_TIMEOUT);
    c.Set();
    b.Set();
    EXPECT_EQ(WaitForMultipleObjects({&a, &b, &c}, false, 0), WAIT_OBJECT_0 + 1);
    b.Reset();
    EXPECT_EQ(WaitForMultipleObjects({&a, &b, &c}, false, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects({&a, &b, &c}, false, 0), WAIT_TIMEOUT) << "c auto-resets";
    EXPECT_EQ(WaitForMultipleObjects({}, false, 0), WAIT_FAILED);
}

TEST(EventTest, WaitForAllNeedsEverySignal) {
    Event a(true, false), b(false, false);
    a.Set();
    EXPECT_EQ(WaitForMultipleObjects({&a, &b}, true, 0), WAIT_TIMEOUT);
    std::thread setter([&] { b.Set(); });
    EXPECT_EQ(WaitForMultipleObjects({&a, &b}, true, 10000), WAIT_OBJECT_0);
    setter.join();
    EXPECT_FALSE(b.IsSet());
    EXPECT_TRUE(a.IsSet());
}

TEST(EventTest, AnotherThreadsSetEndsAnInfiniteWait) {
    Event e(false, false);
    std::thread setter([&] { e.Set(); });
    EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
    setter.join();
}

TEST(EventTest, OneSetOfAnAutoResetEventWakesExactlyOneOfTwoWaiters) {
    Event e(false, false);
    std::atomic<int> woken{0};
    auto waiter = [&] {
        if (WaitForSingleObject(e, 300) == WAIT_OBJECT_0) ++woken;
    };
    std::thread t1(waiter), t2(waiter);
    e.Set();
    t1.join();
    t2.join();
    EXPECT_EQ(woken, 1);
}

}  // namespace
}  // namespace portvale
