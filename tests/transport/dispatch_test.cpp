#include "loopback.h"
#include "platform/clock.h"
#include "sim_fixtures.h"
#include "transport/device_link.h"
#include "transport/dispatch.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace zs::test {
namespace {

using platform::Event;
using sim::D2xxRole;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using transport::DeviceLink;

class Dispatch : public SimWinUsbTest {
  protected:
    void SetUp() override {
        SimWinUsbTest::SetUp();
        ASSERT_TRUE(platform::socketsStartup());
        link = std::make_unique<DeviceLink>();
    }
    void TearDown() override {
        // The link's sockets belong to the pairs: forget them before the pairs close them.
        link->tcpSocket = link->udpSocket = platform::kNoSocket;
        link.reset();
        platform::socketsCleanup();
        SimWinUsbTest::TearDown();
    }
    static void d2xxClose(DeviceLink& l) {
        transport::d2xx().close(l.ftdiHandle);
        l.ftdiHandle = transport::kNoFtdiHandle;
    }
    std::unique_ptr<DeviceLink> link;
    Event stop{Event::Reset::Manual};
};

TEST_F(Dispatch, FreshLinkHasNoLink) {
    EXPECT_EQ(link->ftdiHandle, transport::kNoFtdiHandle);
    EXPECT_EQ(link->tcpSocket, platform::kNoSocket);
    EXPECT_EQ(link->udpSocket, platform::kNoSocket);
    EXPECT_EQ(link->winUsbFile, transport::kInvalidFile);
    EXPECT_EQ(link->winUsbHandle, nullptr);
    EXPECT_FALSE(link->commandSocket);
    EXPECT_EQ(link->readPending, 0);
    EXPECT_FALSE(link->ioOverlapped.hasEvent());
    EXPECT_EQ(link->ioOverlapped.block.hEvent, nullptr);
    EXPECT_EQ(link->linkKind, transport::LinkKind::NoneOrWinUsb);
    EXPECT_EQ(link->linkState, 0);
    EXPECT_EQ(link->baudRate, 0u);
    EXPECT_EQ(link->maxBaudRate, 0u);
    EXPECT_EQ(link->stateTime, 0u);
    EXPECT_EQ(link->rxBuffer.size(), 65536u);
}

TEST_F(Dispatch, FtdiWinsOverTcpThenTcpOverUdp) {
    sim::SimD2xxDevice* dev;
    TcpPair tcp;
    UdpPair udp;
    ASSERT_TRUE(tcp.ok() && udp.ok());
    link->ftdiHandle = openDevice(dev);
    link->tcpSocket = tcp.near;
    link->udpSocket = udp.near;
    const uint8_t out[] = {0x31, 0x32, 0x33};

    EXPECT_EQ(transport::deviceWrite(*link, out, 3, &stop, link->ioOverlapped), 3u);
    EXPECT_THAT(dev->written, ElementsAreArray(out));
    dev->queue({0x44});
    EXPECT_EQ(transport::deviceRead(*link, link->rxBuffer.data(), 100, &stop, link->ioOverlapped,
                                    &link->readPending, 10),
              1u);
    EXPECT_EQ(link->rxBuffer[0], 0x44);
    uint8_t probe[8];
    EXPECT_EQ(platform::receiveTimed(tcp.far, probe, sizeof probe, 20), 0); // nothing on TCP

    d2xxClose(*link);
    EXPECT_EQ(transport::deviceWrite(*link, out, 3, &stop, link->ioOverlapped), 3u);
    EXPECT_THAT(readExactly(tcp.far, 3), ElementsAreArray(out));
    ASSERT_TRUE(platform::sendAll(tcp.far, out, 2));
    EXPECT_EQ(transport::deviceRead(*link, link->rxBuffer.data(), 100, &stop, link->ioOverlapped,
                                    &link->readPending, 5000),
              2u);

    link->tcpSocket = platform::kNoSocket;
    EXPECT_EQ(transport::deviceWrite(*link, out, 3, &stop, link->ioOverlapped), 3u);
    EXPECT_EQ(platform::receiveTimed(udp.far, probe, sizeof probe, 5000), 3);
}

TEST_F(Dispatch, SocketReadUsesTheTimeOutAndThePendingFlag) {
    UdpPair udp;
    ASSERT_TRUE(udp.ok());
    link->udpSocket = udp.near;
    EXPECT_EQ(transport::deviceRead(*link, link->rxBuffer.data(), 65536, &stop, link->ioOverlapped,
                                    &link->readPending, 20),
              0u);
    EXPECT_EQ(link->readPending, 1);
    const uint8_t d[] = {5, 6};
    ASSERT_TRUE(platform::sendAll(udp.far, d, 2));
    EXPECT_EQ(transport::deviceRead(*link, link->rxBuffer.data(), 65536, &stop, link->ioOverlapped,
                                    &link->readPending, 5000),
              2u);
    EXPECT_EQ(link->readPending, 0);
}

TEST_F(Dispatch, NoLinkAtAllFallsToWinUsbAndMovesNothing) {
    const uint8_t out[] = {1};
    EXPECT_EQ(transport::deviceWrite(*link, out, 1, &stop, link->ioOverlapped), 0u);
    EXPECT_EQ(transport::deviceRead(*link, link->rxBuffer.data(), 512, &stop, link->ioOverlapped,
                                    &link->readPending, 10),
              0u);
    EXPECT_EQ(transport::winUsbFramedWrite(*link, out, 1, &stop), 0u);
}

TEST_F(Dispatch, WinUsbLinkWritesRawAndReads) {
    sim::SimWinUsbDevice* dev;
    link->winUsbHandle = openWinUsb(dev, link->winUsbFile);
    ASSERT_NE(link->winUsbHandle, nullptr);
    const uint8_t out[] = {1, 2, 3};
    EXPECT_EQ(transport::deviceWrite(*link, out, 3, &stop, link->ioOverlapped), 3u);
    ASSERT_EQ(dev->written.size(), 1u);
    EXPECT_THAT(dev->written[0], ElementsAre(1, 2, 3)); // no frame around it
    sim::SimWinUsb::instance().queueInput(*dev, {9, 9});
    EXPECT_EQ(transport::deviceRead(*link, link->rxBuffer.data(), 512, &stop, link->ioOverlapped,
                                    &link->readPending, 10),
              2u);
    EXPECT_THAT(dev->pipesUsed, ElementsAre(0x06, 0x85));
    transport::closeLink(*link);
}

TEST_F(Dispatch, RateStepByLink) {
    // UDP and WinUSB links have no rate change: 1 at once, linkState untouched.
    UdpPair udp;
    ASSERT_TRUE(udp.ok());
    link->udpSocket = udp.near;
    link->linkState = 0x305;
    link->stateTime = 99;
    EXPECT_EQ(transport::deviceRateStep(*link, 115200, &stop), 1);
    EXPECT_EQ(link->linkState, 0x305);
    EXPECT_EQ(link->stateTime, 99u);
    link->udpSocket = platform::kNoSocket;
    EXPECT_EQ(transport::deviceRateStep(*link, 115200, &stop), 1);
    EXPECT_EQ(link->linkState, 0x305);

    // FTDI: the link's kind, state and time drive the step machine.
    sim::SimD2xxDevice* dev;
    link->ftdiHandle = openDevice(dev);
    link->linkKind = transport::LinkKind::FtdiDirect;
    link->linkState = 0x100;
    EXPECT_EQ(transport::deviceRateStep(*link, 460800, &stop), 0);
    EXPECT_EQ(link->linkState, 0x101);
    EXPECT_EQ(dev->lineRate, 460800u);

    // TCP: the line command goes to the command socket chosen by the channel.
    d2xxClose(*link);
    TcpPair data, command;
    ASSERT_TRUE(data.ok() && command.ok());
    link->tcpSocket = data.near;
    link->commandSocket = std::make_shared<transport::auto_close_socket>(command.near);
    command.near = platform::kNoSocket; // now owned by the shared object
    link->channelIndex = 0;
    link->linkState = 0x100;
    EXPECT_EQ(transport::deviceRateStep(*link, 115200, &stop), 0);
    EXPECT_EQ(link->linkState, 0x101);
    EXPECT_THAT(readExactly(command.far, 9), ElementsAre(0x1B, 0x10, 0, 0, 0, 0x30, 0, 0, 0));
}

TEST_F(Dispatch, WinUsbFramedWrite) {
    sim::SimWinUsbDevice* dev;
    link->winUsbHandle = openWinUsb(dev, link->winUsbFile);
    ASSERT_NE(link->winUsbHandle, nullptr);
    struct Case {
        uint32_t length;
        uint16_t word;
        uint32_t copied;
    };
    for (const Case c : {Case{600, 0x80FE, 508}, Case{4, 0x8002, 4}, Case{5, 0x8002, 5},
                         Case{508, 0x80FE, 508}, Case{0, 0x8000, 0}}) {
        SCOPED_TRACE(c.length);
        std::vector<uint8_t> data(c.length);
        for (uint32_t i = 0; i < c.length; ++i) data[i] = static_cast<uint8_t>(i + 1);
        dev->written.clear();
        EXPECT_EQ(transport::winUsbFramedWrite(*link, data.data(), c.length, &stop), 512u);
        ASSERT_EQ(dev->written.size(), 1u);
        const auto& f = dev->written[0];
        ASSERT_EQ(f.size(), 512u);
        EXPECT_EQ(f[0], 0x65);
        EXPECT_EQ(f[1], 0xAF);
        EXPECT_EQ(f[2] | f[3] << 8, c.word);
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + c.copied, f.begin() + 4));
        EXPECT_THAT(std::vector<uint8_t>(f.begin() + 4 + c.copied, f.end()), Each(0));
    }
    transport::closeLink(*link);
}

