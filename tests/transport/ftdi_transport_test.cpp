#include "platform/clock.h"
#include "sim_fixtures.h"
#include "transport/ftdi_transport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace zs::test {
namespace {

using platform::Event;
using sim::Completion;
using sim::D2xxCall;
using sim::D2xxRole;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class FtdiTransfer : public SimD2xxTest {
  protected:
    void SetUp() override {
        SimD2xxTest::SetUp();
        handle = openDevice(dev);
        ASSERT_NE(handle, transport::kNoFtdiHandle);
    }
    sim::SimD2xxDevice* dev = nullptr;
    transport::FtHandle handle = nullptr;
    platform::Overlapped io;
    Event stop{Event::Reset::Manual};
};

TEST_F(FtdiTransfer, CompletionAtOnceAsksNoResultAndDoesNotWait) {
    const uint8_t out[] = {1, 2, 3, 4, 5};
    EXPECT_EQ(transport::ftdiWrite(handle, out, 5, &stop, io), 5u);
    EXPECT_THAT(dev->written, ElementsAreArray(out));

    dev->queue({9, 8, 7});
    uint8_t in[16] = {};
    EXPECT_EQ(transport::ftdiRead(handle, in, sizeof in, &stop, io), 3u);
    EXPECT_THAT(std::vector<uint8_t>(in, in + 3), ElementsAre(9, 8, 7));
    EXPECT_EQ(dev->resultCalls, 0u);
    EXPECT_EQ(dev->lastErrorCalls, 0u);
}

TEST_F(FtdiTransfer, PendingWithStopAlreadySetMakesOneResultCallAndOneWait) {
    dev->writeCompletion = Completion::Stuck;
    stop.set();
    const uint8_t out[] = {0xAA};
    const uint32_t start = platform::tickMs();
    EXPECT_EQ(transport::ftdiWrite(handle, out, 1, &stop, io), 0u);
    EXPECT_LT(platform::tickMs() - start, 1000u);
    EXPECT_EQ(dev->lastErrorCalls, 1u);
    // Each loop turn is one result call followed by one wait; the first wait saw the stop.
    EXPECT_EQ(dev->resultCalls, 1u);
    EXPECT_TRUE(dev->written.empty());
}

TEST_F(FtdiTransfer, PendingTransferIsPolledUntilItCompletes) {
    dev->readCompletion = Completion::Pending;
    dev->pendingResultCalls = 3;
    dev->queue({0x11, 0x22});
    uint8_t in[8] = {};
    const uint32_t start = platform::tickMs();
    EXPECT_EQ(transport::ftdiRead(handle, in, sizeof in, &stop, io), 2u);
    EXPECT_EQ(dev->resultCalls, 3u);
    EXPECT_GE(platform::tickMs() - start, 10u); // two 5 ms polls between three result calls
    EXPECT_EQ(in[0], 0x11);
    EXPECT_EQ(in[1], 0x22);
}

TEST_F(FtdiTransfer, NullStopEventStillPollsToCompletion) {
    dev->writeCompletion = Completion::Pending;
    dev->pendingResultCalls = 2;
    const uint8_t out[] = {1, 2};
    EXPECT_EQ(transport::ftdiWrite(handle, out, 2, nullptr, io), 2u);
    EXPECT_EQ(dev->resultCalls, 2u);
}

TEST_F(FtdiTransfer, FailuresReportZero) {
    const uint8_t out[] = {1};
    // A call that fails with anything but "pending" is not polled.
    dev->failingRoles = sim::roleBit(D2xxRole::Write);
    EXPECT_EQ(transport::ftdiWrite(handle, out, 1, &stop, io), 0u);
    EXPECT_EQ(dev->resultCalls, 0u);
    // A device that went away.
    dev->failingRoles = 0;
    dev->present = false;
    EXPECT_EQ(transport::ftdiWrite(handle, out, 1, &stop, io), 0u);
    // No handle at all.
    EXPECT_EQ(transport::ftdiWrite(transport::kNoFtdiHandle, out, 1, &stop, io), 0u);
}

TEST_F(FtdiTransfer, StopSetWhileWaitingEndsAPendingTransfer) {
    dev->readCompletion = Completion::Stuck;
    uint8_t in[4];
    std::thread stopper([&] {
        // Stop once the transfer is being polled.
        while (sim::SimD2xx::instance().locked([&] { return dev->resultCalls; }) == 0)
            platform::sleepMs(1);
        stop.set();
    });
    EXPECT_EQ(transport::ftdiRead(handle, in, sizeof in, &stop, io), 0u);
    stopper.join();
    EXPECT_GE(dev->resultCalls, 1u);
}

// --- Rate change -------------------------------------------------------------------------------

// Through each binding: the rate call, line low and high and the packet between them reach
// the device alike.
class FtdiRateStep : public SimD2xxTest, public ::testing::WithParamInterface<FtdiBinding> {
  protected:
    void SetUp() override {
        SimD2xxTest::SetUp();
        installFtdiBinding(GetParam());
        handle = openDevice(dev);
        ASSERT_NE(handle, transport::kNoFtdiHandle);
    }
    void TearDown() override {
        transport::d2xx().close(handle);
        SimD2xxTest::TearDown();
    }
    int step(uint32_t kind, uint32_t rate) {
        return transport::ftdiRateStep(handle, static_cast<transport::LinkKind>(kind), rate,
                                       linkState, stateTime, &stop, io);
    }
    std::vector<D2xxRole> roles() const {
        std::vector<D2xxRole> r;
        for (const auto& c : dev->history)
            if (c.role != D2xxRole::Open) r.push_back(c.role);
        return r;
    }
    sim::SimD2xxDevice* dev = nullptr;
    transport::FtHandle handle = nullptr;
    platform::Overlapped io;
    Event stop{Event::Reset::Manual};
    int32_t linkState = 0x100;
    uint32_t stateTime = 0;
};
INSTANTIATE_TEST_SUITE_P(Bindings, FtdiRateStep, ::testing::ValuesIn(ftdiBindings()),
                         ftdiBindingName);

// Waits until the tick is at least `ms` past `since` (the tick may be coarse).
void waitTicks(uint32_t since, uint32_t ms) {
    while (platform::tickMs() - since < ms) platform::sleepMs(1);
}

TEST_P(FtdiRateStep, DirectKindsSetTheRateThenReportStepFourAfterTenMs) {
    for (uint32_t kind : {2u, 4u, 13u}) {
        SCOPED_TRACE(kind);
        linkState = 0x100;
        const uint32_t start = platform::tickMs();
        EXPECT_EQ(step(kind, 921600), 0);
        EXPECT_EQ(linkState, 0x101);
        EXPECT_EQ(dev->lineRate, 921600u);
        // Step 1 holds until 10 ms have passed, then moves to step 4 and reports 1.
        while (step(kind, 921600) == 0) ASSERT_EQ(linkState, 0x101);
        EXPECT_GE(platform::tickMs() - start, 10u);
        EXPECT_EQ(linkState, 0x104);
        // Step 4 and above belong to the caller.
        EXPECT_EQ(step(kind, 921600), 0);
        EXPECT_EQ(linkState, 0x104);
    }
}

TEST_P(FtdiRateStep, RefusedRateMovesToTheNextStageAndReturnsOne) {
    dev->refusedRates.insert(3000000);
    linkState = 0x100;
    stateTime = 1234;
    EXPECT_EQ(step(2, 3000000), 1);
    EXPECT_EQ(linkState, 0x0200);
    EXPECT_EQ(stateTime, 1234u);
    EXPECT_EQ(dev->lineRate, 9600u);
}

TEST_P(FtdiRateStep, OtherRateFailureChangesNothingAndIsRetried) {
    // Under the driver's lock: the libftdi binding's reader thread asks the device meanwhile.
    auto fail = [&](uint32_t roles) {
        sim::SimD2xx::instance().locked([&] { return dev->failingRoles = roles; });
    };
    fail(sim::roleBit(D2xxRole::Rate));
    stateTime = 77;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(step(4, 115200), 0);
        EXPECT_EQ(linkState, 0x100);
        EXPECT_EQ(stateTime, 77u);
    }
    fail(0);
    EXPECT_EQ(step(4, 115200), 0);
    EXPECT_EQ(linkState, 0x101);
}

