#include "platform/event.h"
#include "platform/io_thread.h"

#include <atomic>
#include <gtest/gtest.h>
#include <new>

using namespace zs::platform;

TEST(IoThread, RunsOnlyAfterStartAndJoins) {
    std::atomic<int> runs{0};
    Event ran(Event::Reset::Manual);
    IoThread t([&] {
        ++runs;
        ran.set();
    });
    EXPECT_FALSE(t.started());
    EXPECT_FALSE(ran.wait(20)); // stored, not yet running
    t.start();
    EXPECT_TRUE(ran.wait(5000));
    t.join();
    EXPECT_FALSE(t.joinable());
    t.start(); // a finished thread does not run again
    EXPECT_EQ(runs.load(), 1);
}

TEST(IoThread, DestructorJoinsARunningThread) {
    Event stop(Event::Reset::Manual);
    std::atomic<bool> finished{false};
    {
        IoThread t([&] {
            stop.wait(kWaitInfinite);
            finished = true;
        });
        t.start();
        stop.set();
    }
    EXPECT_TRUE(finished.load());
}

// An exception leaving the body (an allocation or a system object that failed) ends that
// thread's work, never the host process.
TEST(IoThread, AnExceptionEndsOnlyTheThread) {
    std::atomic<bool> after{false};
    IoThread t([&] {
        throw std::bad_alloc();
        after = true;
    });
    EXPECT_TRUE(t.start());
    t.join();
    EXPECT_FALSE(t.joinable());
    EXPECT_FALSE(after.load());
}
