#include "engine/command_packets.h"
#include "engine/wire_bytes.h"
#include "platform/clock.h"
#include "transport/loopback.h"
#include "transport/packet_process.h"
#include "transport/sim_fixtures.h"

#include <algorithm>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>

namespace zs::test {
namespace {

using engine::DevicePtr;
using ::testing::ElementsAreArray;

using namespace zs::test::wire;

Bytes datagram(uint32_t command, const Bytes& payload = {}) {
    return concat({{0xCB, 0x8A, 0x7A, 0x7B, 0x34, 0x75, 0x85, 0x84},
                   {static_cast<uint8_t>(command), static_cast<uint8_t>(command >> 8),
                    static_cast<uint8_t>(command >> 16), static_cast<uint8_t>(command >> 24)},
                   {0x34, 0x75, 0x85, 0x84, 0xCB, 0x8A, 0x7A, 0x7B},
                   payload});
}

frame::RingEntry ringEntry() {
    frame::RingEntry e;
    for (uint8_t i = 0; i < 16; ++i) e.bytes[i] = static_cast<uint8_t>(i + 1);
    return e;
}

const Bytes kSentinel = {'E', 'N', 'D', '!'};

enum class Link { Ftdi, Tcp, WinUsb, Udp };

// One encoder call and what the instrument receives on each link: the FTDI byte stream (TCP
// the same unless given), the WinUSB command payload and the UDP datagram; empty = nothing.
struct Case {
    const char* name;
    transport::LinkKind linkKind;
    uint16_t program;
    std::function<void(DevicePtr)> send;
    Bytes ftdi;
    Bytes winUsb;
    Bytes udp;
    std::optional<Bytes> tcp = std::nullopt;
};

std::vector<Case> cases() {
    const Bytes ring = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const Bytes bands = {1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8, 0, 9, 0, 10, 0};
    const auto setBands = [](std::vector<uint16_t> words) {
        return [words](DevicePtr d) {
            if (d) d->bandBytes = words;
            engine::sendBands(d);
        };
    };
    return {
        // Tagged family.
        {"stream on",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendStreamMode(d, 1); },
         {0xA0, 0x1A},
         {10, 0, 1, 0, 1, 0, 1, 0},
         datagram(0x80000008)},
        {"stream off",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendStreamMode(d, 0); },
         {0xA0, 0x2A},
         {10, 0, 0, 0, 0, 0, 0, 0},
         datagram(0x00000008)},
        {"stream other value",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendStreamMode(d, 2); },
         {0xA0, 0x0A},
         {10, 0, 1, 0, 1, 0, 1, 0},
         datagram(0x80000008)},
        {"signal high speed",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendSignalMode(d, 1); },
         {0xA0, 0x6A},
         {10, 0, 4, 0},
         {}},
        {"signal normal",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendSignalMode(d, 0); },
         {0xA0, 0x5A},
         {10, 0, 4, 0},
         {}},
        {"reset",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendReset(d); },
         {0xA0, 0x3A},
         {1, 0, 0, 0},
         datagram(11, {1, 0, 0, 0})},
        {"start/stop",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendStartStop(d); },
         {0xA0, 0x4A},
         {2, 0, 0, 0},
         datagram(11, {2, 0, 0, 0})},
        {"start",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendStart(d); },
         tagged({0x02, 0x00, 0x15, 0x00, 0x15}),
         {0x15, 0},
         datagram(11, {0x15, 0, 0, 0})},
        {"stop",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendStop(d); },
         tagged({0x02, 0x00, 0x16, 0x00, 0x16}),
         {0x16, 0},
         datagram(11, {0x16, 0, 0, 0})},
        {"range 0, old program",
         kTaggedKind,
         10,
         [](DevicePtr d) { engine::sendRange(d, 0); },
         {0xA0, 0x7A},
         {3, 0, 2, 0},
         datagram(11, {3, 0, 2, 0})},
        {"range 0, new program",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendRange(d, 0); },
         {0xA0, 0x9A},
         {3, 0, 0, 0},
         datagram(11, {3, 0, 0, 0})},
        {"range 3 kept",
         kTaggedKind,
         10,
         [](DevicePtr d) { engine::sendRange(d, 3); },
         {0xA0, 0xAA},
         {3, 0, 3, 0},
         datagram(11, {3, 0, 3, 0})},
        {"polarity on",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendPolarity(d, 5); },
         {0xA0, 0xEA},
         {4, 0, 1, 0},
         datagram(11, {4, 0, 1, 0})},
        {"polarity off",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendPolarity(d, 0); },
         {0xA0, 0xFA},
         {4, 0, 0, 0},
         datagram(11, {4, 0, 0, 0})},
        {"icp on",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendIcpMode(d, 7); },
         tagged({0x04, 0x00, 0x12, 0x00, 0x01, 0x00, 0x13}),
         {0x12, 0, 1, 0},
         datagram(11, {0x12, 0, 1, 0})},
        {"zero channel on",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendZeroChannelMode(d, 9); },
         tagged({0x04, 0x00, 0x1A, 0x00, 0x01, 0x00, 0x1B}),
         {0x1A, 0, 1, 0},
         datagram(11, {0x1A, 0, 1, 0})},
        {"zero channel off",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendZeroChannelMode(d, 0); },
         tagged({0x04, 0x00, 0x1A, 0x00, 0x00, 0x00, 0x1A}),
         {0x1A, 0, 0, 0},
         datagram(11, {0x1A, 0, 0, 0})},
        {"signal registration",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendSigRegMode(d, 3, 1, 0x000F); },
         tagged({0x08, 0x00, 0x20, 0x00, 0x03, 0x00, 0x01, 0x00, 0x0F, 0x00, 0x33}),
         {0x20, 0, 3, 0, 1, 0, 0x0F, 0},
         datagram(11, {0x20, 0, 3, 0, 1, 0, 0x0F, 0})},
        {"ring entry",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendRingEntry(d, ringEntry()); },
         tagged(concat({{0x10, 0x00}, ring, {0x88}})),
         ring,
         {}},
        {"bands: the first 20 bytes",
         kTaggedKind,
         30,
         setBands({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xBEEF, 0xBEEF}),
         tagged(concat({{0x14, 0x00}, bands, {0x37}})),
         bands,
         {}},
        {"switch-off",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendSwitchOff(d); },
         tagged({0x04, 0x00, 0x13, 0x00, 0x45, 0x01, 0x59}),
         {0x13, 0x00, 0x45, 0x01},
         {}},
        {"date/time",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendDateTime(d, 0x00020000); },
         tagged({0x0A, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x02, 0x00, 0xFF, 0xFF, 0xFD, 0xFF, 0x07}),
         {0x0B, 0x00, 0x00, 0x00, 0x02, 0x00, 0xFF, 0xFF, 0xFD, 0xFF},
         {}},
        {"program switch",
         kTaggedKind,
         30,
         [](DevicePtr d) { engine::sendProgramSwitch(d, u"ABCDE"); },
         tagged({0x0E, 0x00, 0x0E, 0x00, 'A', 0, 'B', 0, 'C', 0, 'D', 0, 'E', 0, 0, 0, 0x5D}),
         {0x0E, 0x00, 'A', 0, 'B', 0, 'C', 0, 'D', 0, 'E', 0, 0, 0},
         {}},
        {"bands shorter than 20 bytes",
         kTaggedKind,
         30,
         setBands({1, 2, 3, 4, 5, 6, 7, 8, 9}),
         {},
         {},
         {}},

        // Sync family: sync packets on FTDI and TCP only.
        {"sync stream on",
         kSyncKind,
         30,
         [](DevicePtr d) { engine::sendStreamMode(d, 1); },
         {0x11, 0x22, 0x33, 0x44, 0x04, 0x00, 0x0A, 0x00, 0x01, 0x00, 0x0B, 0x00},
         {},
         {}},
        {"sync stream value kept",
         kSyncKind,
         30,
         [](DevicePtr d) { engine::sendStreamMode(d, 2); },
         {0x11, 0x22, 0x33, 0x44, 0x04, 0x00, 0x0A, 0x00, 0x02, 0x00, 0x0C, 0x00},
         {},
         {}},
        {"sync signal mode as tagged",
         kSyncKind,
         30,
         [](DevicePtr d) { engine::sendSignalMode(d, 1); },
         {0xA0, 0x6A},
         {10, 0, 4, 0},
         {}},
        {"sync reset",
         kSyncKind,
         30,
         [](DevicePtr d) { engine::sendReset(d); },
         {0x11, 0x22, 0x33, 0x44, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00},
         {},
         {}},
        {"sync start/stop",
         kSyncKind,
         30,
         [](DevicePtr d) { engine::sendStartStop(d); },
         {0x11, 0x22, 0x33, 0x44, 0x04, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00},
         {},
         {}},
        {"sync start", kSyncKind, 30, [](DevicePtr d) { engine::sendStart(d); }, {}, {}, {}},
        {"sync stop", kSyncKind, 30, [](DevicePtr d) { engine::sendStop(d); }, {}, {}, {}},
        {"sync range unchanged",
         kSyncKind,
         10,
         [](DevicePtr d) { engine::sendRange(d, 0); },
         {0x11, 0x22, 0x33, 0x44, 0x04, 0x00, 0x03, 0x00, 0x00, 0x00, 0x03, 0x00},
         {},
         {}},
        {"sync polarity",
         kSyncKind,
         30,
         [](DevicePtr d) { engine::sendPolarity(d, 5); },
         {0x11, 0x22, 0x33, 0x44, 0x04, 0x00, 0x04, 0x00, 0x01, 0x00, 0x05, 0x00},
         {},
         {}},
        {"sync icp: sync then tagged",
         kSyncKind,
         30,
         [](DevicePtr d) { engine::sendIcpMode(d, 1); },
         concat({{0x11, 0x22, 0x33, 0x44, 0x04, 0x00, 0x12, 0x00, 0x01, 0x00, 0x13, 0x00},
                 tagged({0x04, 0x00, 0x12, 0x00, 0x01, 0x00, 0x13})}),
         {0x12, 0, 1, 0},
         datagram(11, {0x12, 0, 1, 0})},
        {"sync zero channel",
         kSyncKind,
         30,
         [](DevicePtr d) { engine::sendZeroChannelMode(d, 1); },
         {},
         {},
         {}},
        {"sync signal registration",
         kSyncKind,
         30,
         [](DevicePtr d) { engine::sendSigRegMode(d, 3, 1, 0x0F); },
         {},
         {},
         {}},
        {"sync ring entry",
         kSyncKind,
         30,
         [](DevicePtr d) { engine::sendRingEntry(d, ringEntry()); },
         {},
         {},
         {}},
        {"sync switch-off",
         kSyncKind,
         30,
         [](DevicePtr d) { engine::sendSwitchOff(d); },
         {},
         {},
         {}},
        {"sync date/time",
         kSyncKind,
         30,
         [](DevicePtr d) { engine::sendDateTime(d, 0xFFFFFFFF); },
         tagged({0x0A, 0x00, 0x0B, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x07}),
         {0x0B, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00},
         {}},
        {"sync bands: every word, FTDI only",
         kSyncKind,
         30,
         setBands({1, 2, 0xFFFF}),
         {0x11, 0x22, 0x33, 0x44, 0x06, 0x00, 0x01, 0x00, 0x02, 0x00, 0xFF, 0xFF, 0x02, 0x00},
         {},
         {},
         Bytes{}},
    };
}

