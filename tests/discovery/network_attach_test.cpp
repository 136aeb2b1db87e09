// Wi-Fi and Ethernet attach over real loopback sockets against simulated instruments.
#include "discovery/address_text.h"
#include "discovery/network_attach.h"
#include "discovery/usb_lists.h"
#include "engine/io_threads.h"
#include "frame/library.h"
#include "network_instruments.h"
#include "platform/adapters.h"
#include "support/library_fixture.h"
#include "support/loopback_address.h"

#include <gtest/gtest.h>
#include <iterator>

namespace zs::test {
namespace {

using discovery::attachEthDevice;
using discovery::attachWiFiDevice;
using discovery::freeFList;
using frame::DevStruct;

std::shared_ptr<DevStruct> device(size_t position) {
    return *std::next(frame::lib().devices.begin(), static_cast<long>(position));
}

class NetworkAttach : public LibraryTest {
  protected:
    void TearDown() override {
        platform::installAdapterTableForTests(nullptr);
        LibraryTest::TearDown();
    }
};

constexpr auto kChannel0 = transport::LinkKind::TcpChannel0;
constexpr auto kChannel1 = transport::LinkKind::TcpChannel1;

struct WiFiCase {
    uint32_t code;
    std::vector<transport::LinkKind> kinds; // link kind of each record, channel order
    bool helloInPieces = false;
};

TEST_F(NetworkAttach, WiFiChannelCodeDecidesTheRecords) {
    for (const WiFiCase& c : {WiFiCase{55, {kChannel0, kChannel1}}, WiFiCase{0, {kChannel0}},
                              WiFiCase{247, {kChannel1, kChannel1}}, WiFiCase{3, {}},
                              WiFiCase{55, {kChannel0, kChannel1}, true}}) {
        SCOPED_TRACE(c.code);
        SCOPED_TRACE(c.helloInPieces ? "reply in pieces" : "reply whole");
        sim::WiFiOptions o;
        o.address = freshLoopbackAddress();
        o.channelCode = c.code;
        o.helloInPieces = c.helloInPieces;
        // Channel 0 speaks the tagged protocol, channel 1 (and the combined form) the sync one.
        o.identity[0] = {28, 40, 0x00031001};
        o.identity[1] = {static_cast<uint16_t>(c.code == 247 ? 120 : 38), 7, 0x00031002};
        sim::SimWiFiInstrument instrument(o);
        ASSERT_TRUE(instrument.listening());
        int32_t index = 99;
        const std::u16string address = wide(dotted(o.address));
        ASSERT_EQ(attachWiFiDevice(address.c_str(), address.c_str(), &index), 1);
        auto& list = frame::lib().devices;
        // What identification stored, read with the records' threads stopped.
        for (auto& d : list) engine::stopIoThread(*d);
        ASSERT_EQ(list.size(), c.kinds.size());
        EXPECT_EQ(index, static_cast<int32_t>(c.kinds.size()) - 1);
        EXPECT_EQ(instrument.hellos(), 1u);
        for (size_t i = 0; i < c.kinds.size(); ++i) {
            const auto d = device(i);
            EXPECT_EQ(d->linkKind, c.kinds[i]);
            EXPECT_EQ(d->channelIndex, static_cast<int32_t>(i));
            EXPECT_EQ(d->linkState, -1);
            EXPECT_EQ(d->commandSocket, device(0)->commandSocket); // one shared socket
            EXPECT_EQ(instrument.dataConnections(static_cast<int>(i)), 1u);
        }
        if (c.code == 55) {
            EXPECT_EQ(device(0)->state.deviceType, 28);
            EXPECT_EQ(device(0)->state.serialNumber, 0x00031001u);
            EXPECT_EQ(device(1)->state.deviceType, 38);
            EXPECT_EQ(device(1)->state.programNumber, 40); // the first of the program list
            EXPECT_EQ(device(1)->baudRate, 768000u);
        }
        if (c.code == 247) {
            EXPECT_EQ(device(1)->state.deviceType, 120);
        }
        freeFList();
    }
}

TEST_F(NetworkAttach, WiFiWithoutHelloReplyAddsNothingAndLeavesNoReceiveBehind) {
    sim::WiFiOptions o;
    o.address = freshLoopbackAddress();
    o.answerHello = false;
    sim::SimWiFiInstrument instrument(o);
    ASSERT_TRUE(instrument.listening());
    const std::u16string address = wide(dotted(o.address));
    int32_t index = 7;
    EXPECT_EQ(attachWiFiDevice(address.c_str(), address.c_str(), &index), 1);
    EXPECT_TRUE(frame::lib().devices.empty());
    EXPECT_EQ(index, -1);
    // Again, with the earlier call's storage long gone.
    EXPECT_EQ(attachWiFiDevice(address.c_str(), address.c_str(), nullptr), 1);
    EXPECT_EQ(instrument.hellos(), 2u);

    // With another instrument listed first, the position given is still none, not its.
    sim::WiFiOptions other = o;
    other.address = freshLoopbackAddress();
    other.answerHello = true;
    other.channelCode = 0;
    sim::SimWiFiInstrument answering(other);
    ASSERT_TRUE(answering.listening());
    const std::u16string there = wide(dotted(other.address));
    ASSERT_EQ(attachWiFiDevice(there.c_str(), there.c_str(), &index), 1);
    ASSERT_EQ(index, 0);
    EXPECT_EQ(attachWiFiDevice(address.c_str(), address.c_str(), &index), 1);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(frame::lib().devices.size(), 1u);
}

TEST_F(NetworkAttach, WiFiFailuresReturnZeroAndLeaveTheListAlone) {
    const uint32_t nobody = freshLoopbackAddress(); // no instrument listens there
    const std::u16string there = wide(dotted(nobody));
    const std::u16string tooLong(200, u'1');
    const std::u16string notAnAddress = u"instrument";
    int32_t index = 5;
    EXPECT_EQ(attachWiFiDevice(there.c_str(), there.c_str(), &index), 0);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(attachWiFiDevice(there.c_str(), tooLong.c_str(), &index), 0);
    EXPECT_EQ(attachWiFiDevice(tooLong.c_str(), there.c_str(), &index), 0);
    EXPECT_EQ(attachWiFiDevice(there.c_str(), notAnAddress.c_str(), &index), 0);
    EXPECT_EQ(attachWiFiDevice(there.c_str(), nullptr, &index), 0);
    // No adapter on the device's network.
    const std::vector<platform::AdapterAddress> table = {{0xC0A80A07, 0xFFFFFF00}};
    platform::installAdapterTableForTests(&table);
    EXPECT_EQ(attachWiFiDevice(nullptr, there.c_str(), &index), 0);
    EXPECT_TRUE(frame::lib().devices.empty());
}

TEST_F(NetworkAttach, WiFiTakesTheLocalAddressFromTheAdapterOnTheDevicesNetwork) {
    sim::WiFiOptions o;
    o.address = freshLoopbackAddress();
    o.channelCode = 0;
    o.identity[0] = {28, 40, 0x00031001};
    sim::SimWiFiInstrument instrument(o);
    ASSERT_TRUE(instrument.listening());
    const std::vector<platform::AdapterAddress> table = {{0xC0A80A07, 0xFFFFFF00},
                                                         {o.address + 1, 0xFF000000}};
    platform::installAdapterTableForTests(&table);
    const std::u16string address = wide(dotted(o.address));
    ASSERT_EQ(attachWiFiDevice(nullptr, address.c_str(), nullptr), 1);
    ASSERT_EQ(frame::lib().devices.size(), 1u);
    platform::SocketAddress local;
    ASSERT_TRUE(platform::localAddress(device(0)->tcpSocket, local));
    EXPECT_EQ(local.address, o.address + 1);
}

TEST(EthernetQueryTargets, GivenAddressOrEveryAdaptersDirectedBroadcast) {
    // Checked as values only: nothing is sent to these.
    const std::vector<platform::AdapterAddress> table = {
        {0xC0A80A07, 0xFFFFFF00}, {0, 0xFF000000}, {0x7F000001, 0xFF000000}};
    EXPECT_EQ(discovery::ethernetQueryTargets(std::nullopt, table),
              (std::vector<uint32_t>{0xC0A80AFF, 0x7FFFFFFF}));
    EXPECT_EQ(discovery::ethernetQueryTargets(0x0A000005, table),
              (std::vector<uint32_t>{0x0A000005}));
    EXPECT_TRUE(discovery::ethernetQueryTargets(std::nullopt, std::nullopt).empty());
    EXPECT_EQ(discovery::formatDottedAddress(0xC0A80AFF), "192.168.10.255");
}

TEST(AddressText, ParsesFourNumbersEachAsOneByte) {
    EXPECT_EQ(discovery::parseDottedAddress("127.0.0.1"), 0x7F000001u);
    EXPECT_EQ(discovery::parseDottedAddress("1.2.3.260"), 0x01020304u);
    EXPECT_EQ(discovery::parseDottedAddress("1.2.3"), 0u);
    EXPECT_EQ(discovery::parseDottedAddress("host"), 0u);
    const std::u16string fits(143, u'1'), tooLong(144, u'1');
    EXPECT_TRUE(discovery::addressText(fits.c_str()).has_value());
    EXPECT_FALSE(discovery::addressText(tooLong.c_str()).has_value());
    EXPECT_FALSE(discovery::addressText(nullptr).has_value());
}

// Binding port 22 needs the right to use privileged ports.
#define REQUIRE_LISTENING(instrument)                                                              \
    if (!(instrument).listening()) GTEST_SKIP() << "UDP port 22 on loopback is not available"

TEST_F(NetworkAttach, EthernetReplyMakesAnIdentifiedRecord) {
    sim::EthernetOptions o;
    o.address = freshLoopbackAddress();
    o.identity = {28, 40, 0x00031001};
    sim::SimEthernetInstrument instrument(o);
    REQUIRE_LISTENING(instrument);
    const std::u16string address = wide(dotted(o.address));
    int32_t index = 9;
    ASSERT_EQ(attachEthDevice(address.c_str(), &index), 1);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(instrument.queries(), 1u);
    const auto d = device(0);
    engine::stopIoThread(*d); // its stream would rewrite what identification stored
    EXPECT_EQ(d->linkKind, transport::LinkKind::Ethernet);
    EXPECT_EQ(d->linkState, -1);
    EXPECT_EQ(d->state.deviceType, 28);
    EXPECT_EQ(d->state.programNumber, 40);
    EXPECT_EQ(d->state.serialNumber, 0x00031001u);
    EXPECT_EQ(d->udpPeer.port, platform::hostToNetwork16(22));
    EXPECT_EQ(d->udpPeer.address, platform::hostToNetwork32(instrument.repliesFrom()));
    EXPECT_TRUE(d->hasUdp());
}

TEST_F(NetworkAttach, EthernetRepliesThatBreakTheRulesAreIgnored) {
    for (auto reply :
         {sim::EthernetReply::Short, sim::EthernetReply::QueryOrder, sim::EthernetReply::None}) {
        sim::EthernetOptions o;
        o.address = freshLoopbackAddress();
        o.reply = reply;
        o.identity = {28, 40, 1};
        sim::SimEthernetInstrument instrument(o);
        REQUIRE_LISTENING(instrument);
        const std::u16string address = wide(dotted(o.address));
        int32_t index = 9;
        EXPECT_EQ(attachEthDevice(address.c_str(), &index), 0);
        EXPECT_EQ(index, -1);
        EXPECT_EQ(instrument.queries(), 1u);
        EXPECT_TRUE(frame::lib().devices.empty());
    }
}

TEST_F(NetworkAttach, EthernetReplyFromAnAddressOutsideTheGivenOnesBitsIsRefused) {
    const uint32_t base = freshLoopbackAddress() & 0xFFFFFF00;
    struct Case {
        uint32_t replyFrom;
        int attached;
    };
    // Queried at .7: a reply from .5 (bits a subset of .7) counts, one from .9 does not.
    for (const Case c : {Case{base | 5, 1}, Case{base | 9, 0}}) {
        sim::EthernetOptions o;
        o.address = base | 7;
        o.replyFrom = c.replyFrom;
        o.identity = {28, 40, 1};
        sim::SimEthernetInstrument instrument(o);
        REQUIRE_LISTENING(instrument);
        const std::u16string address = wide(dotted(o.address));
        EXPECT_EQ(attachEthDevice(address.c_str(), nullptr), c.attached) << dotted(c.replyFrom);
        freeFList();
    }
}

// A host may name its network's broadcast address itself: the query goes out as a broadcast
// (here loopback's own, 127.255.255.255, where the instrument listens) and the reply of the
// instrument at its own address is taken.
TEST_F(NetworkAttach, EthernetQueryToAGivenBroadcastAddressIsSent) {
    sim::EthernetOptions o;
    o.address = 0x7FFFFFFF;
    o.replyFrom = freshLoopbackAddress();
    o.identity = {28, 40, 0x00031001};
    sim::SimEthernetInstrument instrument(o);
    REQUIRE_LISTENING(instrument);
    const std::u16string address = wide(dotted(o.address));
    int32_t index = 9;
    EXPECT_EQ(attachEthDevice(address.c_str(), &index), 1);
    EXPECT_EQ(instrument.queries(), 1u);
    EXPECT_EQ(index, 0);
}

TEST_F(NetworkAttach, EthernetWithoutAddressQueriesTheAdaptersBroadcastAddress) {
    // A loopback adapter whose network's broadcast address the instrument listens on.
    const uint32_t network = freshLoopbackAddress() & 0xFFFFFF00;
    sim::EthernetOptions o;
    o.address = network | 0xFF;
    o.identity = {28, 40, 1};
    sim::SimEthernetInstrument instrument(o);
    REQUIRE_LISTENING(instrument);
    const std::vector<platform::AdapterAddress> table = {{network | 1, 0xFFFFFF00}};
    platform::installAdapterTableForTests(&table);
    int32_t index = -5;
    EXPECT_EQ(attachEthDevice(nullptr, &index), 1);
    EXPECT_EQ(instrument.queries(), 1u);
    EXPECT_EQ(index, 0);
    const std::vector<platform::AdapterAddress> empty;
    platform::installAdapterTableForTests(&empty);
    EXPECT_EQ(attachEthDevice(nullptr, &index), 0);
    EXPECT_EQ(index, -1);
}

} // namespace
} // namespace zs::test
