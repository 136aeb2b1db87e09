#include "platform/clock.h"
#include "sim_fixtures.h"
#include "transport/winusb_binding.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

namespace zs::test {
namespace {

using platform::Event;
using sim::WinUsbCall;
using sim::WinUsbWrite;
using ::testing::ElementsAre;

// Through each WinUSB binding.
class WinUsbTransfer : public SimWinUsbTest, public ::testing::WithParamInterface<WinUsbBinding> {
  protected:
    void SetUp() override {
        SimWinUsbTest::SetUp();
        installWinUsbBinding(GetParam());
        handle = openWinUsb(dev, file);
        ASSERT_NE(handle, nullptr);
    }
    void TearDown() override {
        transport::releaseWinUsb(handle, file);
        SimWinUsbTest::TearDown();
    }
    sim::SimWinUsbDevice* dev = nullptr;
    void* file = nullptr;
    void* handle = nullptr;
    platform::Overlapped io;
    Event stop{Event::Reset::Manual};
    uint8_t buffer[512] = {};
};
INSTANTIATE_TEST_SUITE_P(Bindings, WinUsbTransfer, ::testing::ValuesIn(winUsbBindings()),
                         winUsbBindingName);

TEST_P(WinUsbTransfer, WritesGoToTheOutPipeAtOnceOrAfterTheEvent) {
    const uint8_t out[] = {1, 2, 3, 4};
    EXPECT_EQ(transport::winUsbWrite(handle, out, 4, &stop, io), 4u);
    dev->writeMode = WinUsbWrite::Pending;
    EXPECT_EQ(transport::winUsbWrite(handle, out, 3, &stop, io), 3u);
    ASSERT_EQ(dev->written.size(), 2u);
    EXPECT_THAT(dev->written[1], ElementsAre(1, 2, 3));
    EXPECT_THAT(dev->pipesUsed, ElementsAre(0x06, 0x06));
}

TEST_P(WinUsbTransfer, ReadReturnsTheInstrumentsTransfer) {
    sim::SimWinUsb::instance().queueInput(*dev, {7, 8, 9});
    EXPECT_EQ(transport::winUsbRead(handle, buffer, 512, &stop, io), 3u);
    EXPECT_THAT(std::vector<uint8_t>(buffer, buffer + 3), ElementsAre(7, 8, 9));
    EXPECT_THAT(dev->pipesUsed, ElementsAre(0x85));

    // A read that waits for the instrument completes when it sends.
    std::thread instrument([&] {
        platform::sleepMs(20);
        sim::SimWinUsb::instance().queueInput(*dev, {1, 2});
    });
    EXPECT_EQ(transport::winUsbRead(handle, buffer, 512, &stop, io), 2u);
    instrument.join();
}

TEST_P(WinUsbTransfer, StopEndsAPendingReadOrWriteWithoutWaitingForTheInstrument) {
    stop.set();
    const uint32_t start = platform::tickMs();
    EXPECT_EQ(transport::winUsbRead(handle, buffer, 512, &stop, io), 0u);
    dev->writeMode = WinUsbWrite::Stuck;
    EXPECT_EQ(transport::winUsbWrite(handle, buffer, 512, &stop, io), 0u);
    EXPECT_LT(platform::tickMs() - start, 1000u);

    stop.reset();
    std::thread stopper([&] {
        platform::sleepMs(30);
        stop.set();
    });
    platform::Overlapped io2;
    EXPECT_EQ(transport::winUsbRead(handle, buffer, 512, &stop, io2), 0u);
    stopper.join();
}

// An instrument that stops taking its OUT pipe holds a write only for the write time-out; the
// write is then withdrawn, and neither a stop nor the time-out leaves a transfer out on the
// block or in the caller's buffer.
TEST_P(WinUsbTransfer, NoTransferOutlivesTheCall) {
    dev->writeMode = WinUsbWrite::Stuck;
    EXPECT_EQ(transport::winUsbWrite(handle, buffer, 512, nullptr, io), 0u);
    EXPECT_FALSE(dev->transferOut(transport::kWinUsbOutPipe));
    std::thread stopper([&] {
        platform::sleepMs(30);
        stop.set();
    });
    EXPECT_EQ(transport::winUsbRead(handle, buffer, 512, &stop, io), 0u);
    stopper.join();
    EXPECT_FALSE(dev->transferOut(transport::kWinUsbInPipe));
    EXPECT_EQ(io.posted, platform::PostedIo::None);
    sim::SimWinUsb::instance().locked([&] {
        EXPECT_EQ(dev->postsOnBusyPipe, 0u);
        return 0;
    });
}

TEST_P(WinUsbTransfer, AnEventLeftSetByAnEarlierTransferDoesNotEndTheWait) {
    io.ensureEvent().set();
    std::thread instrument([&] {
        platform::sleepMs(30);
        sim::SimWinUsb::instance().queueInput(*dev, {4, 4, 4, 4});
    });
    EXPECT_EQ(transport::winUsbRead(handle, buffer, 512, &stop, io), 4u);
    instrument.join();
}

TEST_P(WinUsbTransfer, FailuresGiveZero) {
    dev->failingCalls = sim::winUsbBit(WinUsbCall::Write) | sim::winUsbBit(WinUsbCall::Read);
    EXPECT_EQ(transport::winUsbWrite(handle, buffer, 8, &stop, io), 0u);
    EXPECT_EQ(transport::winUsbRead(handle, buffer, 8, &stop, io), 0u);
    EXPECT_EQ(transport::winUsbWrite(nullptr, buffer, 8, &stop, io), 0u);
    EXPECT_TRUE(dev->written.empty());
}

TEST_P(WinUsbTransfer, UnboundBindingCallsNoPipe) {
    transport::WinUsbApi unbound = transport::winUsb();
    unbound.bound = 0;
    transport::installWinUsbForTests(&unbound);
    EXPECT_EQ(transport::winUsbWrite(handle, buffer, 8, &stop, io), 0u);
    EXPECT_EQ(transport::winUsbRead(handle, buffer, 8, &stop, io), 0u);
    EXPECT_TRUE(dev->pipesUsed.empty());
    installWinUsbBinding(GetParam());
}

TEST_F(SimWinUsbTest, EnumerationListsPresentInstrumentsOfTheClass) {
    auto& sim = sim::SimWinUsb::instance();
    sim.addDevice(u"path-a");
    sim.addDevice(u"path-b").failingCalls = sim::winUsbBit(WinUsbCall::Enumerate);
    sim.addDevice(u"path-c").present = false;
    sim.addDevice(u"path-d");
    const auto& api = transport::winUsb();
    ASSERT_TRUE(api.bound);

    void* set = api.openInterfaceSet(transport::kInstrumentInterfaceClass);
    ASSERT_NE(set, nullptr);
    std::u16string path;
    EXPECT_EQ(api.interfacePath(set, 0, &path), 0u);
    EXPECT_EQ(path, u"path-a");
    EXPECT_NE(api.interfacePath(set, 1, &path), 0u);
    EXPECT_NE(api.interfacePath(set, 1, &path), transport::kNoMoreItems);
    EXPECT_EQ(api.interfacePath(set, 2, &path), 0u);
    EXPECT_EQ(path, u"path-d");
    EXPECT_EQ(api.interfacePath(set, 3, &path), transport::kNoMoreItems);
    api.closeInterfaceSet(set);

    transport::InterfaceClassGuid other = transport::kInstrumentInterfaceClass;
    other.data1 ^= 1;
    set = api.openInterfaceSet(other);
    EXPECT_EQ(api.interfacePath(set, 0, &path), transport::kNoMoreItems);
    api.closeInterfaceSet(set);

    EXPECT_EQ(api.openFile(u"no such path"), transport::kInvalidFile);
}

TEST(WinUsbBinding, ReleaseOfNothingDoesNothing) {
    void* handle = nullptr;
    void* file = transport::kInvalidFile;
    transport::releaseWinUsb(handle, file);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(file, transport::kInvalidFile);
}

#ifndef _WIN32
// On Linux the system binding is libusb's, bound by name from the library's folder first:
// beside the tests lies the libusb stand-in, with no instrument plugged in.
TEST(WinUsbBinding, LinuxBindsLibUsbByName) {
    const transport::WinUsbApi& api = transport::winUsb();
    ASSERT_EQ(api.bound, 1);
    void* set = api.openInterfaceSet(transport::kInstrumentInterfaceClass);
    std::u16string path;
    EXPECT_EQ(api.interfacePath(set, 0, &path), transport::kNoMoreItems);
    api.closeInterfaceSet(set);
}
#endif

} // namespace
} // namespace zs::test