// --- Closing the link -------------------------------------------------------------------------

TEST_F(Dispatch, CloseLinkClosesOnlyTheFirstLinkAndSleepsOnlyForSockets) {
    sim::SimD2xxDevice* dev;
    TcpPair tcp;
    ASSERT_TRUE(tcp.ok());
    link->ftdiHandle = openDevice(dev);
    link->tcpSocket = tcp.near;
    uint32_t start = platform::tickMs();
    transport::closeLink(*link);
    EXPECT_LT(platform::tickMs() - start, 100u);
    EXPECT_EQ(link->ftdiHandle, transport::kNoFtdiHandle);
    EXPECT_FALSE(dev->open);
    EXPECT_EQ(dev->history.back().role, D2xxRole::Close);
    // The TCP socket is still open: it carries data.
    const uint8_t b = 3;
    ASSERT_TRUE(platform::sendAll(tcp.near, &b, 1));
    EXPECT_EQ(readExactly(tcp.far, 1).size(), 1u);

    start = platform::tickMs();
    transport::closeLink(*link);
    EXPECT_GE(platform::tickMs() - start, 90u); // ticks may come in 15.6 ms steps
    EXPECT_EQ(link->tcpSocket, platform::kNoSocket);
    tcp.near = platform::kNoSocket; // closed by the link
    uint8_t in[4];
    EXPECT_EQ(platform::receiveTimed(tcp.far, in, sizeof in, 5000), 0); // orderly close seen

    // Nothing left: nothing closed, no sleep.
    start = platform::tickMs();
    transport::closeLink(*link);
    EXPECT_LT(platform::tickMs() - start, 100u);
}

