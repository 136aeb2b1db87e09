// The WinUSB roles on libusb, against the libusb stand-in on simulated WinUSB devices: what
// WinUSB does that libusb has no single call for (the interface's path, taking it from a
// kernel driver, the pipe information) and the failures.
#ifndef _WIN32
#include "sim_fixtures.h"
#include "transport/linux/libusb.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace zs::test {
namespace {

using sim::SimWinUsb;
using transport::winUsb;

class LibUsbBinding : public SimWinUsbTest {
  protected:
    void SetUp() override {
        SimWinUsbTest::SetUp();
        installWinUsbBinding(WinUsbBinding::LibUsb);
    }

    static std::vector<std::u16string> paths() {
        std::vector<std::u16string> out;
        void* set = winUsb().openInterfaceSet(transport::kInstrumentInterfaceClass);
        for (uint32_t i = 0;; ++i) {
            std::u16string path;
            if (winUsb().interfacePath(set, i, &path) != 0) break;
            out.push_back(path);
        }
        winUsb().closeInterfaceSet(set);
        return out;
    }
};

// Each instrument's interface is named by bus, address, interface and ids; an address stays
// with its device when another is unplugged. Another interface class finds nothing.
TEST_F(LibUsbBinding, InterfacesAreNamedByTheirPlaceOnTheBus) {
    SimWinUsb::instance().addDevice(u"a");
    auto& b = SimWinUsb::instance().addDevice(u"b");
    const auto before = paths();
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(before[0].rfind(u"usb:001:", 0), 0u);
    EXPECT_NE(before[0], before[1]);
    EXPECT_NE(before[1].find(u":0:1209:0001"), std::u16string::npos);
    SimWinUsb::instance().locked([&] {
        SimWinUsb::instance().find(u"a")->present = false;
        return 0;
    });
    EXPECT_EQ(paths(), std::vector<std::u16string>{before[1]});

    transport::InterfaceClassGuid other = transport::kInstrumentInterfaceClass;
    other.data1 ^= 1;
    void* set = winUsb().openInterfaceSet(other);
    EXPECT_EQ(winUsb().interfacePath(set, 0, nullptr), transport::kNoMoreItems);
    winUsb().closeInterfaceSet(set);

    EXPECT_EQ(winUsb().openFile(u"usb:001:099:0:1209:0001"), transport::kInvalidFile);
    EXPECT_EQ(winUsb().openFile(u"not a path"), transport::kInvalidFile);
    EXPECT_EQ(b.fileOpens, 0u);
}

// A kernel driver bound to the interface is detached before the interface is claimed.
TEST_F(LibUsbBinding, TheInterfaceIsTakenFromAKernelDriver) {
    sim::SimWinUsbDevice* device = nullptr;
    sim::simUsbBindKernelDriver(u"\\\\?\\usb#sim#1");
    void* file = nullptr;
    void* handle = openWinUsb(device, file);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(sim::simUsbDetaches(u"\\\\?\\usb#sim#1"), 1u);
    EXPECT_TRUE(device->initialized);
    transport::releaseWinUsb(handle, file);
    EXPECT_FALSE(device->initialized);
    EXPECT_EQ(device->fileCloses, 1u);
}

// The pipe information comes from the interface's endpoints, in their order.
TEST_F(LibUsbBinding, QueryPipeDescribesTheInterfacesPipes) {
    struct PipeInformation {
        int32_t pipeType;
        uint8_t pipeId;
        uint16_t maximumPacketSize;
        uint8_t interval;
    };
    sim::SimWinUsbDevice* device = nullptr;
    void* file = nullptr;
    void* handle = openWinUsb(device, file);
    ASSERT_NE(handle, nullptr);
    const uint8_t ids[] = {transport::kWinUsbInPipe, transport::kWinUsbOutPipe,
                           transport::kWinUsbStatusPipe, transport::kWinUsbSignalOutPipe};
    for (uint8_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        PipeInformation info{};
        ASSERT_TRUE(winUsb().queryPipe(handle, 0, i, &info));
        EXPECT_EQ(info.pipeType, 2); // bulk
        EXPECT_EQ(info.pipeId, ids[i]);
        EXPECT_EQ(info.maximumPacketSize, 512);
    }
    PipeInformation info{};
    EXPECT_FALSE(winUsb().queryPipe(handle, 0, 4, &info));
    EXPECT_FALSE(winUsb().queryPipe(handle, 1, 0, &info));
    transport::releaseWinUsb(handle, file);
}

// Handles the binding never gave out are refused.
TEST_F(LibUsbBinding, StrangeHandlesAreRefused) {
    int stranger = 0;
    void* iface = nullptr;
    uint8_t buffer[8] = {};
    uint32_t n = 9;
    EXPECT_FALSE(winUsb().initialize(&stranger, &iface));
    EXPECT_FALSE(winUsb().readPipe(&stranger, transport::kWinUsbInPipe, buffer, 8, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(winUsb().overlappedResult(&stranger, buffer, &n, 0));
    EXPECT_FALSE(winUsb().free(&stranger));
    winUsb().closeFile(&stranger); // nothing happens
}

TEST(LibUsbLibrary, AMissingLibraryBindsNothing) {
    EXPECT_FALSE(transport::bindLibUsb("libzs-no-such-usb-1.0.so.0").has_value());
}

} // namespace
} // namespace zs::test
#endif