class CommandPackets : public SimWinUsbTest {
  protected:
    void SetUp() override {
        SimWinUsbTest::SetUp();
        ASSERT_TRUE(platform::socketsStartup());
    }
    void TearDown() override {
        platform::socketsCleanup();
        SimWinUsbTest::TearDown();
    }

    static DevicePtr newRecord(transport::LinkKind linkKind, uint16_t program) {
        auto d = std::make_shared<frame::DevStruct>();
        d->linkKind = linkKind;
        d->state.programNumber = program;
        d->stopEvent = std::make_unique<platform::Event>(platform::Event::Reset::Manual);
        return d;
    }
    // The pairs own the sockets: the record must not close them.
    static void forgetSockets(DevicePtr& d) {
        d->tcpSocket = d->udpSocket = platform::kNoSocket;
        d.reset();
    }

    // Everything one encoder call delivers over `link`: the byte stream (FTDI, TCP) as one
    // element, else one element per WinUSB transfer or datagram.
    std::vector<Bytes> capture(Link link, const Case& c) {
        DevicePtr d = newRecord(c.linkKind, c.program);
        std::vector<Bytes> out;
        switch (link) {
        case Link::Ftdi: {
            sim::SimD2xxDevice* dev;
            d->ftdiHandle = openDevice(dev);
            c.send(d);
            if (!dev->written.empty()) out.push_back(dev->written);
            d.reset();
            sim::SimD2xx::instance().reset();
            break;
        }
        case Link::Tcp: {
            TcpPair pair;
            EXPECT_TRUE(pair.ok());
            d->tcpSocket = pair.near;
            c.send(d);
            // Whatever precedes the sentinel is what the encoder sent.
            EXPECT_TRUE(platform::sendAll(pair.near, kSentinel.data(), kSentinel.size()));
            Bytes got;
            const uint32_t t0 = platform::tickMs();
            while (platform::tickMs() - t0 < 5000 &&
                   (got.size() < kSentinel.size() ||
                    !std::equal(kSentinel.begin(), kSentinel.end(), got.end() - 4))) {
                uint8_t buf[256];
                const int n = platform::receiveTimed(pair.far, buf, sizeof buf, 100);
                if (n > 0) got.insert(got.end(), buf, buf + n);
            }
            EXPECT_GE(got.size(), kSentinel.size());
            got.resize(got.size() >= 4 ? got.size() - 4 : 0);
            if (!got.empty()) out.push_back(got);
            forgetSockets(d);
            break;
        }
        case Link::WinUsb: {
            sim::SimWinUsbDevice* dev;
            void* file;
            d->winUsbHandle = openWinUsb(dev, file);
            d->winUsbFile = file;
            EXPECT_NE(d->winUsbHandle, nullptr);
            c.send(d);
            out = dev->written;
            d.reset();
            sim::SimWinUsb::instance().reset();
            break;
        }
        case Link::Udp: {
            UdpPair pair;
            EXPECT_TRUE(pair.ok());
            d->udpSocket = pair.near;
            c.send(d);
            EXPECT_TRUE(platform::sendAll(pair.near, kSentinel.data(), kSentinel.size()));
            for (int tries = 0; tries < 50; ++tries) {
                uint8_t buf[2048];
                const int n = platform::receiveTimed(pair.far, buf, sizeof buf, 100);
                if (n <= 0) continue;
                Bytes got(buf, buf + n);
                if (got == kSentinel) break;
                out.push_back(got);
            }
            forgetSockets(d);
            break;
        }
        }
        return out;
    }

