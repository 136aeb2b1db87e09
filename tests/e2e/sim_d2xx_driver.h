#pragma once
// The simulated D2XX driver's own controls, for tests that load the shipped library by name
// with the driver beside it.
#include "../../tools/hostlib/zs_host.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace zs::test {

// The simulated driver library the shipped library binds: the D2XX one, or on Linux the
// libftdi stand-in when ZS_USB_DRIVER forces that binding (both hold the simulated devices).
// On Linux by its path beside the program, where the library finds it first, and not a
// system library of the same name.
inline std::string simulatedUsbDriver() {
#ifdef _WIN32
    return "ftd2xx.dll";
#else
    const char* forced = std::getenv("ZS_USB_DRIVER");
    return host::Library::programDirectory() + "/" +
           (forced && std::string(forced) == "libftdi" ? "libftdi1.so.2" : "libftd2xx.so");
#endif
}

// The simulated driver's own controls.
struct Driver {
    host::Library lib{simulatedUsbDriver()};
    void (*reset)() = lib.get<void (*)()>("ZsSimD2xx_Reset");
    int (*plug)(const char*) = lib.get<int (*)(const char*)>("ZsSimD2xx_Plug");
    int (*written)(const char*, uint8_t*, uint32_t) =
        lib.get<int (*)(const char*, uint8_t*, uint32_t)>("ZsSimD2xx_Written");
    int (*callCount)(const char*,
                     uint32_t) = lib.get<int (*)(const char*, uint32_t)>("ZsSimD2xx_CallCount");
    uint32_t (*lineRate)(const char*) = lib.get<uint32_t (*)(const char*)>("ZsSimD2xx_LineRate");

    std::vector<uint8_t> bytesWritten(const char* serial) {
        const int n = written(serial, nullptr, 0);
        std::vector<uint8_t> out(n > 0 ? static_cast<size_t>(n) : 0);
        if (!out.empty()) written(serial, out.data(), static_cast<uint32_t>(out.size()));
        return out;
    }
};

#ifndef _WIN32
// The libusb stand-in's controls: WinUSB instruments plugged in as ZS_SIM_WINUSB names them.
struct WinUsbStandIn {
    host::Library lib{host::Library::programDirectory() + "/libusb-1.0.so.0"};
    void (*reset)() = lib.get<void (*)()>("ZsSimUsb_Reset");
    int (*plug)(const char*) = lib.get<int (*)(const char*)>("ZsSimUsb_Plug");
    int (*commandText)(const char*, char*, uint32_t) =
        lib.get<int (*)(const char*, char*, uint32_t)>("ZsSimUsb_Commands");
    void (*bindKernelDriver)(const char*) =
        lib.get<void (*)(const char*)>("ZsSimUsb_BindKernelDriver");
    uint32_t (*detaches)(const char*) = lib.get<uint32_t (*)(const char*)>("ZsSimUsb_Detaches");
    int (*outputBlocks)(const char*) = lib.get<int (*)(const char*)>("ZsSimUsb_OutputBlocks");

    // The commands the instrument received, one a line.
    std::string commands(const char* path) {
        const int n = commandText(path, nullptr, 0);
        if (n <= 0) return {};
        std::string text(static_cast<size_t>(n) + 1, '\0');
        commandText(path, text.data(), static_cast<uint32_t>(text.size()));
        text.resize(static_cast<size_t>(n));
        return text;
    }
};
#endif

} // namespace zs::test
