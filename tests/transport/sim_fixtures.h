#pragma once
#include "sim_d2xx.h"
#include "sim_libftdi.h"
#include "sim_libusb.h"
#include "sim_winusb.h"
#include "transport/d2xx.h"
#include "transport/winusb_binding.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace zs::test {

// The ways the library reaches the simulated FTDI devices: the simulated D2XX driver itself,
// or (Linux) the libftdi binding on the libftdi stand-in, which drives the same devices.
enum class FtdiBinding { D2xx, LibFtdi };

inline std::vector<FtdiBinding> ftdiBindings() {
#ifdef _WIN32
    return {FtdiBinding::D2xx};
#else
    return {FtdiBinding::D2xx, FtdiBinding::LibFtdi};
#endif
}

inline std::string ftdiBindingName(const ::testing::TestParamInfo<FtdiBinding>& info) {
    return info.param == FtdiBinding::D2xx ? "D2xx" : "LibFtdi";
}

// Installs the binding's role table through the seam.
inline void installFtdiBinding(FtdiBinding binding) {
#ifndef _WIN32
    if (binding == FtdiBinding::LibFtdi) {
        static const transport::D2xxApi onLibFtdi = transport::d2xxOnLibFtdi(sim::simLibFtdi());
        transport::installD2xxForTests(&onLibFtdi);
        return;
    }
#endif
    (void)binding;
    transport::installD2xxForTests(&sim::SimD2xx::table());
}

// The ways the library reaches the simulated WinUSB devices: the simulated WinUSB itself, or
// (Linux) the libusb binding on the libusb stand-in, which drives the same devices.
enum class WinUsbBinding { WinUsb, LibUsb };

inline std::vector<WinUsbBinding> winUsbBindings() {
#ifdef _WIN32
    return {WinUsbBinding::WinUsb};
#else
    return {WinUsbBinding::WinUsb, WinUsbBinding::LibUsb};
#endif
}

inline std::string winUsbBindingName(const ::testing::TestParamInfo<WinUsbBinding>& info) {
    return info.param == WinUsbBinding::WinUsb ? "WinUsb" : "LibUsb";
}

inline void installWinUsbBinding(WinUsbBinding binding) {
#ifndef _WIN32
    if (binding == WinUsbBinding::LibUsb) {
        static const transport::WinUsbApi onLibUsb = *transport::winUsbOnLibUsb(sim::simLibUsb());
        transport::installWinUsbForTests(&onLibUsb);
        sim::simUsbReset();
        return;
    }
#endif
    (void)binding;
    transport::installWinUsbForTests(&sim::SimWinUsb::table());
}

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

    // A device found, opened and initialised as the enumeration does: by the path the
    // binding's enumeration gives it (the device added last is listed last).
    void* openWinUsb(sim::SimWinUsbDevice*& device, void*& file,
                     const char16_t* path = u"\\\\?\\usb#sim#1") {
        device = &sim::SimWinUsb::instance().addDevice(path);
        const auto& api = transport::winUsb();
        std::u16string listed;
        void* set = api.openInterfaceSet(transport::kInstrumentInterfaceClass);
        for (uint32_t i = 0; set; ++i) {
            std::u16string next;
            const uint32_t r = api.interfacePath(set, i, &next);
            if (r == transport::kNoMoreItems) break;
            if (r == 0) listed = next;
        }
        if (set) api.closeInterfaceSet(set);
        file = api.openFile(listed);
        void* handle = nullptr;
        if (file == transport::kInvalidFile || !api.initialize(file, &handle)) return nullptr;
        return handle;
    }
};

} // namespace zs::test