    static std::vector<Bytes> expectedStream(const Bytes& b) {
        return b.empty() ? std::vector<Bytes>{} : std::vector<Bytes>{b};
    }
};

TEST_F(CommandPackets, EveryEncoderOverFtdi) {
    for (const auto& c : cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(capture(Link::Ftdi, c), expectedStream(c.ftdi));
    }
}

TEST_F(CommandPackets, EveryEncoderOverTcp) {
    for (const auto& c : cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(capture(Link::Tcp, c), expectedStream(c.tcp.value_or(c.ftdi)));
    }
}

TEST_F(CommandPackets, EveryEncoderOverWinUsbSendsOneFramedPayload) {
    for (const auto& c : cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(capture(Link::WinUsb, c), c.winUsb.empty()
                                                ? std::vector<Bytes>{}
                                                : std::vector<Bytes>{winUsbFrame(c.winUsb)});
    }
}

TEST_F(CommandPackets, EveryEncoderOverUdp) {
    for (const auto& c : cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(capture(Link::Udp, c), expectedStream(c.udp));
    }
}

// The packet parsers accept what the encoders frame, checksums included, and a tagged
// packet carries the same payload as the WinUSB command.
TEST_F(CommandPackets, ParsersAcceptEveryFramedCommand) {
    for (const auto& c : cases()) {
        SCOPED_TRACE(c.name);
        const auto sent = capture(Link::Ftdi, c);
        if (sent.empty() || sent[0].size() == 2) continue; // nothing, or a two-byte command
        const Bytes& stream = sent[0];
        const auto length = static_cast<uint32_t>(stream.size());
        transport::CDoutPacketProcess taggedParser(65535);
        transport::CDinPacketProcess syncParser(65535);
        size_t taggedSeen = 0, syncSeen = 0;
        for (uint32_t pos = 0; pos < length;) {
            if (!taggedParser.process(stream.data(), length, pos)) continue;
            ++taggedSeen;
            EXPECT_EQ(Bytes(taggedParser.payload(),
                            taggedParser.payload() + taggedParser.payloadLength()),
                      c.winUsb);
        }
        for (uint32_t pos = 0; pos < length;)
            if (syncParser.process(stream.data(), length, pos)) ++syncSeen;
        // Only the sync family's own commands are sync packets; each frame parses once.
        const bool syncFrame = stream[0] == 0x11;
        EXPECT_TRUE(!syncFrame || c.linkKind == kSyncKind);
        EXPECT_EQ(syncSeen, syncFrame ? 1u : 0u);
        EXPECT_EQ(taggedSeen, c.winUsb.empty() ? 0u : 1u);
    }
}

