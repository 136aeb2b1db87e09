#include "engine/command_engine.h"
#include "engine/program_table.h"
#include "engine/wire_bytes.h"
#include "platform/clock.h"
#include "transport/loopback.h"
#include "transport/sim_fixtures.h"
#include "transport/socket_transport.h"

#include <atomic>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

namespace zs::test {
namespace {

using engine::DevicePtr;
using sim::D2xxCall;
using sim::D2xxRole;

using namespace zs::test::wire;

frame::RingEntry ringEntry(uint8_t first) {
    frame::RingEntry e;
    for (uint8_t i = 0; i < 16; ++i) e.bytes[i] = static_cast<uint8_t>(first + i);
    return e;
}

// Queues a ring entry as the calibration export does.
void pushRing(frame::DevStruct& d, const frame::RingEntry& e) {
    std::lock_guard lock(*d.ringLock);
    const uint32_t w = d.ringWriteIndex;
    d.commandRing[w] = e;
    d.ringWriteIndex = (w + 1) % 32;
}

const std::vector<uint16_t> kBandWords = {0x10, 0x1111, 0x2222, 1, 2, 3, 4, 5, 6, 7};
const Bytes kBandPacket = tagged({0x14, 0x00, 0x10, 0x00, 0x11, 0x11, 0x22, 0x22, 1, 0, 2,   0,
                                  3,    0,    4,    0,    5,    0,    6,    0,    7, 0, 0x92});

// Every slot served: mailboxes idle, band set, ring and generator queue empty.
void expectAllServed(const frame::DevStruct& d) {
    for (const auto* box : {&d.resetCmd, &d.rangeCmd, &d.polCmd, &d.startStopCmd, &d.startCmd,
                            &d.stopCmd, &d.programCmd, &d.resetDeviceCmd, &d.switchOffCmd,
                            &d.dateTimeCmd, &d.icpModeCmd, &d.zChModeCmd, &d.sigRegModeCmd})
        EXPECT_EQ(box->load(), -1);
    EXPECT_TRUE(d.bandBytes.empty());
    EXPECT_EQ(d.ringReadIndex.load(), d.ringWriteIndex.load());
    EXPECT_TRUE(d.generatorQueue->empty());
}

class CommandEngine : public SimWinUsbTest {
  protected:
    void SetUp() override {
        SimWinUsbTest::SetUp();
        ASSERT_TRUE(platform::socketsStartup());
    }
    void TearDown() override {
        platform::socketsCleanup();
        SimWinUsbTest::TearDown();
    }

    // A record as the thread start leaves it: stop event and locks present.
    static DevicePtr newRecord(transport::LinkKind linkKind, uint16_t program = 30) {
        auto d = std::make_shared<frame::DevStruct>();
        d->linkKind = linkKind;
        d->state.programNumber = program;
        d->stopEvent = std::make_unique<platform::Event>(platform::Event::Reset::Manual);
        d->bandLock = std::make_unique<std::mutex>();
        d->ringLock = std::make_unique<std::mutex>();
        d->dataLock = std::make_unique<std::mutex>();
        return d;
    }

