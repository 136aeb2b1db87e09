#include "engine/signal_path.h"
#include "engine/signal_threads.h"
#include "frame/library.h"
#include "platform/clock.h"
#include "sim_ftdi_instrument.h"
#include "sim_winusb_instrument.h"
#include "support/tone_fit.h"
#include "transport/sim_fixtures.h"

#include <atomic>
#include <cmath>
#include <gtest/gtest.h>
#include <numbers>
#include <thread>
#include <vector>

namespace zs::test {
namespace {

using engine::DevicePtr;

// Polls `done` every millisecond for up to `limitMs`.
template <class Done>
bool waitFor(Done&& done, uint32_t limitMs = 5000) {
    const uint32_t start = platform::tickMs();
    while (!done()) {
        if (platform::tickMs() - start > limitMs) return false;
        platform::sleepMs(1);
    }
    return true;
}

// The `count` samples before the write pointer, oldest first.
std::vector<double> latest(const frame::DevStruct& d, size_t count) {
    const double* w = d.signalWritePtr.load();
    std::vector<double> out(count);
    for (size_t i = 0; i < count; ++i) {
        ptrdiff_t at = (w - d.signalBuffer) - ptrdiff_t(count) + ptrdiff_t(i);
        if (at < 0) at += d.signalBufferLength;
        out[i] = d.signalBuffer[at];
    }
    return out;
}

// The library loaded (reference description) and both simulated drivers installed.
class SignalThreads : public SimWinUsbTest {
  protected:
    void SetUp() override {
        SimWinUsbTest::SetUp();
        frame::libraryLoad();
        ASSERT_FALSE(frame::lib().description.signalLayouts.empty());
    }
    void TearDown() override {
        stop();
        record_.reset(); // its link goes while the simulated driver is still installed
        frame::libraryUnload();
        SimWinUsbTest::TearDown();
    }

    static DevicePtr newRecord(transport::LinkKind linkKind) {
        auto d = std::make_shared<frame::DevStruct>();
        d->linkKind = linkKind;
        d->stopEvent = std::make_unique<platform::Event>(platform::Event::Reset::Manual);
        d->bandLock = std::make_unique<std::mutex>();
        d->ringLock = std::make_unique<std::mutex>();
        d->dataLock = std::make_unique<std::mutex>();
        return d;
    }

    // A record with an interface of a new simulated WinUSB device.
    DevicePtr winUsbRecord(sim::SimWinUsbDevice*& dev) {
        DevicePtr d = newRecord(transport::LinkKind::NoneOrWinUsb);
        void* file = nullptr;
        d->winUsbHandle = openWinUsb(dev, file);
        d->winUsbFile = file;
        return d;
    }

    void run(void (*procedure)(DevicePtr), DevicePtr record) {
        record_ = record;
        thread_ = std::thread(procedure, record);
    }
    void stop() {
        if (!thread_.joinable()) return;
        record_->stopEvent->set();
        thread_.join();
    }
    uint64_t written(const frame::DevStruct& d) {
        std::lock_guard lock(const_cast<frame::DevStruct&>(d).signalBufferLock);
        return d.signalWritePtr.load() ? uint64_t(d.signalWritePtr.load() - d.signalBuffer) : 0;
    }