TEST_F(Dispatch, CloseLinkFreesWinUsbThroughTheBinding) {
    sim::SimWinUsbDevice* dev;
    link->winUsbHandle = openWinUsb(dev, link->winUsbFile);
    ASSERT_NE(link->winUsbHandle, nullptr);
    const uint32_t start = platform::tickMs();
    transport::closeLink(*link);
    EXPECT_LT(platform::tickMs() - start, 100u);
    EXPECT_EQ(link->winUsbHandle, nullptr);
    EXPECT_EQ(link->winUsbFile, transport::kInvalidFile);
    EXPECT_EQ(dev->freeCalls, 1u);
    EXPECT_EQ(dev->fileCloses, 1u);
}

TEST_F(Dispatch, SharedCommandSocketClosesWithItsLastHolder) {
    TcpPair tcp;
    ASSERT_TRUE(tcp.ok());
    auto shared = std::make_shared<transport::auto_close_socket>(tcp.near);
    tcp.near = platform::kNoSocket;
    DeviceLink channel1;
    link->commandSocket = shared;
    channel1.commandSocket = shared;
    shared.reset();
    link.reset();
    const uint8_t b = 1;
    EXPECT_TRUE(platform::sendAll(channel1.commandSocketHandle(), &b, 1)); // still open
    channel1.commandSocket.reset();
    uint8_t in[4];
    EXPECT_EQ(platform::receiveTimed(tcp.far, in, sizeof in, 5000), 1);
    EXPECT_EQ(platform::receiveTimed(tcp.far, in, sizeof in, 5000), 0); // closed
    link = std::make_unique<DeviceLink>();
}

} // namespace
} // namespace zs::test
