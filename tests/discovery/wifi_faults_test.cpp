// Wi-Fi instruments that misbehave, over real loopback sockets: a peer that stops reading,
// and a stream whose first record reshapes the tables while the host reads their names.
#include "discovery/network_attach.h"
#include "discovery/usb_lists.h"
#include "frame/library.h"
#include "network_instruments.h"
#include "platform/clock.h"
#include "platform/sockets.h"
#include "support/library_fixture.h"
#include "support/loopback_address.h"
#include "zentrel_signal.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zs::test {
namespace {

using discovery::attachWiFiDevice;

// Sends on the host's side of a connection whose peer reads nothing until a send finds no room
// for a while, so the next send of the library finds the connection backed up. False when the
// socket failed instead.
bool backUp(platform::SocketHandle socket) {
    platform::setSendBufferSize(socket, 4096);
    std::vector<uint8_t> chunk(16384, 0);
    platform::Overlapped io;
    io.ensureEvent();
    for (int i = 0; i < 100000; ++i) {
        uint32_t count = 0;
        switch (platform::postSend(socket, chunk.data(), static_cast<uint32_t>(chunk.size()), io,
                                   count)) {
        case platform::IoStart::Done:
            continue;
        case platform::IoStart::Failed:
            return false;
        case platform::IoStart::Pending:
            // Room that comes back soon was only the host's own buffer draining.
            if (platform::waitPosted(io, nullptr, 300) == platform::IoWait::Completed) continue;
            platform::cancelPosted(socket, io);
            return true;
        }
    }
    return false;
}

// Runs `call` on a thread of its own and waits, at most `limitMs`, for it to return. When it
// does not, `release` unblocks it so the thread can still be joined.
template <class Call, class Release>
bool returnsWithin(uint32_t limitMs, Call&& call, Release&& release) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread t([&] {
        call();
        std::lock_guard lock(m);
        done = true;
        cv.notify_all();
    });
    bool returned;
    {
        std::unique_lock lock(m);
        returned = cv.wait_for(lock, std::chrono::milliseconds(limitMs), [&] { return done; });
    }
    if (!returned) release();
    t.join();
    return returned;
}

class WiFiFaults : public LibraryTest {
  protected:
    // A one-channel tagged instrument on an address of its own, attached and streaming.
    std::unique_ptr<sim::SimWiFiInstrument> attached(double recordsPerSecond) {
        sim::WiFiOptions o;
        o.address = freshLoopbackAddress();
        o.channelCode = 0;
        o.identity[0] = {28, 40, 0x00031001};
        o.recordsPerSecond = recordsPerSecond;
        auto instrument = std::make_unique<sim::SimWiFiInstrument>(o);
        if (!instrument->listening()) return nullptr;
        const std::u16string address = wide(dotted(o.address));
        if (attachWiFiDevice(address.c_str(), address.c_str(), nullptr) != 1 ||
            frame::lib().devices.size() != 1)
            return nullptr;
        return instrument;
    }
};

// The instrument stops reading both its ports while a command is on its way: the I/O thread's
// send ends at the stop of K427_FreeFList, and the stream-off command FreeFList sends itself
// gives up after the link's time-out instead of waiting for ever.
TEST_F(WiFiFaults, PeerThatStopsReadingDoesNotHangTheListRelease) {
    const auto instrument = attached(10);
    ASSERT_TRUE(instrument);
    const auto d = frame::lib().devices.front();

    instrument->setReading(false);
    ASSERT_TRUE(backUp(d->tcpSocket));
    ASSERT_TRUE(backUp(d->commandSocketHandle()));
    K427_SendRangeCmd(0, 3); // its I/O thread now waits to send it

    EXPECT_TRUE(returnsWithin(
        20000, [] { K427_FreeFList(); }, [&] { instrument->setReading(true); }));
    EXPECT_TRUE(frame::lib().devices.empty());
}

// Reconnecting restarts the stream, whose first record selects the layout again while the
// host reads the names of averagings and bands (run under ThreadSanitizer).
TEST_F(WiFiFaults, NamesReadWhileTheFirstRecordReshapesTheTables) {
    const auto instrument = attached(50);
    ASSERT_TRUE(instrument);
    const auto d = frame::lib().devices.front();
    // The reader runs only between reconnects: the host may not read while one is running.
    std::mutex m;
    std::condition_variable cv;
    bool reading = false, busy = false, stop = false;
    int named = 0, rounds = 0;
    std::thread reader([&] {
        ZS_WCHAR buffer[64];
        std::unique_lock lock(m);
        for (;;) {
            cv.wait(lock, [&] { return reading || stop; });
            if (stop) return;
            busy = true;
            lock.unlock();
            for (int32_t group = 0; group < 3; ++group) {
                named += K427_GetAverName(0, group, 0, buffer, 64) > 0;
                for (int32_t band = 0; band < 4; ++band)
                    named += K427_GetBandName(0, group, 0, band, buffer, 64) > 0;
            }
            lock.lock();
            busy = false;
            ++rounds;
            cv.notify_all();
        }
    });
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(K427_ReconnectDevice(0), 1);
        const uint32_t restarted = platform::tickMs();
        std::unique_lock lock(m);
        reading = true;
        cv.notify_all();
        // Until the restarted stream's first record has been delivered and read around.
        const int before = rounds;
        const bool delivered = cv.wait_for(lock, std::chrono::seconds(10), [&] {
            return static_cast<int32_t>(d->lastPacketTick.load() - restarted) >= 0 &&
                   rounds > before + 1;
        });
        reading = false;
        cv.wait(lock, [&] { return !busy; });
        EXPECT_TRUE(delivered);
    }
    {
        std::lock_guard lock(m);
        stop = true;
        cv.notify_all();
    }
    reader.join();
    EXPECT_GT(named, 0);
    K427_FreeFList();
}

} // namespace
} // namespace zs::test