// An encoder sends on the first link of FTDI, TCP, WinUSB, UDP and on no other.
TEST_F(CommandPackets, FirstLinkWins) {
    TcpPair tcp;
    UdpPair udp;
    ASSERT_TRUE(tcp.ok() && udp.ok());
    sim::SimD2xxDevice* ftdiDev;
    sim::SimWinUsbDevice* usbDev;
    void* file;

    DevicePtr d = newRecord(kTaggedKind, 30);
    d->ftdiHandle = openDevice(ftdiDev);
    d->tcpSocket = tcp.near;
    d->winUsbHandle = openWinUsb(usbDev, file);
    d->winUsbFile = file;
    d->udpSocket = udp.near;

    engine::sendReset(d);
    EXPECT_THAT(ftdiDev->written, ElementsAreArray({0xA0, 0x3A}));

    transport::d2xx().close(d->ftdiHandle);
    d->ftdiHandle = transport::kNoFtdiHandle;
    engine::sendReset(d);
    EXPECT_THAT(readExactly(tcp.far, 2), ElementsAreArray({0xA0, 0x3A}));

    // WinUSB comes before UDP here, unlike in the plain transfers.
    d->tcpSocket = platform::kNoSocket;
    engine::sendReset(d);
    ASSERT_EQ(usbDev->written.size(), 1u);
    EXPECT_EQ(usbDev->written[0], winUsbFrame({1, 0, 0, 0}));

    // Nothing reached the links behind the first one: the next bytes are our markers.
    EXPECT_TRUE(platform::sendAll(tcp.near, kSentinel.data(), kSentinel.size()));
    EXPECT_EQ(readExactly(tcp.far, 4), kSentinel);
    EXPECT_TRUE(platform::sendAll(udp.near, kSentinel.data(), kSentinel.size()));
    uint8_t first[64];
    const int n = platform::receiveTimed(udp.far, first, sizeof first, 5000);
    EXPECT_EQ(Bytes(first, first + (n > 0 ? n : 0)), kSentinel);
    EXPECT_THAT(ftdiDev->written, ElementsAreArray({0xA0, 0x3A}));
    forgetSockets(d);
}