    DevicePtr ftdiRecord(transport::LinkKind linkKind, sim::SimD2xxDevice*& dev,
                         uint16_t program = 30) {
        DevicePtr d = newRecord(linkKind, program);
        d->ftdiHandle = openDevice(dev);
        return d;
    }
};

// Each slot alone and all of them together, over FTDI: exact bytes, order, acknowledgement.
struct SlotCase {
    const char* name;
    transport::LinkKind linkKind;
    std::function<void(frame::DevStruct&)> fill;
    Bytes written;
};

std::vector<SlotCase> slotCases() {
    const Bytes generatorItems =
        concat({tagged({0x06, 0x00, 0x21, 0x00, 0x00, 0x80, 0x00, 0x00, 0xA1}),
                tagged({0x06, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x40, 0x60})});
    const auto queueGenerators = [](frame::DevStruct& d) {
        d.generatorQueue->push({33, 32768});
        d.generatorQueue->push({32, 0x40000000});
    };
    return {
        {"idle", kTaggedKind, [](frame::DevStruct&) {}, {}},
        {"idle sync", kSyncKind, [](frame::DevStruct&) {}, {}},
        {"reset", kTaggedKind, [](frame::DevStruct& d) { d.resetCmd = 1; }, {0xA0, 0x3A}},
        {"start/stop", kTaggedKind, [](frame::DevStruct& d) { d.startStopCmd = 1; }, {0xA0, 0x4A}},
        {"start", kTaggedKind, [](frame::DevStruct& d) { d.startCmd = 1; },
         tagged({0x02, 0x00, 0x15, 0x00, 0x15})},
        {"stop", kTaggedKind, [](frame::DevStruct& d) { d.stopCmd = 1; },
         tagged({0x02, 0x00, 0x16, 0x00, 0x16})},
        {"range value passed",
         kTaggedKind,
         [](frame::DevStruct& d) { d.rangeCmd = 2; },
         {0xA0, 0x7A}},
        {"polarity 0 is a command",
         kTaggedKind,
         [](frame::DevStruct& d) { d.polCmd = 0; },
         {0xA0, 0xFA}},
        {"icp", kTaggedKind, [](frame::DevStruct& d) { d.icpModeCmd = 3; },
         tagged({0x04, 0x00, 0x12, 0x00, 0x01, 0x00, 0x13})},
        {"zero channel", kTaggedKind, [](frame::DevStruct& d) { d.zChModeCmd = 0; },
         tagged({0x04, 0x00, 0x1A, 0x00, 0x00, 0x00, 0x1A})},
        {"signal registration: mode from the low half, gain and mask from the parameter",
         kTaggedKind,
         [](frame::DevStruct& d) {
             d.sigRegParam = 0x000F0001;
             d.sigRegModeCmd = 0x00070003;
         },
         tagged({0x08, 0x00, 0x20, 0x00, 0x03, 0x00, 0x01, 0x00, 0x0F, 0x00, 0x33})},
        {"band set", kTaggedKind, [](frame::DevStruct& d) { d.bandBytes = kBandWords; },
         kBandPacket},
        {"band set, sync family",
         kSyncKind,
         [](frame::DevStruct& d) {
             d.bandBytes = {7, 0x0102, 0x0304};
         },
         {0x11, 0x22, 0x33, 0x44, 0x06, 0x00, 0x07, 0x00, 0x02, 0x01, 0x04, 0x03, 0x0D, 0x04}},
        {"ring entry", kTaggedKind, [](frame::DevStruct& d) { pushRing(d, ringEntry(1)); },
         tagged(concat(
             {{0x10, 0x00}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, {0x88}}))},
        {"program index 0", kTaggedKind, [](frame::DevStruct& d) { d.programCmd = 0; }, {}},
        {"program index 72", kTaggedKind, [](frame::DevStruct& d) { d.programCmd = 72; }, {}},
        {"switch-off", kTaggedKind, [](frame::DevStruct& d) { d.switchOffCmd = 1; },
         tagged({0x04, 0x00, 0x13, 0x00, 0x45, 0x01, 0x59})},
        {"switch-off, sync family", kSyncKind, [](frame::DevStruct& d) { d.switchOffCmd = 1; }, {}},
        {"generator items, oldest first", kTaggedKind, queueGenerators, generatorItems},
        {"every quick slot, in the fixed order", kTaggedKind,
         [&](frame::DevStruct& d) {
             queueGenerators(d);
             pushRing(d, ringEntry(1));
             d.bandBytes = kBandWords;
             d.switchOffCmd = 1;
             d.programCmd = 0;
             d.sigRegParam = 0x000F0001;
             d.sigRegModeCmd = 3;
             d.zChModeCmd = 0;
             d.icpModeCmd = 1;
             d.polCmd = 1;
             d.rangeCmd = 2;
             d.stopCmd = 1;
             d.startCmd = 1;
             d.startStopCmd = 1;
             d.resetCmd = 1;
         },
         concat(
             {{0xA0, 0x3A, 0xA0, 0x4A},
              tagged({0x02, 0x00, 0x15, 0x00, 0x15}),
              tagged({0x02, 0x00, 0x16, 0x00, 0x16}),
              {0xA0, 0x7A, 0xA0, 0xEA},
              tagged({0x04, 0x00, 0x12, 0x00, 0x01, 0x00, 0x13}),
              tagged({0x04, 0x00, 0x1A, 0x00, 0x00, 0x00, 0x1A}),
              tagged({0x08, 0x00, 0x20, 0x00, 0x03, 0x00, 0x01, 0x00, 0x0F, 0x00, 0x33}),
              kBandPacket,
              tagged(concat(
                  {{0x10, 0x00}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, {0x88}})),
              tagged({0x04, 0x00, 0x13, 0x00, 0x45, 0x01, 0x59}),
              generatorItems})},
    };
}

TEST_F(CommandEngine, EachSlotIsSentInOrderAndAcknowledged) {
    for (const auto& c : slotCases()) {
        SCOPED_TRACE(c.name);
        sim::SimD2xxDevice* dev;
        DevicePtr d = ftdiRecord(c.linkKind, dev);
        c.fill(*d);
        const uint32_t t0 = platform::tickMs();
        engine::serviceCommands(d);
        EXPECT_LT(platform::tickMs() - t0, 1000u); // nothing here sleeps
        EXPECT_EQ(dev->written, c.written);
        expectAllServed(*d);
        EXPECT_EQ(d->online.load(), 1);
        // The only driver calls are the open and the writes.
        EXPECT_EQ(dev->history.size(), 1u);
        engine::serviceCommands(d);
        EXPECT_EQ(dev->written, c.written) << "a second pass sends nothing more";
        d.reset();
        sim::SimD2xx::instance().reset();
    }
}

TEST_F(CommandEngine, NoRecordOrNoLinkIsHarmless) {
    engine::serviceCommands(nullptr);
    DevicePtr d = newRecord(kTaggedKind);
    d->resetCmd = 1;
    d->bandBytes = kBandWords;
    pushRing(*d, ringEntry(1));
    d->generatorQueue->push({33, 1});
    engine::serviceCommands(d);
    expectAllServed(*d);
}

// A record whose thread never started has no locks; the pass still serves it.
TEST_F(CommandEngine, RecordWithoutLocks) {
    sim::SimD2xxDevice* dev;
    DevicePtr d = std::make_shared<frame::DevStruct>();
    d->linkKind = kTaggedKind;
    d->ftdiHandle = openDevice(dev);
    d->bandBytes = kBandWords;
    d->commandRing[0] = ringEntry(1);
    d->ringWriteIndex = 1;
    engine::serviceCommands(d);
    EXPECT_EQ(dev->written.size(), kBandPacket.size() + 27);
    expectAllServed(*d);
}

TEST_F(CommandEngine, RingEntriesGoOnePerPassOldestFirstAcrossTheWrap) {
    sim::SimD2xxDevice* dev;
    DevicePtr d = ftdiRecord(kTaggedKind, dev);
    d->ringReadIndex = d->ringWriteIndex = 30;
    for (uint8_t first : {0x10, 0x20, 0x30}) pushRing(*d, ringEntry(first));
    EXPECT_EQ(d->ringWriteIndex.load(), 1u);

    const uint32_t expectedRead[] = {31, 0, 1};
    size_t sent = 0;
    for (int pass = 0; pass < 3; ++pass) {
        SCOPED_TRACE(pass);
        engine::serviceCommands(d);
        ASSERT_EQ(dev->written.size(), sent + 27);
        // Payload byte 0 names the entry: entries leave in the order they came.
        EXPECT_EQ(dev->written[sent + 10], 0x10 * (pass + 1));
        sent = dev->written.size();
        EXPECT_EQ(d->ringReadIndex.load(), expectedRead[pass]);
    }
    engine::serviceCommands(d);
    EXPECT_EQ(dev->written.size(), sent);
}

// A corrupt read index must neither reach outside the ring nor stall it.
TEST_F(CommandEngine, RingIndexOutsideTheRingIsTakenModuloItsSize) {
    sim::SimD2xxDevice* dev;
    DevicePtr d = ftdiRecord(kTaggedKind, dev);
    d->commandRing[8] = ringEntry(0x80);
    d->ringReadIndex = 40;
    d->ringWriteIndex = 9;
    engine::serviceCommands(d);
    ASSERT_EQ(dev->written.size(), 27u);
    EXPECT_EQ(dev->written[10], 0x80);
    EXPECT_EQ(d->ringReadIndex.load(), 9u);
}

// The host may append a band set while the engine sends the previous one: the new words are
// not lost with the acknowledgement, they go out on the next pass.
TEST_F(CommandEngine, BandWordsAppendedDuringTheSendStayPending) {
    sim::SimD2xxDevice* dev;
    DevicePtr d = ftdiRecord(kTaggedKind, dev);
    d->bandBytes = kBandWords;
    frame::DevStruct* raw = d.get();
    bool appended = false;
    dev->onWrite = [&](sim::SimD2xxDevice&, const uint8_t*, size_t) {
        if (appended) return;
        appended = true;
        std::lock_guard lock(*raw->bandLock); // would deadlock if the engine held it
        raw->bandBytes.insert(raw->bandBytes.end(), kBandWords.begin(), kBandWords.end());
    };
    engine::serviceCommands(d);
    EXPECT_EQ(dev->written, kBandPacket);
    EXPECT_EQ(d->bandBytes, kBandWords);
    engine::serviceCommands(d);
    EXPECT_EQ(dev->written, concat({kBandPacket, kBandPacket}));
    EXPECT_TRUE(d->bandBytes.empty());
}

// The generator exports must not wait for the device: while an item is being written, a
// host thread can queue another, which goes out on the next pass.
TEST_F(CommandEngine, GeneratorQueueIsFreeWhileItemsAreSent) {
    sim::SimD2xxDevice* dev;
    DevicePtr d = ftdiRecord(kTaggedKind, dev);
    d->generatorQueue->push({34, 0x00010000});
    frame::GeneratorQueue* queue = d->generatorQueue.get();
    std::atomic<bool> pushed{false};
    std::thread host;
    bool started = false;
    bool pushedDuringWrite = false;
    dev->onWrite = [&](sim::SimD2xxDevice&, const uint8_t*, size_t) {
        if (started) return;
        started = true;
        host = std::thread([&] {
            queue->push({33, 1});
            pushed = true;
        });
        const uint32_t t0 = platform::tickMs();
        while (!pushed && platform::tickMs() - t0 < 5000) std::this_thread::yield();
        pushedDuringWrite = pushed.load();
    };
    engine::serviceCommands(d);
    ASSERT_TRUE(host.joinable());
    host.join();
    EXPECT_TRUE(pushedDuringWrite);
    EXPECT_EQ(dev->written, tagged({0x06, 0x00, 0x22, 0x00, 0x00, 0x00, 0x01, 0x00, 0x23}));
    EXPECT_FALSE(queue->empty());
    engine::serviceCommands(d);
    EXPECT_EQ(dev->written.size(), 34u);
    EXPECT_TRUE(queue->empty());
}

// Generator items travel on FTDI only; other links drop them.
TEST_F(CommandEngine, GeneratorItemsOnOtherLinksAreDropped) {
    sim::SimWinUsbDevice* usb;
    void* file;
    DevicePtr d = newRecord(kTaggedKind);
    d->winUsbHandle = openWinUsb(usb, file);
    d->winUsbFile = file;
    d->generatorQueue->push({32, 5});
    engine::serviceCommands(d);
    EXPECT_TRUE(usb->written.empty());
    EXPECT_TRUE(d->generatorQueue->empty());
}

TEST_F(CommandEngine, SyncFamilyRemembersTheProgramInsteadOfSwitching) {
    struct Case {
        int32_t index;
        uint32_t requested;
    };
    for (const Case c :
         {Case{150, 150}, Case{0, 0}, Case{199, 199}, Case{200, 0xFFFF}, Case{250, 0xFFFF}}) {
        SCOPED_TRACE(c.index);
        sim::SimD2xxDevice* dev;
        DevicePtr d = ftdiRecord(transport::LinkKind::TcpChannel1, dev);
        d->programCmd = c.index;
        const uint32_t t0 = platform::tickMs();
        engine::serviceCommands(d);
        EXPECT_LT(platform::tickMs() - t0, 1000u);
        EXPECT_EQ(d->requestedProgram, c.requested);
        EXPECT_TRUE(dev->written.empty());
        EXPECT_EQ(d->online.load(), 1);
        expectAllServed(*d);
        d.reset();
        sim::SimD2xx::instance().reset();
    }
}

// Runs one pass on a thread of its own, as the I/O thread does, while the test watches the
// mailbox the way the waiting export does.
struct PassWatch {
    uint32_t sentAt = 0;
    uint32_t ackAt = 0;
    bool pendingWhenSent = false;
};

template <class WhenSent>
PassWatch watchProgramSwitch(const DevicePtr& d, WhenSent&& sent) {
    PassWatch w;
    std::thread io([d] { engine::serviceCommands(d); });
    const uint32_t t0 = platform::tickMs();
    while (!sent() && platform::tickMs() - t0 < 5000) platform::sleepMs(1);
    w.sentAt = platform::tickMs();
    w.pendingWhenSent = d->programCmd.load() >= 0;
    while (d->programCmd.load() >= 0 && platform::tickMs() - t0 < 15000) platform::sleepMs(5);
    w.ackAt = platform::tickMs();
    io.join();
    return w;
}

TEST_F(CommandEngine, ProgramSwitchOverFtdiSendsTheNameAndSettles) {
    sim::SimD2xxDevice* dev;
    DevicePtr d = ftdiRecord(kTaggedKind, dev);
    d->programCmd = 9; // "FFT800", 4000 ms
    std::atomic<bool> sent{false};
    dev->onWrite = [&](sim::SimD2xxDevice&, const uint8_t*, size_t) { sent = true; };
    const PassWatch w = watchProgramSwitch(d, [&] { return sent.load(); });
    EXPECT_EQ(dev->written, tagged({0x10, 0x00, 0x0E, 0x00, 'F', 0, 'F', 0, 'T', 0, '8', 0, '0', 0,
                                    '0', 0, 0, 0, 0x86}));
    EXPECT_TRUE(w.pendingWhenSent);
    EXPECT_GE(w.ackAt - w.sentAt, 3900u);
    EXPECT_LT(w.ackAt - w.sentAt, 8000u);
    EXPECT_EQ(d->online.load(), 0);
    expectAllServed(*d);
}

TEST_F(CommandEngine, ProgramSwitchOverWinUsbWaitsASecondLonger) {
    sim::SimWinUsbDevice* usb;
    void* file;
    DevicePtr d = newRecord(kTaggedKind);
    d->winUsbHandle = openWinUsb(usb, file);
    d->winUsbFile = file;
    d->programCmd = 5; // "SLM", 2000 ms
    const PassWatch w = watchProgramSwitch(d, [&] {
        return sim::SimWinUsb::instance().locked([&] { return !usb->written.empty(); });
    });
    ASSERT_EQ(usb->written.size(), 1u);
    EXPECT_EQ(usb->written[0], winUsbFrame({0x0E, 0x00, 'S', 0, 'L', 0, 'M', 0, 0, 0}));
    EXPECT_TRUE(w.pendingWhenSent);
    EXPECT_GE(w.ackAt - w.sentAt, 2900u);
    EXPECT_LT(w.ackAt - w.sentAt, 7000u);
    EXPECT_EQ(d->online.load(), 0);
}

// A stop request ends the settle at once; the command is still acknowledged. A UDP device is
// sent nothing but is still treated as switching.
TEST_F(CommandEngine, ProgramSwitchSettleEndsOnStop) {
    UdpPair udp;
    ASSERT_TRUE(udp.ok());
    DevicePtr d = newRecord(kTaggedKind);
    d->udpSocket = udp.near;
    d->programCmd = 35;
    d->stopEvent->set();
    const uint32_t t0 = platform::tickMs();
    engine::serviceCommands(d);
    EXPECT_LT(platform::tickMs() - t0, 1000u);
    EXPECT_EQ(d->online.load(), 0);
    expectAllServed(*d);
    uint8_t buf[64];
    EXPECT_LE(platform::receiveTimed(udp.far, buf, sizeof buf, 200), 0);
    d->udpSocket = platform::kNoSocket;
}

// What the instrument sees of a reset, with the time each step came.
struct Step {
    D2xxCall call;
    Bytes bytes; // for writes
    uint32_t at = 0;
};

struct ResetCase {
    const char* name;
    transport::LinkKind linkKind;
    std::vector<std::pair<D2xxCall, Bytes>> steps;
    // Minimum time from step i to step i + 1.
    std::vector<uint32_t> minGaps;
    uint32_t minTotal;
};

TEST_F(CommandEngine, DeviceResetPulsesTheLinesByLinkKind) {
    const D2xxCall write{D2xxRole::Write};
    const std::vector<ResetCase> cases = {
        {"sync family",
         transport::LinkKind::FtdiDirectSync,
         {{{D2xxRole::BitMode, 0x21, 4}, {}}, {write, {0x20}}, {{D2xxRole::BitMode, 0x21, 0}, {}}},
         {0, 400},
         1200},
        {"multi-port output module",
         transport::LinkKind::MultiPortOutput,
         {{{D2xxRole::BitMode, 0x41, 4}, {}}, {write, {0x40}}, {{D2xxRole::BitMode, 0x41, 0}, {}}},
         {0, 400},
         1200},
        {"packet-switched rate",
         transport::LinkKind::FtdiPacketSwitched,
         {{{D2xxRole::LineLow}, {}}, {write, {0xFD}}, {write, {0xFC}}, {{D2xxRole::LineHigh}, {}}},
         {10, 100, 10},
         130},
        {"TCP channel 0 as packet-switched",
         transport::LinkKind::TcpChannel0,
         {{{D2xxRole::LineLow}, {}}, {write, {0xFD}}, {write, {0xFC}}, {{D2xxRole::LineHigh}, {}}},
         {10, 100, 10},
         130},
        {"other kinds",
         kTaggedKind,
         {{{D2xxRole::BitMode, 0xC0, 4}, {}},
          {write, {0x80}},
          {write, {0xC0}},
          {{D2xxRole::BitMode, 0xC0, 0}, {}}},
         {0, 100, 600},
         700},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SimD2xxDevice* dev;
        DevicePtr d = ftdiRecord(c.linkKind, dev);
        std::vector<Step> seen;
        dev->onCall = [&](sim::SimD2xxDevice&, const D2xxCall& call) {
            seen.push_back({call, {}, platform::tickMs()});
        };
        dev->onWrite = [&](sim::SimD2xxDevice&, const uint8_t* p, size_t n) {
            seen.push_back({write, Bytes(p, p + n), platform::tickMs()});
        };
        d->resetDeviceCmd = 1;
        const uint32_t t0 = platform::tickMs();
        engine::serviceCommands(d);
        const uint32_t total = platform::tickMs() - t0;

        ASSERT_EQ(seen.size(), c.steps.size());
        for (size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i].call, c.steps[i].first) << i;
            EXPECT_EQ(seen[i].bytes, c.steps[i].second) << i;
        }
        // Sleeps last at least their time; the tick may lag by its granularity.
        for (size_t i = 0; i < c.minGaps.size(); ++i)
            EXPECT_GE(seen[i + 1].at - seen[i].at + 20, c.minGaps[i]) << i;
        EXPECT_GE(total + 20, c.minTotal);
        EXPECT_LT(total, c.minTotal + 3000);
        EXPECT_EQ(d->online.load(), 0);
        expectAllServed(*d);
        dev->onCall = nullptr;
        dev->onWrite = nullptr;
        d.reset();
        sim::SimD2xx::instance().reset();
    }
}