    DevicePtr record_;
    std::thread thread_;
};

// Type 118 at full speed: one channel of 16-bit samples at 96 kHz.
sim::SignalModel model118() {
    sim::SignalModel m;
    m.deviceType = 118;
    m.program = 60;
    m.samplingRate = 96000.0;
    m.channels = 1;
    m.format = 0;
    m.tones = {{1000.0, 8000.0, 0.3}, {3000.0, 2000.0, 1.0}};
    m.noise = 1.0;
    // A loaded machine may run the simulator late: it must not drop frames the fit expects.
    m.maxBacklogMs = 5000;
    return m;
}

TEST(OutputBlocks, StatusLevelDecidesTheBurst) {
    const struct {
        uint32_t level, blocks;
    } cases[] = {{2040, 4}, {1530, 1}, {1529, 0}, {1700, 2}, {170 * 30, 4}, {0, 0}};
    for (const auto& c : cases) EXPECT_EQ(engine::outputBurst(c.level), c.blocks) << c.level;
}

std::atomic<int> gCalls{0};
std::atomic<int> gLastUser{0};
void countingFill(uint8_t* data, int32_t count, int32_t user) {
    ++gCalls;
    gLastUser = user;
    for (int32_t i = 0; i < 3 * count; ++i) data[i] = static_cast<uint8_t>(user + i);
}

TEST(OutputBlocks, RingNumbersBlocksAndCallsTheHostOncePerBlock) {
    frame::DevStruct d;
    engine::OutputRing ring;
    EXPECT_FALSE(ring.fill(d)); // no callback
    EXPECT_EQ(ring.nextSequence(), 0);
    gCalls = 0;
    engine::setSignalSendCallback(d, countingFill, 40);
    for (uint16_t seq = 0; seq < 7; ++seq) {
        ASSERT_TRUE(ring.fill(d));
        ASSERT_TRUE(ring.fill(d)); // still waiting to go: not filled again
        const uint8_t* b = ring.current();
        EXPECT_EQ(b[0] | b[1] << 8, seq);
        EXPECT_EQ(b[2], 40);
        EXPECT_EQ(b[511], static_cast<uint8_t>(40 + 509));
        EXPECT_EQ(ring.index(), seq % 5u);
        ring.advance();
    }
    EXPECT_EQ(gCalls, 7);
}

std::atomic<bool> gInCallback{false};
void slowFill(uint8_t*, int32_t, int32_t) {
    gInCallback = true;
    ++gCalls;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    gInCallback = false;
}

TEST(OutputBlocks, ClearedCallbackIsNeverCalledAfterwards) {
    frame::DevStruct d;
    engine::setSignalSendCallback(d, slowFill, 1);
    gCalls = 0;
    std::atomic<bool> stop{false};
    std::thread io([&] {
        engine::OutputRing ring;
        while (!stop) {
            ring.fill(d);
            ring.advance();
        }
    });
    ASSERT_TRUE(waitFor([] { return gInCallback.load(); }));
    engine::setSignalSendCallback(d, nullptr, 0);
    EXPECT_FALSE(gInCallback.load());
    const int calls = gCalls;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(gCalls, calls);
    stop = true;
    io.join();
}

TEST_F(SignalThreads, FtdiThreadFillsTheBufferWithTheInstrumentsSignal) {
    sim::SimD2xxDevice* dev = nullptr;
    DevicePtr d = newRecord(transport::LinkKind::FtdiDirect);
    d->ftdiHandle = openDevice(dev);
    sim::FtdiInstrument model;
    model.rate = 9600;
    model.currentRate = 9600;
    model.signalFast = model118();
    auto instrument = sim::FtdiInstrument::attach(*dev, model);
    std::vector<double> ring(131072);
    engine::bindSignalBuffer(*d, ring.data(), static_cast<int32_t>(ring.size()));
    d->highSpeed = 1;
    d->online = 0;
    engine::sendSignalMode(d, 1);
    ASSERT_EQ(instrument->signalStarts, 1u);
    run(engine::ftdiSignalThread, d);

    ASSERT_TRUE(waitFor([&] { return written(*d) >= 30000; }));
    EXPECT_EQ(d->online.load(), 1);
    stop(); // the thread rewrites the state with every block's trailer
    EXPECT_EQ(d->state.deviceType, 118);
    EXPECT_EQ(d->state.programNumber, 60);
    EXPECT_EQ(d->state.streamConfig, 0x01u);
    EXPECT_EQ(d->state.samplingRate, 96000.0);
    // 9600 samples hold whole periods of both tones; the filter has long settled.
    const std::vector<double> x = latest(*d, 9600);
    const Component a = component(x, 1000.0, 96000.0), b = component(x, 3000.0, 96000.0);
    EXPECT_NEAR(a.amplitude, 8000.0, 8000.0 * 0.002);
    EXPECT_NEAR(b.amplitude, 2000.0, 2000.0 * 0.002);
    // What is left besides the two tones is the instrument's noise and rounding.
    double residual = 0;
    for (size_t n = 0; n < x.size(); ++n) {
        const double t = n / 96000.0;
        const double fit = a.amplitude * std::sin(2 * std::numbers::pi * 1000 * t + a.phase) +
                           b.amplitude * std::sin(2 * std::numbers::pi * 3000 * t + b.phase);
        residual += (x[n] - fit) * (x[n] - fit);
    }
    EXPECT_LT(std::sqrt(residual / x.size()), 3.0);
}

TEST_F(SignalThreads, FtdiThreadWithoutBufferWritesNothingAndGoesOfflineWhenSilent) {
    sim::SimD2xxDevice* dev = nullptr;
    DevicePtr d = newRecord(transport::LinkKind::FtdiDirect);
    d->ftdiHandle = openDevice(dev);
    sim::FtdiInstrument model;
    model.rate = model.currentRate = 9600;
    model.signalFast = model118();
    auto instrument = sim::FtdiInstrument::attach(*dev, model);
    engine::sendSignalMode(d, 1);
    d->highSpeed = 1;
    run(engine::ftdiSignalThread, d);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(*d->dataLock); // the thread rewrites the state under it
        return d->state.deviceType == 118 && d->online == 1;
    }));
    EXPECT_EQ(d->signalWritePtr.load(), nullptr);

    // Record mode again: the blocks stop and the device is offline 1.5 s later.
    engine::sendStreamMode(d, 1);
    EXPECT_TRUE(waitFor([&] { return d->online == 0; }, 4000));
}

