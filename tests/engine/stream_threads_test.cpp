#include "engine/stream_fixture.h"
#include "engine/stream_threads.h"

#include <gtest/gtest.h>
#include <set>

namespace zs::test {
namespace {

using K = transport::LinkKind;

using sim::Command;

class StreamThreads : public StreamDevices {
  protected:
    // Waits until the device's value item reads as record `n` of `source`.
    bool showsRecord(int32_t index, const sim::StreamState& s, uint64_t n, size_t item = 0) {
        const double want = s.withSource(
            [&](const sim::StreamSource& src) { return src.value(n, src.items().at(item)); });
        const auto& it =
            s.withSource([&](const sim::StreamSource& src) { return src.items().at(item); });
        return eventually([&] { return cell(index, it) == want; });
    }

    // Reads the first value item until it has shown `distinct` different record values, each
    // one of those the instrument sent.
    void expectStreamingValues(int32_t index, const sim::StreamState& s, size_t distinct = 3) {
        const auto item =
            s.withSource([](const sim::StreamSource& src) { return src.items().at(0); });
        std::set<double> seen;
        ASSERT_TRUE(eventually(
            [&] {
                const double v = cell(index, item);
                const uint64_t sent = s.recordsSent();
                const bool known = s.withSource([&](const sim::StreamSource& src) {
                    for (uint64_t n = 0; n < sent; ++n)
                        if (src.value(n, item) == v) return true;
                    return false;
                });
                if (known) seen.insert(v);
                return seen.size() >= distinct;
            },
            10000))
            << "distinct values seen: " << seen.size();
        EXPECT_EQ(K427_IsDeviceOnLine(index), 1);
    }
};

// Every link and family streams into the result tables once the thread is started, and the
// opening command switches the stream on.
TEST_F(StreamThreads, RecordsOfEveryLinkAreReadableWhileTheyStream) {
    struct Case {
        const char* name;
        std::function<const sim::StreamState*()> add;
    };
    const Case cases[] = {
        {"ftdi tagged",
         [&]() -> const sim::StreamState* {
             return addFtdi(K::FtdiDirect, 28, 40, 25).instrument.get();
         }},
        {"ftdi sync",
         [&]() -> const sim::StreamState* {
             return addFtdi(K::FtdiDirectSync, 43, 42, 25, "ZS000002").instrument.get();
         }},
        {"tcp tagged",
         [&]() -> const sim::StreamState* {
             return addTcp(K::TcpChannel0, 28, 40, 25).instrument;
         }},
        {"winusb",
         [&]() -> const sim::StreamState* { return addWinUsb(132, 132, 25).instrument.get(); }},
        {"udp", [&]() -> const sim::StreamState* { return addUdp(38, 38, 25).instrument; }},
    };
    std::vector<const sim::StreamState*> instruments;
    for (const auto& c : cases) instruments.push_back(c.add());
    engine::startIoThreads();
    for (size_t i = 0; i < instruments.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_TRUE(instruments[i]->log.waitFor("streamMode", 2000).has_value());
        expectStreamingValues(static_cast<int32_t>(i), *instruments[i]);
    }
}

TEST_F(StreamThreads, FirstFtdiReadIsDroppedWhole) {
    auto f = addFtdi(K::FtdiDirect, 28, 40, 0);
    f.instrument->push(*f.device, 3); // waiting before the thread's first read
    engine::startIoThreads();
    ASSERT_TRUE(eventually(
        [&] { return sim::SimD2xx::instance().locked([&] { return f.device->readCalls; }) >= 1; }));
    const auto item = f.instrument->withSource([](auto& s) { return s.items().at(0); });
    const double before = cell(0, item);
    for (uint64_t n = 0; n < 3; ++n)
        EXPECT_NE(before, f.instrument->withSource([&](auto& s) { return s.value(n, item); }));
    f.record->online = 0;
    f.instrument->push(*f.device, 1);
    EXPECT_TRUE(showsRecord(0, *f.instrument, 3));
    EXPECT_EQ(K427_IsDeviceOnLine(0), 1);
}

// The first record over TCP names the instrument: type 29 reads as 28 with the program from
// the record, a type below 28 is its own program.
TEST_F(StreamThreads, FirstTcpRecordIdentifiesTheDevice) {
    struct Case {
        uint16_t type, program, wantType, wantProgram;
    };
    for (const Case c : {Case{29, 40, 28, 40}, Case{5, 5, 5, 5}, Case{28, 41, 28, 41}}) {
        SCOPED_TRACE(c.type);
        auto t = addTcp(K::TcpChannel0, c.type, c.program, 0, /*knownType=*/0);
        t.record->state.programNumber = 0;
        engine::startIoThreads();
        ASSERT_TRUE(t.instrument->log.waitFor("streamMode", 2000));
        ASSERT_TRUE(eventually([&] { return t.instrument->connected(); }));
        t.instrument->push(1);
        // The thread writes the state under dataLock; read it the same way.
        const auto identified = [&] {
            std::lock_guard lock(*t.record->dataLock);
            return t.record->state.deviceType == c.wantType &&
                   t.record->state.programNumber == c.wantProgram &&
                   t.record->layout.words == sim::referenceLayout(c.wantType).words;
        };
        EXPECT_TRUE(eventually(identified));
    }
}

TEST_F(StreamThreads, WinUsbRecordOfTwoFragmentsArrivesWhole) {
    auto w = addWinUsb(38, 38, 0);
    engine::startIoThreads();
    ASSERT_TRUE(w.instrument->log.waitFor("streamMode", 2000));
    const auto& layout = sim::referenceLayout(38);
    const auto content = w.instrument->withSource([](auto& s) { return s.content(7); });
    // A value item that ends between byte 508 and byte 540: it is decoded only when the
    // second fragment joins the first.
    std::optional<sim::ValueItem> probe;
    for (size_t k = 1; k <= layout.words.size(); ++k) {
        const std::span<const uint32_t> prefix(layout.words.data(), k);
        const size_t end = sim::encodeRecord(prefix, layout.wideColumns, content).size();
        const auto items = sim::valueItems(prefix, layout.wideColumns);
        if (end > 508 && end <= 540 && !items.empty() && items.back().word == prefix.back())
            probe = items.back();
    }
    ASSERT_TRUE(probe.has_value());
    // 540 bytes: one fragment of 254 words, then a last one of 16 (control word 0x8010).
    auto record = sim::encodeRecord(layout.words, layout.wideColumns, content);
    record.resize(540);
    auto fragments = sim::WinUsbStreamInstrument::fragments(record);
    ASSERT_EQ(fragments.size(), 2u);
    EXPECT_EQ(fragments[1][2] | fragments[1][3] << 8, 0x8010);
    w.instrument->queueTransfer(fragments[0]);
    w.instrument->queueTransfer(std::vector<uint8_t>(511, 2)); // not a fragment: ignored
    w.instrument->queueTransfer(fragments[1]);
    const double want = sim::representable(
        probe->word >> 28, content.value(probe->channel, probe->set, probe->index, probe->column));
    EXPECT_TRUE(eventually([&] { return cell(0, *probe) == want; }));
}

TEST_F(StreamThreads, WinUsbRunWithoutLastFragmentIsDroppedNotGrown) {
    auto w = addWinUsb(38, 38, 0);
    engine::startIoThreads();
    ASSERT_TRUE(w.instrument->log.waitFor("streamMode", 2000));
    // 21 full fragments (more than the 10240-byte record buffer), then a last one.
    std::vector<uint8_t> full(512, 0xAB);
    full[0] = 2;
    full[1] = 0;
    full[2] = full[3] = 0;
    full[4] = 38; // reads as the device's type if the run were kept
    full[5] = 0;
    for (int i = 0; i < 21; ++i) w.instrument->queueTransfer(full);
    auto lastOnly = sim::WinUsbStreamInstrument::fragments(
        w.instrument->withSource([](auto& s) { return s.record(0); }));
    w.instrument->queueTransfer(lastOnly.back());
    // The next whole record is taken as usual.
    w.instrument->push(1);
    EXPECT_TRUE(showsRecord(0, *w.instrument, 0));
}

TEST_F(StreamThreads, UdpDatagramFromAnotherPortIsIgnored) {
    auto u = addUdp(38, 38, 0);
    engine::startIoThreads();
    ASSERT_TRUE(u.instrument->log.waitFor("streamMode", 2000));
    u.instrument->push(1);
    ASSERT_TRUE(showsRecord(0, *u.instrument, 0));
    u.instrument->pushFromOtherPort(); // record 1, right address, other port
    const auto item = u.instrument->withSource([](auto& s) { return s.items().at(0); });
    const double first = cell(0, item);
    // Several turns of the thread: the record stays the first one.
    const uint32_t start = platform::tickMs();
    while (platform::tickMs() - start < 500) {
        ASSERT_EQ(cell(0, item), first);
        platform::sleepMs(20);
    }
    u.instrument->push(1); // record 2
    EXPECT_TRUE(showsRecord(0, *u.instrument, 2));
}

TEST_F(StreamThreads, OnlineFallsAfterSilenceWhileTheReceiveIsPending) {
    auto t = addTcp(K::TcpChannel0, 28, 40, 0);
    engine::startIoThreads();
    ASSERT_TRUE(eventually([&] { return t.instrument->connected(); }));
    t.instrument->push(1);
    ASSERT_TRUE(showsRecord(0, *t.instrument, 0));
    const uint32_t lastRecord = t.record->lastPacketTick.load();
    ASSERT_EQ(K427_IsDeviceOnLine(0), 1);
    ASSERT_TRUE(eventually([] { return K427_IsDeviceOnLine(0) == 0; }, 4000));
    EXPECT_GE(platform::tickMs() - lastRecord, 1400u);
    t.instrument->push(1);
    EXPECT_TRUE(eventually([] { return K427_IsDeviceOnLine(0) == 1; }));
}

TEST_F(StreamThreads, ThreadStoppedBeforeItsFirstTurnServesNoCommand) {
    auto t = addTcp(K::TcpChannel0, 28, 40, 0);
    t.record->stopEvent = std::make_unique<platform::Event>(platform::Event::Reset::Manual, true);
    t.record->startCmd = 1;
    engine::tcpStreamThread(t.record);
    EXPECT_EQ(t.record->startCmd.load(), 1);
}

} // namespace
} // namespace zs::test