// A stop request cuts the sleeps short, but the lines are still put back.
TEST_F(CommandEngine, DeviceResetOnStopStillRestoresTheLines) {
    sim::SimD2xxDevice* dev;
    DevicePtr d = ftdiRecord(kTaggedKind, dev);
    d->stopEvent->set();
    d->resetDeviceCmd = 1;
    const uint32_t t0 = platform::tickMs();
    engine::serviceCommands(d);
    EXPECT_LT(platform::tickMs() - t0, 500u);
    EXPECT_EQ(dev->written, (Bytes{0x80, 0xC0}));
    ASSERT_FALSE(dev->history.empty());
    EXPECT_EQ(dev->history.back(), (D2xxCall{D2xxRole::BitMode, 0xC0, 0}));
    EXPECT_EQ(d->online.load(), 0);
}

TEST_F(CommandEngine, DeviceResetOverTcpUsesTheCommandSocketLine) {
    struct Case {
        int32_t channel;
        bool stop;
        uint8_t code;
    };
    for (const Case c : {Case{0, true, 0x40}, Case{1, false, 0x01}}) {
        SCOPED_TRACE(c.channel);
        TcpPair data, command;
        ASSERT_TRUE(data.ok() && command.ok());
        DevicePtr d = newRecord(transport::LinkKind::TcpChannel1);
        d->tcpSocket = data.near;
        d->channelIndex = c.channel;
        d->commandSocket = std::make_shared<transport::auto_close_socket>(command.near);
        if (c.stop) d->stopEvent->set();
        d->resetDeviceCmd = 1;
        std::thread io([d] { engine::serviceCommands(d); });
        const Bytes first = readExactly(command.far, 9);
        const uint32_t firstAt = platform::tickMs();
        const Bytes second = readExactly(command.far, 9);
        const uint32_t secondAt = platform::tickMs();
        io.join();
        EXPECT_EQ(first, (Bytes{0x1B, c.code, 0, 0, 0, 0x41, 0, 0, 0}));
        EXPECT_EQ(second, (Bytes{0x1B, c.code, 0, 0, 0, 0, 0, 0, 0}));
        if (!c.stop) {
            EXPECT_GE(secondAt - firstAt + 20, 350u);
        }
        EXPECT_EQ(d->online.load(), 0);
        expectAllServed(*d);
        // Nothing went to the data socket.
        uint8_t buf[16];
        EXPECT_LE(platform::receiveTimed(data.far, buf, sizeof buf, 100), 0);
        d->commandSocket->socket = platform::kNoSocket;
        d->tcpSocket = platform::kNoSocket;
    }
}