TEST_F(SignalThreads, WinUsbOutputBurstsFollowTheStatusLevels) {
    sim::SimWinUsbDevice* dev = nullptr;
    DevicePtr d = winUsbRecord(dev);
    ASSERT_NE(d->winUsbHandle, nullptr);
    engine::setSignalSendCallback(*d, countingFill, 9);
    run(engine::winUsbSignalThread, d);
    auto& usb = sim::SimWinUsb::instance();
    const auto outputs = [&] { return usb.locked([&] { return dev->output.size(); }); };
    // Every stream transfer is one turn of the thread.
    const auto turn = [&] {
        usb.queueInput(*dev, std::vector<uint8_t>(512, 0));
        waitFor([&] { return usb.locked([&] { return dev->input.empty(); }); });
    };
    const auto turns = [&](int n) {
        for (int i = 0; i < n; ++i) turn();
    };
    turn();                                    // the first status read is posted
    usb.queueStatus(*dev, {0xF8, 0x07, 0, 0}); // 2040
    turns(12);
    EXPECT_EQ(outputs(), 4u);
    usb.queueStatus(*dev, {0xFA, 0x05, 0, 0}); // 1530
    turns(8);
    EXPECT_EQ(outputs(), 5u);
    usb.queueStatus(*dev, {0xF9, 0x05, 0, 0}); // 1529
    turns(8);
    EXPECT_EQ(outputs(), 5u);
    usb.queueStatus(*dev, {0xF8, 0x07, 0}); // short
    turns(8);
    EXPECT_EQ(outputs(), 5u);
    stop();
    usb.locked([&] {
        for (size_t i = 0; i < dev->output.size(); ++i) {
            const auto& b = dev->output[i];
            EXPECT_EQ(b.size(), 512u);
            EXPECT_EQ(b[0] | b[1] << 8, static_cast<int>(i));
            EXPECT_EQ(b[2], 9);
        }
        return 0;
    });
}

// Whether the driver completes a transfer inside the call (still setting its event) or later,
// every status is evaluated, every output block is accounted for once, no transfer is posted
// on a pipe whose last one is still out, and the stop collects the status and output.
TEST_F(SignalThreads, WinUsbTransfersCompletingAtOnceOrLaterAreEachCountedOnce) {
    auto& usb = sim::SimWinUsb::instance();
    for (bool atOnce : {false, true}) {
        SCOPED_TRACE(atOnce);
        sim::SimWinUsbDevice* dev = nullptr;
        DevicePtr d = winUsbRecord(dev);
        ASSERT_NE(d->winUsbHandle, nullptr);
        dev->readsCompleteAtOnce = atOnce;
        engine::setSignalSendCallback(*d, countingFill, 9);
        const auto outputs = [&] { return usb.locked([&] { return dev->output.size(); }); };
        // Frames queued together: after the first, the thread finds each one waiting.
        const auto frames = [&](int n) {
            for (int i = 0; i < n; ++i) usb.queueInput(*dev, std::vector<uint8_t>(512, 0));
            ASSERT_TRUE(waitFor([&] { return usb.locked([&] { return dev->input.empty(); }); }));
        };
        usb.queueStatus(*dev, {0xF8, 0x07, 0, 0}); // 2040: four blocks
        run(engine::winUsbSignalThread, d);
        frames(12);
        EXPECT_TRUE(waitFor([&] { return outputs() == 4u; }));
        frames(3);
        usb.queueStatus(*dev, {0xFA, 0x05, 0, 0}); // 1530: one block
        frames(8);
        EXPECT_TRUE(waitFor([&] { return outputs() == 5u; }));
        stop();
        usb.locked([&] {
            EXPECT_EQ(dev->postsOnBusyPipe, 0u);
            return 0;
        });
        EXPECT_FALSE(dev->transferOut(transport::kWinUsbStatusPipe));
        EXPECT_FALSE(dev->transferOut(transport::kWinUsbSignalOutPipe));
        transport::releaseWinUsb(d->winUsbHandle, d->winUsbFile);
        usb.reset();
    }
}