TEST_P(FtdiRateStep, PacketSwitchedChangeTakesFourTurnsAndThirtyMs) {
    for (uint32_t kind : {3u, 5u}) {
        SCOPED_TRACE(kind);
        dev->history.clear();
        dev->written.clear();
        linkState = 0x300;
        const uint32_t start = platform::tickMs();
        // Each turn only once the tick shows 10 ms more: every turn is due, so the change
        // needs exactly four.
        int turns = 1;
        while (step(kind, 115200) == 0) {
            ASSERT_LT(turns, 4) << std::hex << linkState;
            ++turns;
            waitTicks(stateTime, 10);
        }
        EXPECT_EQ(turns, 4); // line low, packet, line high, done
        EXPECT_EQ(linkState, 0x304);
        EXPECT_GE(platform::tickMs() - start, 30u);
        EXPECT_LT(platform::tickMs() - start, 5000u);
        EXPECT_THAT(roles(), ElementsAre(D2xxRole::LineLow, D2xxRole::LineHigh));
        EXPECT_THAT(dev->written, ElementsAre(0x00, 0x67, 0x00, 0x00, 0x00, 0x02));
        EXPECT_EQ(dev->lineRate, 9600u); // the rate call is not used on these links
    }
}

TEST_P(FtdiRateStep, StepsWaitTenMsMeasuredInUnsignedTicks) {
    linkState = 0x101; // packet sent next
    stateTime = platform::tickMs();
    EXPECT_EQ(step(3, 115200), 0);
    EXPECT_EQ(linkState, 0x101); // too early
    // A stateTime "after" now is a wrapped tick: now - stateTime is huge, so the step is due.
    stateTime = platform::tickMs() + 1000;
    EXPECT_EQ(step(3, 115200), 0);
    EXPECT_EQ(linkState, 0x102);
}