// An Ethernet instrument that was gone for a moment (its port closed, then open again) is
// sent the next command: the refusal its absence left on the socket is not this command's.
TEST_F(CommandPackets, DatagramToAPeerThatCameBackIsSent) {
    UdpPair pair;
    ASSERT_TRUE(pair.ok());
    platform::SocketAddress far;
    ASSERT_TRUE(platform::localAddress(pair.far, far));
    platform::closeSocket(pair.far);
    pair.far = platform::kNoSocket;
    platform::sendAll(pair.near, kSentinel.data(), kSentinel.size()); // to a closed port
    pair.far = platform::openUdpSocket();
    ASSERT_TRUE(platform::bindSocket(pair.far, far));

    DevicePtr d = newRecord(kTaggedKind, 30);
    d->udpSocket = pair.near;
    engine::sendReset(d);
    uint8_t got[2048];
    const int n = platform::receiveTimed(pair.far, got, sizeof got, 5000);
    EXPECT_EQ(Bytes(got, got + (n > 0 ? n : 0)), datagram(11, {1, 0, 0, 0}));
    forgetSockets(d);
}

TEST_F(CommandPackets, NoLinkOrNoRecordSendsNothing) {
    sim::SimWinUsbDevice& usbDev = sim::SimWinUsb::instance().addDevice(u"\\\\?\\usb#idle");
    sim::SimD2xxDevice& ftdiDev = sim::SimD2xx::instance().addDevice("ZS000009", "Idle");
    DevicePtr d = newRecord(kTaggedKind, 30);
    for (const auto& c : cases()) {
        c.send(d);
        c.send(nullptr);
    }
    engine::sendTaggedPacket(nullptr, nullptr, 0, 0);
    engine::sendSyncPacket(nullptr, {});
    EXPECT_TRUE(usbDev.written.empty());
    EXPECT_TRUE(ftdiDev.written.empty());
}