// Devices with no reset path get nothing, but are still marked offline.
TEST_F(CommandEngine, DeviceResetWithoutAResetPath) {
    UdpPair udp;
    TcpPair tcp;
    ASSERT_TRUE(udp.ok() && tcp.ok());
    std::vector<DevicePtr> devices = {newRecord(kTaggedKind), newRecord(kTaggedKind),
                                      newRecord(kSyncKind)};
    devices[0]->udpSocket = udp.near;
    devices[1]->tcpSocket = tcp.near; // tagged family over TCP
    devices[2]->tcpSocket = tcp.near; // sync family without a command socket
    for (auto& d : devices) {
        d->resetDeviceCmd = 1;
        const uint32_t t0 = platform::tickMs();
        engine::serviceCommands(d);
        EXPECT_LT(platform::tickMs() - t0, 1000u);
        EXPECT_EQ(d->online.load(), 0);
        expectAllServed(*d);
        d->udpSocket = d->tcpSocket = platform::kNoSocket;
    }
    uint8_t buf[64];
    EXPECT_LE(platform::receiveTimed(udp.far, buf, sizeof buf, 100), 0);
    EXPECT_LE(platform::receiveTimed(tcp.far, buf, sizeof buf, 100), 0);
}

platform::CalendarTime at(int year, int month, int day, int hour, int minute, int second,
                          int ms = 0) {
    platform::CalendarTime t;
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    t.milliseconds = ms;
    return t;
}

