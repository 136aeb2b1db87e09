#pragma once
// The simulated D2XX driver's own controls, for tests that load the shipped library by name
// with the driver beside it.
#include "../../tools/hostlib/zs_host.h"

#include <cstdint>
#include <vector>

namespace zs::test {

#ifdef _WIN32
constexpr const char* kDriver = "ftd2xx.dll";
#else
constexpr const char* kDriver = "libftd2xx.so";
#endif

// The simulated driver's own controls.
struct Driver {
    host::Library lib{kDriver};
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

} // namespace zs::test