// The encoders' FTDI writes go without an overlapped block; the two writers use the record's
// block and wait for a pending write to complete.
TEST_F(CommandPackets, WritersUseTheRecordsOverlappedBlock) {
    sim::SimD2xxDevice* dev;
    DevicePtr d = newRecord(kTaggedKind, 30);
    d->ftdiHandle = openDevice(dev);
    dev->writeCompletion = sim::Completion::Pending;
    dev->pendingResultCalls = 2;

    engine::sendStart(d);
    EXPECT_EQ(dev->resultCalls, 0u);
    EXPECT_EQ(dev->written.size(), 13u);

    // The rate switch: 10, 2, baud 115200 low word, high word with bit 15 set.
    engine::sendRateSwitch(d, 115200);
    EXPECT_GE(dev->resultCalls, 2u);
    EXPECT_EQ(Bytes(dev->written.begin() + 13, dev->written.end()),
              tagged({0x08, 0x00, 10, 0, 2, 0, 0x00, 0xC2, 0x01, 0x80, 0x4F}));

    uint32_t before = dev->resultCalls;
    engine::sendGeneratorItem(d, 33, 0x12345678);
    EXPECT_GT(dev->resultCalls, before);
    EXPECT_EQ(Bytes(dev->written.end() - 17, dev->written.end()),
              tagged({0x06, 0x00, 0x21, 0x00, 0x78, 0x56, 0x34, 0x12, 0x35}));

    before = dev->resultCalls;
    engine::sendSyncPacket(d, {141, 0x8000});
    EXPECT_GT(dev->resultCalls, before);
    EXPECT_EQ(Bytes(dev->written.end() - 12, dev->written.end()),
              Bytes({0x11, 0x22, 0x33, 0x44, 0x04, 0x00, 0x8D, 0x00, 0x00, 0x80, 0x8D, 0x80}));
}

