// The timer component on the GUI thread's dispatcher.
#include <gtest/gtest.h>

#include "framework/Timer.h"
#include "tests/support/Wait.h"

namespace portvale {
namespace {

TEST(TimerTest, TicksWhileEnabledAndNotAfter) {
    TTimer timer(nullptr);
    int ticks = 0;
    timer.OnTimer = [&](TObject*) {
        if (++ticks == 3) timer.SetEnabled(false);
    };
    timer.SetInterval(10);
    timer.SetEnabled(true);
    ASSERT_TRUE(test::PumpUntil([&] { return ticks == 3; }));
    // Disabled from its own handler: several intervals pass without a tick.
    Dispatcher::Instance().RunFor(std::chrono::milliseconds(60), nullptr);
    EXPECT_EQ(ticks, 3);
    timer.SetEnabled(true);
    ASSERT_TRUE(test::PumpUntil([&] { return ticks == 4; }));
}

}  // namespace
}  // namespace portvale