// A block the instrument refuses ends its burst instead of holding the output for ever: the
// next status starts another.
TEST_F(SignalThreads, WinUsbRefusedOutputBlockEndsTheBurst) {
    sim::SimWinUsbDevice* dev = nullptr;
    DevicePtr d = winUsbRecord(dev);
    ASSERT_NE(d->winUsbHandle, nullptr);
    engine::setSignalSendCallback(*d, countingFill, 9);
    auto& usb = sim::SimWinUsb::instance();
    const auto outputs = [&] { return usb.locked([&] { return dev->output.size(); }); };
    const auto turns = [&](int n) {
        for (int i = 0; i < n; ++i) {
            usb.queueInput(*dev, std::vector<uint8_t>(512, 0));
            ASSERT_TRUE(waitFor([&] { return usb.locked([&] { return dev->input.empty(); }); }));
        }
    };
    usb.locked([&] { return dev->failingCalls = sim::winUsbBit(sim::WinUsbCall::Write); });
    run(engine::winUsbSignalThread, d);
    turns(1);
    usb.queueStatus(*dev, {0xF8, 0x07, 0, 0});
    turns(6);
    EXPECT_EQ(outputs(), 0u);
    usb.locked([&] { return dev->failingCalls = 0; });
    turns(2);
    usb.queueStatus(*dev, {0xF8, 0x07, 0, 0});
    turns(12);
    EXPECT_TRUE(waitFor([&] { return outputs() == 4u; }));
}

TEST_F(SignalThreads, WinUsbInstrumentStreamsAndPlaysTheHostSignal) {
    sim::SimWinUsbDevice* dev = nullptr;
    DevicePtr d = winUsbRecord(dev);
    sim::WinUsbInstrument model;
    model.deviceType = 28;
    sim::SignalModel m;
    m.deviceType = 28;
    m.program = 40;
    m.samplingRate = 51200.0;
    m.channels = 4;
    m.format = 0;
    m.tones = {{800.0, 4000.0, 0.0}};
    model.signal = m;
    auto instrument = sim::WinUsbInstrument::attach(*dev, model);
    std::vector<double> ring(65536);
    engine::bindSignalBuffer(*d, ring.data(), static_cast<int32_t>(ring.size()));
    engine::setSignalSendCallback(*d, countingFill, 3);
    d->highSpeed = 1;
    engine::sendSignalMode(d, 1);
    ASSERT_EQ(instrument->signalStarts, 1u);
    run(engine::winUsbSignalThread, d);

    auto& usb = sim::SimWinUsb::instance();
    ASSERT_TRUE(waitFor([&] { return usb.locked([&] { return dev->output.size(); }) >= 12; }));
    ASSERT_TRUE(waitFor([&] { return written(*d) >= 30000; }));
    stop();
    EXPECT_EQ(d->state.deviceType, 28);
    EXPECT_EQ(d->state.streamConfig, 0x04u);
    usb.locked([&] {
        for (size_t i = 0; i < dev->output.size(); ++i)
            EXPECT_EQ(dev->output[i][0] | dev->output[i][1] << 8, static_cast<int>(i));
        return 0;
    });
    // Channel c carries the tone at 1 / (c + 1) of its amplitude.
    const std::vector<double> x = latest(*d, 4 * 6400);
    for (uint32_t c = 0; c < 4; ++c) {
        std::vector<double> channel;
        for (size_t n = c; n < x.size(); n += 4) channel.push_back(x[n]);
        EXPECT_NEAR(component(channel, 800.0, 51200.0).amplitude, 4000.0 / (c + 1), 10.0) << c;
    }
}

} // namespace
} // namespace zs::test
