#pragma once
#include "sim_d2xx.h"
#include "sim_winusb.h"
#include "transport/d2xx.h"
#include "transport/winusb_binding.h"

#include <gtest/gtest.h>

namespace zs::test {

// The simulated D2XX driver installed through the seam, empty at the start of each test.
class SimD2xxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::SimD2xx::instance().reset();
        transport::installD2xxForTests(&sim::SimD2xx::table());
    }
    void TearDown() override {
        transport::installD2xxForTests(nullptr);
        sim::SimD2xx::instance().reset();
    }

    // Adds a device and opens it as discovery does; the handle is closed by the sim's reset.
    transport::FtHandle openDevice(sim::SimD2xxDevice*& device, const char* serial = "ZS000001") {
        device = &sim::SimD2xx::instance().addDevice(serial, "Simulated analyser");
        return transport::d2xx().open(serial, 0xC0000000, 0, nullptr, 3, transport::kD2xxOpenFlags,
                                      nullptr);
    }
};

// The simulated WinUSB installed through the seam, with the simulated D2XX as well.
class SimWinUsbTest : public SimD2xxTest {
  protected:
    void SetUp() override {
        SimD2xxTest::SetUp();
        sim::SimWinUsb::instance().reset();
        transport::installWinUsbForTests(&sim::SimWinUsb::table());
    }
    void TearDown() override {
        transport::installWinUsbForTests(nullptr);
        sim::SimWinUsb::instance().reset();
        SimD2xxTest::TearDown();
    }

    // A device found, opened and initialised as the enumeration does.
    void* openWinUsb(sim::SimWinUsbDevice*& device, void*& file,
                     const char16_t* path = u"\\\\?\\usb#sim#1") {
        device = &sim::SimWinUsb::instance().addDevice(path);
        const auto& api = transport::winUsb();
        file = api.openFile(path);
        void* handle = nullptr;
        if (file == transport::kInvalidFile || !api.initialize(file, &handle)) return nullptr;
        return handle;
    }
};

} // namespace zs::test
