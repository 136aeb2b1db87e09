#include "loopback.h"
#include "platform/clock.h"
#include "transport/socket_transport.h"

#include <atomic>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <thread>

namespace zs::test {
namespace {

using platform::Event;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using transport::socketReceive;
using transport::socketSend;

class SocketTransport : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(platform::socketsStartup());
        pair = std::make_unique<TcpPair>();
        ASSERT_TRUE(pair->ok());
    }
    void TearDown() override {
        pair.reset();
        platform::socketsCleanup();
    }
    // Declared before the pair: a transfer left posted must not outlive its block and buffer,
    // so the sockets close (TearDown) before these go.
    platform::Overlapped io;
    uint8_t buffer[64] = {};
    std::unique_ptr<TcpPair> pair;
    Event stop{Event::Reset::Manual};
    int32_t pending = 0;
};

TEST_F(SocketTransport, SendAndReceiveBothWays) {
    const uint8_t out[] = {1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(socketSend(pair->near, out, sizeof out, &stop, io), sizeof out);
    EXPECT_THAT(readExactly(pair->far, sizeof out), ElementsAreArray(out));

    const uint8_t back[] = {0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_TRUE(platform::sendAll(pair->far, back, sizeof back));
    uint8_t in[64] = {};
    EXPECT_EQ(socketReceive(pair->near, in, sizeof in, &pending, &stop, io, 5000), sizeof back);
    EXPECT_EQ(pending, 0);
    EXPECT_THAT(std::vector<uint8_t>(in, in + 4), ElementsAreArray(back));
}

// Identification sends its next command while its last read is still out on the record's
// block: the send goes on a block of its own and the read, collected later, still gets the
// reply.
TEST_F(SocketTransport, NoTransferIsPostedOnABlockWithOneInFlight) {
    uint8_t posted[64] = {};
    EXPECT_EQ(socketReceive(pair->near, posted, sizeof posted, &pending, &stop, io, 20), 0u);
    ASSERT_EQ(pending, 1);

    const uint8_t command[] = {0x1B, 1, 2, 3};
    EXPECT_EQ(socketSend(pair->near, command, sizeof command, &stop, io), sizeof command);
    EXPECT_THAT(readExactly(pair->far, sizeof command), ElementsAreArray(command));
    EXPECT_EQ(io.posted, platform::PostedIo::Receive);

    const uint8_t reply[] = {9, 8, 7};
    ASSERT_TRUE(platform::sendAll(pair->far, reply, sizeof reply));
    EXPECT_EQ(socketReceive(pair->near, posted, sizeof posted, &pending, &stop, io, 5000), 3u);
    EXPECT_THAT(std::vector<uint8_t>(posted, posted + 3), ElementsAreArray(reply));
}

TEST_F(SocketTransport, TimedOutReceiveStaysPendingAndTheNextCallCollectsIt) {
    uint8_t posted[64] = {};
    const uint32_t start = platform::tickMs();
    EXPECT_EQ(socketReceive(pair->near, posted, sizeof posted, &pending, &stop, io, 50), 0u);
    EXPECT_GE(platform::tickMs() - start, 45u);
    EXPECT_EQ(pending, 1);

    // Still nothing: the same receive stays pending.
    EXPECT_EQ(socketReceive(pair->near, posted, sizeof posted, &pending, &stop, io, 20), 0u);
    EXPECT_EQ(pending, 1);

    const uint8_t data[] = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_TRUE(platform::sendAll(pair->far, data, sizeof data));
    // A second buffer shows that no other receive was posted: the bytes land in the first.
    uint8_t other[64] = {};
    EXPECT_EQ(socketReceive(pair->near, other, sizeof other, &pending, &stop, io, 5000), 5u);
    EXPECT_EQ(pending, 0);
    EXPECT_THAT(std::vector<uint8_t>(posted, posted + 5), ElementsAreArray(data));
    EXPECT_THAT(std::vector<uint8_t>(other, other + 5), ElementsAre(0, 0, 0, 0, 0));

    // With the flag clear the next call posts afresh, into the buffer it is given.
    const uint8_t more[] = {42};
    ASSERT_TRUE(platform::sendAll(pair->far, more, 1));
    EXPECT_EQ(socketReceive(pair->near, other, sizeof other, &pending, &stop, io, 5000), 1u);
    EXPECT_EQ(other[0], 42);
}

TEST_F(SocketTransport, StopEndsABlockedReceiveWhichStaysPosted) {
    // Already stopped: the pending receive returns at once.
    stop.set();
    const uint32_t start = platform::tickMs();
    EXPECT_EQ(socketReceive(pair->near, buffer, sizeof buffer, &pending, &stop, io,
                            platform::kWaitInfinite),
              0u);
    EXPECT_LT(platform::tickMs() - start, 1000u);
    EXPECT_EQ(pending, 1); // still posted: the next call waits for it instead of posting again

    // Stopped from another thread while the same receive is waited for without limit.
    stop.reset();
    std::thread stopper([&] {
        platform::sleepMs(50);
        stop.set();
    });
    EXPECT_EQ(socketReceive(pair->near, buffer, sizeof buffer, &pending, &stop, io,
                            platform::kWaitInfinite),
              0u);
    stopper.join();
    EXPECT_EQ(pending, 1);

    // When data comes, it is that receive's.
    stop.reset();
    const uint8_t b = 0x77;
    ASSERT_TRUE(platform::sendAll(pair->far, &b, 1));
    EXPECT_EQ(socketReceive(pair->near, buffer, sizeof buffer, &pending, &stop, io, 5000), 1u);
    EXPECT_EQ(buffer[0], 0x77);
    EXPECT_EQ(pending, 0);
}

#ifndef _WIN32
// Windows forbids reusing a block while its receive is posted; the emulation must not report
// the other transfer's count as received bytes.
TEST_F(SocketTransport, PendingReceiveDisplacedByASendIsPostedAfresh) {
    EXPECT_EQ(socketReceive(pair->near, buffer, sizeof buffer, &pending, &stop, io, 10), 0u);
    ASSERT_EQ(pending, 1);
    const uint8_t out[] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(socketSend(pair->near, out, sizeof out, &stop, io), 6u);
    const uint8_t back[] = {9, 8};
    ASSERT_TRUE(platform::sendAll(pair->far, back, 2));
    EXPECT_EQ(socketReceive(pair->near, buffer, sizeof buffer, &pending, &stop, io, 5000), 2u);
    EXPECT_EQ(buffer[0], 9);
    EXPECT_EQ(pending, 0);
}
#endif

TEST_F(SocketTransport, StopEndsABlockedSend) {
    // The far side never reads: a large send cannot finish.
    platform::setSendBufferSize(pair->near, 4096);
    platform::setReceiveBufferSize(pair->far, 4096);
    std::vector<uint8_t> big(32 << 20, 0x5A);
    std::thread stopper([&] {
        platform::sleepMs(50);
        stop.set();
    });
    const uint32_t start = platform::tickMs();
    EXPECT_EQ(socketSend(pair->near, big.data(), static_cast<uint32_t>(big.size()), &stop, io), 0u);
    EXPECT_LT(platform::tickMs() - start, 10000u);
    stopper.join();
}

TEST_F(SocketTransport, ClosedPeerOrNoSocketGivesZero) {
    uint8_t in[16];
    EXPECT_EQ(socketReceive(platform::kNoSocket, in, sizeof in, &pending, &stop, io, 10), 0u);
    EXPECT_EQ(socketSend(platform::kNoSocket, in, sizeof in, &stop, io), 0u);
    platform::closeSocket(pair->far);
    pair->far = platform::kNoSocket;
    EXPECT_EQ(socketReceive(pair->near, in, sizeof in, &pending, &stop, io, 5000), 0u);
    EXPECT_EQ(pending, 0);
}

// The caller's lock is free while the transfer waits and held again on every way out.
TEST_F(SocketTransport, LockIsReleasedForTheTransferAndRetakenOnEveryPath) {
    std::mutex lock;
    auto heldByCaller = [&] {
        bool held = false;
        std::thread probe([&] {
            held = !lock.try_lock();
            if (!held) lock.unlock();
        });
        probe.join();
        return held;
    };

    // Completion after a wait: the far side answers only once it could take the lock.
    lock.lock();
    std::thread far([&] {
        std::lock_guard taken(lock);
        const uint8_t b = 7;
        platform::sendAll(pair->far, &b, 1);
    });
    EXPECT_EQ(socketReceive(pair->near, buffer, sizeof buffer, &pending, &stop, io, 5000, &lock),
              1u);
    far.join();
    EXPECT_TRUE(heldByCaller());

    // Time-out, collection of a pending receive, stop, immediate completion, failure.
    EXPECT_EQ(socketReceive(pair->near, buffer, sizeof buffer, &pending, &stop, io, 20, &lock), 0u);
    EXPECT_TRUE(heldByCaller());
    stop.set();
    EXPECT_EQ(socketReceive(pair->near, buffer, sizeof buffer, &pending, &stop, io, 20, &lock), 0u);
    EXPECT_TRUE(heldByCaller());
    stop.reset();
    const uint8_t b = 1;
    EXPECT_EQ(socketSend(pair->near, &b, 1, &stop, io, &lock), 1u);
    EXPECT_TRUE(heldByCaller());
    EXPECT_EQ(socketSend(platform::kNoSocket, &b, 1, &stop, io, &lock), 0u);
    EXPECT_TRUE(heldByCaller());
    lock.unlock();
}

TEST_F(SocketTransport, LineCommandBytes) {
    struct Case {
        int32_t channel;
        uint32_t code, value;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {1,
         transport::resetLineCode(1),
         transport::kResetLineAssert,
         {0x1B, 0x01, 0, 0, 0, 0x41, 0, 0, 0}},
        {0,
         transport::resetLineCode(0),
         transport::kResetLineRelease,
         {0x1B, 0x40, 0, 0, 0, 0, 0, 0, 0}},
        {0,
         transport::rateWindowCode(0),
         transport::kRateWindowOpen,
         {0x1B, 0x10, 0, 0, 0, 0x30, 0, 0, 0}},
        {1,
         transport::rateWindowCode(1),
         transport::kRateWindowOpen,
         {0x1B, 0x20, 0, 0, 0, 0x30, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(transport::lineCommand(pair->near, c.code, c.value, &stop, io));
        EXPECT_EQ(readExactly(pair->far, 9), c.bytes) << c.channel << " " << c.code;
    }
    EXPECT_FALSE(transport::lineCommand(platform::kNoSocket, 1, 0x41, &stop, io));
}

TEST_F(SocketTransport, TcpRateChangeTakesFourTurnsAndThreeHundredMs) {
    TcpPair command;
    ASSERT_TRUE(command.ok());
    int32_t linkState = 0x200;
    uint32_t stateTime = 0;
    const uint32_t start = platform::tickMs();
    int turns = 1;
    auto step = [&] {
        return transport::tcpRateStep(pair->near, command.near, 1, 2304000, linkState, stateTime,
                                      &stop, io);
    };
    EXPECT_EQ(step(), 0);
    EXPECT_EQ(linkState, 0x201);
    EXPECT_EQ(step(), 0); // too early: nothing happens
    EXPECT_EQ(linkState, 0x201);
    while (step() == 0) {
        ASSERT_LT(turns, 4);
        ++turns;
        while (platform::tickMs() - stateTime < 100) platform::sleepMs(1);
    }
    const uint32_t elapsed = platform::tickMs() - start;
    EXPECT_EQ(turns, 4);
    EXPECT_EQ(linkState, 0x204);
    EXPECT_GE(elapsed, 300u);
    EXPECT_LT(elapsed, 10000u);
    EXPECT_EQ(step(), 0);
    EXPECT_EQ(linkState, 0x204);

    EXPECT_THAT(readExactly(command.far, 18),
                ElementsAre(0x1B, 0x20, 0, 0, 0, 0x30, 0, 0, 0, 0x1B, 0x20, 0, 0, 0, 0, 0, 0, 0));
    EXPECT_THAT(readExactly(pair->far, 6), ElementsAre(0x00, 0x04, 0x00, 0x12, 0x20, 0x02));
}

// Loopback pairs bind to ports the system chooses; two sockets sharing one would take each
// other's datagrams. Hundreds of sockets make a shared port near certain if it can happen.
TEST(SocketBinding, PortsChosenBySystemAreNeverShared) {
    ASSERT_TRUE(platform::socketsStartup());
    struct Case {
        const char* name;
        platform::SocketHandle (*open)();
    };
    for (const Case c :
         {Case{"udp", platform::openUdpSocket}, Case{"tcp", platform::openTcpSocket}}) {
        SCOPED_TRACE(c.name);
        std::vector<platform::SocketHandle> sockets;
        std::set<uint16_t> ports;
        for (int i = 0; i < 600; ++i) {
            const platform::SocketHandle s = c.open();
            if (s == platform::kNoSocket) break;
            sockets.push_back(s);
            platform::SocketAddress at{platform::kLoopbackAddress, 0};
            if (!platform::bindSocket(s, at) || !platform::localAddress(s, at)) break;
            ports.insert(at.port);
        }
        for (const platform::SocketHandle s : sockets) platform::closeSocket(s);
        EXPECT_EQ(sockets.size(), 600u);
        EXPECT_EQ(ports.size(), sockets.size());
    }
    platform::socketsCleanup();
}

TEST(UdpTransport, DatagramsBothWaysAndATimedOutReceiveCollectedLater) {
    ASSERT_TRUE(platform::socketsStartup());
    {
        platform::Overlapped io; // outlives the sockets
        UdpPair udp;
        ASSERT_TRUE(udp.ok());
        Event stop{Event::Reset::Manual};
        int32_t pending = 0;
        const uint8_t cmd[] = {0x10, 0x20, 0x30};
        EXPECT_EQ(socketSend(udp.near, cmd, 3, &stop, io), 3u);
        uint8_t got[16] = {};
        EXPECT_EQ(platform::receiveTimed(udp.far, got, sizeof got, 5000), 3);
        EXPECT_THAT(std::vector<uint8_t>(got, got + 3), ElementsAreArray(cmd));

        uint8_t in[2048] = {};
        EXPECT_EQ(socketReceive(udp.near, in, sizeof in, &pending, &stop, io, 30), 0u);
        EXPECT_EQ(pending, 1);
        std::vector<uint8_t> datagram(1400);
        for (size_t i = 0; i < datagram.size(); ++i) datagram[i] = static_cast<uint8_t>(i);
        ASSERT_TRUE(platform::sendAll(udp.far, datagram.data(), datagram.size()));
        EXPECT_EQ(socketReceive(udp.near, in, sizeof in, &pending, &stop, io, 5000), 1400u);
        EXPECT_EQ(pending, 0);
        EXPECT_TRUE(std::equal(datagram.begin(), datagram.end(), in));
    }
    platform::socketsCleanup();
}

} // namespace
} // namespace zs::test