TEST_P(FtdiRateStep, OtherKindsAndLaterStepsDoNothing) {
    for (uint32_t kind : {0u, 1u, 6u, 7u, 10u}) {
        EXPECT_EQ(step(kind, 115200), 0);
        EXPECT_EQ(linkState, 0x100);
    }
    linkState = 0x105;
    EXPECT_EQ(step(3, 115200), 0);
    EXPECT_EQ(step(2, 115200), 0);
    EXPECT_EQ(linkState, 0x105);
    EXPECT_THAT(roles(), ElementsAre());
}

// --- Rate word and packet ------------------------------------------------------------------------

struct RateCase {
    uint32_t rate;
    uint32_t n, m, pattern;
    std::array<uint8_t, 6> packet;
};

class RatePacket : public ::testing::TestWithParam<RateCase> {};

TEST_P(RatePacket, WordAndBytes) {
    const RateCase& c = GetParam();
    uint32_t stored = 0;
    const uint32_t word = transport::buildRateWord(c.rate, &stored);
    EXPECT_EQ(stored, word);
    EXPECT_EQ((word & 0x7F) | ((word >> 8) & 0x7F) << 7, c.n - 1);
    EXPECT_EQ((word >> 24) & 7, c.m & 7);
    EXPECT_EQ(((word >> 16) & 0x7F) | ((word >> 29) & 3) << 7, c.pattern);
    EXPECT_EQ(word & 0x80808080u, 0u); // no byte has bit 7 set
    EXPECT_EQ(transport::buildRatePacket(c.rate), c.packet);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, RatePacket,
    ::testing::Values(RateCase{115200, 104, 8, 0, {0x00, 0x67, 0x00, 0x00, 0x00, 0x02}},
                      RateCase{2304000, 5, 8, 0x92, {0x00, 0x04, 0x00, 0x12, 0x20, 0x02}},
                      RateCase{2048000, 5, 9, 0x52, {0x00, 0x04, 0x00, 0x52, 0x01, 0x02}}));

TEST(RateWord, RatesWithoutADivisorGiveZero) {
    uint32_t stored = 0xFFFFFFFF;
    EXPECT_EQ(transport::buildRateWord(0, &stored), 0u);
    EXPECT_EQ(stored, 0u);
    EXPECT_EQ(transport::buildRateWord(12000001), 0u);
    EXPECT_EQ(transport::buildRateWord(0xFFFFFFFF), 0u);
}

} // namespace
} // namespace zs::test