TEST_F(CommandPackets, WritersSendOnlyOverFtdi) {
    TcpPair tcp;
    ASSERT_TRUE(tcp.ok());
    DevicePtr d = newRecord(kTaggedKind, 30);
    d->tcpSocket = tcp.near;
    const Bytes payload = {0x20, 0x00, 0x10, 0x00, 0x00, 0x00};
    engine::sendTaggedPacket(d, payload.data(), payload.size(), 0);
    engine::sendSyncPacket(d, {1, 2});
    engine::sendGeneratorItem(d, 32, 1000);
    engine::sendRateSwitch(d, 115200);
    engine::sendStart(d); // a marker: the first bytes to arrive must be its packet
    EXPECT_EQ(readExactly(tcp.far, 13), tagged({0x02, 0x00, 0x15, 0x00, 0x15}));
    forgetSockets(d);
}

TEST(CommandFrames, LengthFieldLimits) {
    const Bytes big(65535, 0x01);
    const Bytes packet = engine::taggedPacket(big.data(), big.size());
    ASSERT_EQ(packet.size(), 65535u + 11u);
    EXPECT_EQ(packet[8], 0xFF);
    EXPECT_EQ(packet[9], 0xFF);
    EXPECT_EQ(packet.back(), static_cast<uint8_t>(65535 & 0xFF));

    // One byte more would wrap the length field: no packet rather than a wrong one.
    const Bytes tooBig(65536, 0x01);
    EXPECT_TRUE(engine::taggedPacket(tooBig.data(), tooBig.size()).empty());

    const std::vector<uint16_t> words(32767, 0x0102);
    const Bytes sync = engine::syncPacket(words.data(), words.size());
    ASSERT_EQ(sync.size(), 6u + 65534u + 2u);
    EXPECT_EQ(sync[4], 0xFE);
    EXPECT_EQ(sync[5], 0xFF);
    const uint16_t sum = static_cast<uint16_t>(32767u * 0x0102u);
    EXPECT_EQ(sync[sync.size() - 2], static_cast<uint8_t>(sum));
    EXPECT_EQ(sync[sync.size() - 1], static_cast<uint8_t>(sum >> 8));
    const std::vector<uint16_t> tooMany(32768, 1);
    EXPECT_TRUE(engine::syncPacket(tooMany.data(), tooMany.size()).empty());
}

TEST(CommandFrames, ChecksumsWrap) {
    // 19, 325: bytes 13 00 45 01 sum to 0x59.
    const Bytes switchOff = {0x13, 0x00, 0x45, 0x01};
    EXPECT_EQ(engine::taggedPacket(switchOff.data(), 4).back(), 0x59);
    const Bytes high = {0xFF, 0xFF, 0x03};
    EXPECT_EQ(engine::taggedPacket(high.data(), 3).back(), 0x01);
    const uint16_t words[] = {0xFFFF, 0x0003};
    const Bytes sync = engine::syncPacket(words, 2);
    EXPECT_EQ(Bytes(sync.end() - 2, sync.end()), Bytes({0x02, 0x00}));
}

TEST(CommandFrames, RangeMapping) {
    struct Row {
        int32_t range;
        uint16_t program;
        uint8_t commandByte;
        uint16_t word;
    };
    const Row rows[] = {
        {0, 10, 0x7A, 2}, {1, 10, 0x8A, 1}, {2, 10, 0x9A, 0},      {3, 10, 0xAA, 3},
        {0, 27, 0x7A, 2}, {0, 28, 0x9A, 0}, {1, 28, 0x8A, 1},      {2, 28, 0x7A, 2},
        {3, 28, 0xAA, 3}, {2, 30, 0x7A, 2}, {5, 10, 0xCA, 0xFFFD},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(::testing::Message() << "range " << r.range << " program " << r.program);
        EXPECT_EQ(engine::rangeCommandByte(r.range, r.program), r.commandByte);
        EXPECT_EQ(engine::rangeWord(r.range, r.program), r.word);
    }
}

TEST(CommandFrames, SyncFamilyLinkKinds) {
    for (uint32_t code = 0; code < 20; ++code) {
        const bool sync = code == 4 || code == 5 || code == 7 || code == 13;
        EXPECT_EQ(engine::isSyncFamily(static_cast<transport::LinkKind>(code)), sync) << code;
    }
}

} // namespace
} // namespace zs::test
