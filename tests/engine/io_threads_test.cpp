#include "engine/stream_fixture.h"

#include <gtest/gtest.h>

namespace zs::test {
namespace {

using K = transport::LinkKind;

using sim::D2xxCall;
using sim::D2xxRole;

class IoThreads : public StreamDevices {
  protected:
    static size_t count(const sim::StreamState& s, const std::string& name) {
        return s.log.named(name).size();
    }
};

TEST_F(IoThreads, StartGivesEachListedDeviceOneThreadAndOneOpeningCommand) {
    engine::startIoThreads(); // empty list: nothing to do
    auto a = addFtdi(K::FtdiDirect, 28, 40, 0, "ZS000001");
    engine::startIoThreads();
    ASSERT_NE(a.record->ioThread, nullptr);
    auto b = addFtdi(K::FtdiDirect, 28, 40, 0, "ZS000002");
    engine::startIoThreads(); // only the new one starts
    ASSERT_NE(b.record->ioThread, nullptr);
    EXPECT_EQ(count(*a.instrument, "streamMode"), 1u);
    EXPECT_EQ(count(*b.instrument, "streamMode"), 1u);
    EXPECT_EQ(a.instrument->log.all().front(), (sim::Command{"streamMode", {1}, {}}));
}

TEST_F(IoThreads, RestartDropsRingEntriesAndKeepsTheLocks) {
    auto f = addFtdi(K::FtdiDirect, 28, 40, 0);
    engine::startIoThreads();
    std::mutex* data = f.record->dataLock.get();
    std::mutex* ring = f.record->ringLock.get();
    std::mutex* band = f.record->bandLock.get();
    engine::stopIoThread(*f.record);
    EXPECT_EQ(f.record->ioThread, nullptr);
    {
        std::lock_guard lock(*f.record->ringLock);
        f.record->commandRing[0].bytes[0] = 17;
        f.record->ringWriteIndex = 3;
    }
    engine::startIoThreads();
    EXPECT_EQ(f.record->ringWriteIndex.load(), 0u);
    EXPECT_EQ(f.record->ringReadIndex.load(), 0u);
    EXPECT_EQ(f.record->dataLock.get(), data);
    EXPECT_EQ(f.record->ringLock.get(), ring);
    EXPECT_EQ(f.record->bandLock.get(), band);
    EXPECT_FALSE(f.record->stopEvent->wait(0));
    EXPECT_TRUE(f.instrument->log.named("calibration").empty());
}

TEST_F(IoThreads, SetSModeChangesOnlyBetweenZeroAndNonZero) {
    auto f = addFtdi(K::FtdiDirect, 28, 40, 0);
    engine::startIoThreads();
    const auto* thread = f.record->ioThread.get();
    EXPECT_EQ(K427_SetSMode(0, 0), 1);
    EXPECT_EQ(f.record->ioThread.get(), thread);
    EXPECT_EQ(count(*f.instrument, "streamMode"), 1u);

    EXPECT_EQ(K427_SetSMode(0, 1), 1);
    EXPECT_EQ(f.record->sMode, 1);
    EXPECT_EQ(count(*f.instrument, "signalMode"), 1u);
    EXPECT_EQ(K427_SetSMode(0, 2), 1);
    EXPECT_EQ(f.record->sMode, 1);
    EXPECT_EQ(count(*f.instrument, "signalMode"), 1u);

    EXPECT_EQ(K427_SetSMode(0, 0), 1);
    EXPECT_EQ(count(*f.instrument, "streamMode"), 2u);
    EXPECT_NE(f.record->ioThread, nullptr);

    EXPECT_EQ(K427_SetSMode(1, 1), 0);
    EXPECT_EQ(K427_SetSMode(0xFFFFFFFF, 1), 0);
}

TEST_F(IoThreads, RawSignalModeSwitchesTheLineRateOnlyAboveTheDefault) {
    struct Case {
        K linkKind;
        uint32_t baud;
        bool switches;
    };
    const Case cases[] = {{K::FtdiDirect, 115200, false},
                          {K::FtdiDirect, 230400, true},
                          {K::FtdiPacketSwitched, 921600, true},
                          {K::FtdiDirectSync, 230400, false},
                          {K::FtdiPacketSwitchedSync, 230400, false},
                          {K::TcpChannel1, 230400, false},
                          {K::MultiPortOutput, 230400, false}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "linkKind " << transport::code(c.linkKind) << " baud " << c.baud);
        const std::string serial = "ZS1" + std::to_string(n);
        const uint16_t type = engine::isSyncFamily(c.linkKind) ? 43 : 28;
        auto f = addFtdi(c.linkKind, type, type == 43 ? 42 : 40, 0, serial.c_str());
        f.record->baudRate = c.baud;
        engine::startIoThreads();
        sim::SimD2xx::instance().locked([&] {
            f.device->history.clear();
            return 0;
        });
        ASSERT_EQ(K427_SetSMode(n++, 1), 1);
        const auto switches = f.instrument->log.named("rateSwitch");
        const auto history = sim::SimD2xx::instance().locked([&] { return f.device->history; });
        if (c.switches) {
            ASSERT_EQ(switches.size(), 1u);
            EXPECT_EQ(switches[0].values, std::vector<int64_t>{c.baud});
            EXPECT_EQ(history, (std::vector<D2xxCall>{D2xxCall{D2xxRole::Rate, c.baud}}));
        } else {
            EXPECT_TRUE(switches.empty());
            EXPECT_TRUE(history.empty());
        }
        // The FTDI signal thread serves it, after the opening command.
        EXPECT_NE(f.record->ioThread, nullptr);
        if (!engine::isSyncFamily(c.linkKind)) {
            EXPECT_EQ(count(*f.instrument, "signalMode"), 1u);
        }
    }
}

TEST_F(IoThreads, NetworkDevicesHaveNoRawSignalThread) {
    auto t = addTcp(K::TcpChannel0, 28, 40, 5);
    auto u = addUdp(38, 38, 5);
    engine::startIoThreads();
    ASSERT_TRUE(t.instrument->log.waitFor("streamMode", 2000));
    ASSERT_TRUE(u.instrument->log.waitFor("streamMode", 2000));
    EXPECT_EQ(K427_SetSMode(0, 1), 1);
    EXPECT_EQ(t.record->ioThread, nullptr);
    EXPECT_TRUE(t.instrument->log.waitFor("signalMode", 2000)); // TCP still gets the command
    EXPECT_EQ(K427_SetSMode(1, 1), 1);
    EXPECT_EQ(u.record->ioThread, nullptr);
    // UDP has no signal command: only the stream-on of the start ever arrives.
    EXPECT_FALSE(u.instrument->log.waitFor("signalMode", 300));
    EXPECT_EQ(u.instrument->log.all().size(), 1u);
}

// Stopping and starting again and again, with every link streaming, leaves nothing behind
// and races nothing (run under the sanitizers).
TEST_F(IoThreads, HundredRestartsWhileStreaming) {
    auto f = addFtdi(K::FtdiDirect, 28, 40, 200);
    auto t = addTcp(K::TcpChannel0, 28, 40, 200);
    auto u = addUdp(38, 38, 200);
    auto w = addWinUsb(132, 132, 200);
    engine::startIoThreads();
    for (int i = 0; i < 100; ++i) {
        for (auto& d : frame::lib().devices) engine::stopIoThread(*d);
        for (auto& d : frame::lib().devices) EXPECT_EQ(d->ioThread, nullptr);
        engine::startIoThreads();
    }
    EXPECT_EQ(count(*f.instrument, "streamMode"), 101u);
    EXPECT_TRUE(t.instrument->log.waitFor("streamMode", 2000, 100));
    EXPECT_TRUE(u.instrument->log.waitFor("streamMode", 2000, 100));
    EXPECT_TRUE(w.instrument->log.waitFor("streamMode", 2000, 100));
    for (int32_t i = 0; i < 4; ++i)
        EXPECT_TRUE(eventually([&] { return K427_IsDeviceOnLine(i) == 1; })) << i;
}

} // namespace
} // namespace zs::test