TEST(DateTimeValue, PacksDaysSince2000AndTheTimeOfDay) {
    struct Case {
        const char* name;
        platform::CalendarTime time;
        uint32_t value;
    };
    const Case cases[] = {
        {"the epoch", at(2000, 1, 1, 0, 0, 0), 0},
        {"one day later", at(2000, 1, 2, 0, 0, 0), 0x00020000},
        {"milliseconds do not round up", at(2000, 1, 1, 23, 59, 59, 999),
         23u << 12 | 59u << 6 | 59u},
        {"leap day counted", at(2000, 3, 1, 12, 30, 45), 60u << 17 | 12u << 12 | 30u << 6 | 45u},
        {"today", at(2026, 12, 10, 13, 45, 30), 9840u << 17 | 13u << 12 | 45u << 6 | 30u},
        {"last day the word holds", at(2089, 9, 17, 23, 59, 59),
         32767u << 17 | 23u << 12 | 59u << 6 | 59u},
        {"past the last day", at(2089, 9, 18, 0, 0, 0), engine::kNoDateTime},
        {"before 2000", at(1999, 12, 31, 23, 59, 59), engine::kNoDateTime},
        {"invalid month", at(2020, 13, 1, 0, 0, 0), engine::kNoDateTime},
        {"invalid hour", at(2020, 1, 1, 24, 0, 0), engine::kNoDateTime},
    };
    for (const auto& c : cases) EXPECT_EQ(engine::dateTimeValue(c.time), c.value) << c.name;
}

