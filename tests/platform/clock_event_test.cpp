#include "platform/clock.h"
#include "platform/event.h"

#include <gtest/gtest.h>
#include <thread>

using namespace zs::platform;

TEST(Clock, SleepAdvancesTheTick) {
    const uint32_t t0 = tickMs();
    sleepMs(100);
    const uint32_t elapsed = tickMs() - t0;
    EXPECT_GE(elapsed, 80u); // some systems tick in 15.6 ms steps
    EXPECT_LT(elapsed, 2000u);
}

TEST(Event, ManualResetStaysSetUntilReset) {
    Event e(Event::Reset::Manual);
    EXPECT_FALSE(e.wait(0));
    e.set();
    EXPECT_TRUE(e.wait(0));
    EXPECT_TRUE(e.wait(0));
    e.reset();
    EXPECT_FALSE(e.wait(0));
}

TEST(Event, AutoResetReleasesOneWait) {
    Event e(Event::Reset::Auto, true);
    EXPECT_TRUE(e.wait(0));
    EXPECT_FALSE(e.wait(0));
    e.set();
    e.set(); // setting twice still releases only one wait
    EXPECT_TRUE(e.tryAcquire());
    EXPECT_FALSE(e.tryAcquire());
}

TEST(Event, WaitAnyPicksTheLowestSetIndex) {
    Event a(Event::Reset::Manual), b(Event::Reset::Auto), c(Event::Reset::Manual);
    EXPECT_EQ(waitAny({&a, &b, &c}, 0), kWaitTimedOut);
    c.set();
    b.set();
    EXPECT_EQ(waitAny({&a, &b, &c}, 0), 1);
    EXPECT_EQ(waitAny({&a, &b, &c}, 0), 2); // b was auto-reset and is used up
}

TEST(Event, WaitAnyTimesOutAfterTheLimit) {
    Event a(Event::Reset::Manual), b(Event::Reset::Auto);
    const uint32_t t0 = tickMs();
    EXPECT_EQ(waitAny({&a, &b}, 50), kWaitTimedOut);
    const uint32_t elapsed = tickMs() - t0;
    EXPECT_GE(elapsed, 45u);
    EXPECT_LT(elapsed, 2000u);
}

TEST(Event, WaitAnyWakesWhenAnotherThreadSets) {
    Event a(Event::Reset::Manual), stop(Event::Reset::Manual);
    std::thread setter([&] {
        sleepMs(20);
        stop.set();
    });
    EXPECT_EQ(waitAny({&a, &stop}, kWaitInfinite), 1);
    setter.join();
}
