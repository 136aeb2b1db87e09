#include "frame/lookup.h"
#include "frame/mailbox.h"
#include "platform/clock.h"

#include <atomic>
#include <gtest/gtest.h>
#include <list>
#include <memory>
#include <thread>

using namespace zs;

namespace {
struct Dev {
    int tag;
};
struct File {
    uint32_t fileId;
};
using Devices = std::list<std::shared_ptr<Dev>>;
using Files = std::list<File>;

Devices threeDevices() {
    return {std::make_shared<Dev>(Dev{10}), std::make_shared<Dev>(Dev{11}),
            std::make_shared<Dev>(Dev{12})};
}

// -1 for not found, the device tag, or 1000 + file identifier.
int mixed(Devices& d, Files& f, int32_t index) {
    return frame::findMixed(
        d, f, index, [](std::shared_ptr<Dev>& p) { return p->tag; },
        [](File& file) { return static_cast<int>(1000 + file.fileId); }, -1);
}
} // namespace

TEST(Lookup, PositionRule) {
    auto devices = threeDevices();
    struct Case {
        int32_t index;
        int expected;
    } cases[] = {{0, 10}, {2, 12}, {3, -1}, {-1, -1}, {INT32_MIN, -1}, {256, -1}};
    for (auto c : cases) {
        auto* found = frame::findByPosition(devices, c.index);
        EXPECT_EQ(found ? (*found)->tag : -1, c.expected) << c.index;
    }
    Devices none;
    EXPECT_EQ(frame::findByPosition(none, 0), nullptr);
    EXPECT_EQ(frame::findFirst(none), nullptr);
    EXPECT_EQ((*frame::findFirst(devices))->tag, 10);
}

TEST(Lookup, MixedAndFileRules) {
    auto devices = threeDevices();
    Files files;
    EXPECT_EQ(mixed(devices, files, 256), -1); // no file open
    files = {{256}, {300}, {300}};
    struct Case {
        int32_t index;
        int expected;
    } cases[] = {{0, 10},     {2, 12},   {3, -1},  {255, -1}, {256, 1256},
                 {300, 1300}, {257, -1}, {-1, -1}, {-256, -1}};
    for (auto c : cases) EXPECT_EQ(mixed(devices, files, c.index), c.expected) << c.index;
    // Rule F does not split at 256: a small value is simply never an identifier.
    Files small = {{0}, {5}};
    EXPECT_EQ(frame::findFile(small, 5u)->fileId, 5u);
    EXPECT_EQ(frame::findFile(files, 1u), nullptr);
    EXPECT_EQ(frame::findFile(files, 300u), &*std::next(files.begin()));
}

TEST(Mailbox, UnansweredCommandTimesOutAndStaysPending) {
    std::atomic<int32_t> mailbox{-1};
    const uint32_t t0 = platform::tickMs();
    frame::mailboxStoreAndWait(mailbox, 7);
    const uint32_t elapsed = platform::tickMs() - t0;
    EXPECT_GE(elapsed, 490u);
    EXPECT_LT(elapsed, 2000u);
    EXPECT_EQ(mailbox.load(), 7);
}

TEST(Mailbox, ReturnsOnceTheThreadClears) {
    std::atomic<int32_t> mailbox{-1};
    std::atomic<int32_t> taken{0};
    std::thread io([&] {
        int32_t v;
        while ((v = mailbox.load()) < 0) platform::sleepMs(1);
        taken = v;
        mailbox.exchange(-1);
    });
    const uint32_t t0 = platform::tickMs();
    frame::mailboxStoreAndWait(mailbox, 3);
    EXPECT_LT(platform::tickMs() - t0, 450u);
    io.join();
    EXPECT_EQ(taken.load(), 3);
}

TEST(Mailbox, LongerVariantWaitsItsOwnLimit) {
    std::atomic<int32_t> mailbox{-1};
    const uint32_t t0 = platform::tickMs();
    frame::mailboxStoreAndWait(mailbox, 1, 700);
    EXPECT_GE(platform::tickMs() - t0, 690u);
}