uint32_t le32(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// Both families are sent the computer's local time and its complement.
TEST_F(CommandEngine, DateTimeCommandSendsTheLocalTime) {
    for (auto kind : {kTaggedKind, kSyncKind}) {
        SCOPED_TRACE(transport::code(kind));
        sim::SimD2xxDevice* dev;
        DevicePtr d = ftdiRecord(kind, dev);
        d->dateTimeCmd = 1;
        const uint32_t before = engine::dateTimeValue(platform::localTimeNow());
        engine::serviceCommands(d);
        const uint32_t after = engine::dateTimeValue(platform::localTimeNow());
        const Bytes& w = dev->written;
        ASSERT_EQ(w.size(), 21u);
        EXPECT_EQ(Bytes(w.begin(), w.begin() + 12), tagged({0x0A, 0x00, 0x0B, 0x00}));
        const uint32_t value = le32(w, 12);
        EXPECT_EQ(le32(w, 16), ~value);
        uint8_t sum = 0;
        for (size_t i = 10; i < 20; ++i) sum = static_cast<uint8_t>(sum + w[i]);
        EXPECT_EQ(w[20], sum);
        // Within the two readings (a midnight between them moves the day forward).
        EXPECT_GE(value >> 17, before >> 17);
        EXPECT_LE(value >> 17, after >> 17);
        if (before >> 17 == after >> 17) {
            EXPECT_GE(value, before);
            EXPECT_LE(value, after);
        }
        expectAllServed(*d);
        d.reset();
        sim::SimD2xx::instance().reset();
    }
}

TEST(ProgramTable, EntriesHaveTheirFormsAndSettleTimes) {
    EXPECT_FALSE(engine::programEntry(0));
    EXPECT_FALSE(engine::programEntry(72));
    EXPECT_FALSE(engine::programEntry(-1));
    const std::u16string_view fixed[] = {u"_SigReg", u"_calibr", u"_sens", u"_usb_audio"};
    for (int32_t i = 1; i <= engine::kProgramCount; ++i) {
        SCOPED_TRACE(i);
        const auto e = engine::programEntry(i);
        ASSERT_TRUE(e);
        for (char16_t c : e->name) EXPECT_TRUE(c >= 0x20 && c < 0x7F);
        const size_t slash = e->name.find(u'\\');
        if (i <= 53) {
            EXPECT_GE(e->name.size(), 3u);
            EXPECT_LE(e->name.size(), 14u);
            EXPECT_EQ(slash, std::u16string_view::npos);
        } else if (i <= 67) {
            EXPECT_GE(e->name.size(), 13u);
            EXPECT_LE(e->name.size(), 22u);
            ASSERT_NE(slash, std::u16string_view::npos);
            EXPECT_GT(slash, 0u);
            EXPECT_LT(slash + 1, e->name.size());
            EXPECT_EQ(e->name.find(u'\\', slash + 1), std::u16string_view::npos);
        } else {
            EXPECT_EQ(e->name, fixed[i - 68]);
        }
        const uint32_t settle = (i == 9 || i == 35) ? 4000 : (i == 30 || i == 31) ? 3000 : 2000;
        EXPECT_EQ(e->settleMs, settle);
    }
    // Where the table and the instruments share a program number, the names agree.
    EXPECT_EQ(engine::programEntry(5)->name, u"SLM");
    EXPECT_EQ(engine::programEntry(55)->name, u"FFT\\FFT400_2CH");
}

} // namespace
} // namespace zs::test
