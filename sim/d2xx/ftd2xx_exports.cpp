// The simulated D2XX driver as a shared library under the vendor's name, exporting the
// vendor's function names, so the shipped library binds it exactly as it binds the real one.
// The ZsSimD2xx_ functions let a test that loaded it set up devices and read what they saw.
#include "sim_d2xx.h"
#include "sim_export.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#ifdef ZS_SIM_PLUG
#include "command_log.h"
#include "instrument_records.h"
#include "plugged_instruments.h"
#include "sim_library_folder.h"

#include <filesystem>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif
#endif

using zs::sim::SimD2xx;
using zs::sim::SimD2xxDevice;
using zs::transport::D2xxApi;
using zs::transport::D2xxLineSettings;
using zs::transport::D2xxProgramData;
using zs::transport::FtHandle;

#ifdef ZS_SIM_PLUG
// This driver's own folder, where the description source of the instruments lies.
std::filesystem::path zs::sim::simLibraryFolder() {
#ifdef _WIN32
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&zs::sim::simLibraryFolder), &module);
    char path[MAX_PATH] = {};
    GetModuleFileNameA(module, path, MAX_PATH);
    return std::filesystem::path(path).parent_path();
#else
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&zs::sim::simLibraryFolder), &info);
    return std::filesystem::path(info.dli_fname ? info.dli_fname : ".").parent_path();
#endif
}
#endif

namespace {
#ifdef ZS_SIM_PLUG

bool plug(const char* text) {
    try {
        return zs::sim::plugInstruments(text,
                                        zs::sim::referenceDescription(zs::sim::simLibraryFolder()));
    } catch (const std::exception&) {
        return false; // no description source beside the driver
    }
}

// The instruments named by ZS_SIM_D2XX are plugged in before the first call sees devices.
void plugFromEnvironment() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (const char* text = std::getenv("ZS_SIM_D2XX")) plug(text);
    });
}
#else
void plugFromEnvironment() {}
#endif

const D2xxApi& t() {
    plugFromEnvironment();
    return SimD2xx::table();
}
} // namespace

SIM_EXPORT uint32_t ZS_D2XX_API FT_ListDevices(void* a, void* b, uint32_t flags) {
    return t().count(a, b, flags);
}
SIM_EXPORT FtHandle ZS_D2XX_API FT_W32_CreateFile(const char* name, uint32_t access, uint32_t share,
                                                  void* security, uint32_t disposition,
                                                  uint32_t flags, void* templateFile) {
    return t().open(name, access, share, security, disposition, flags, templateFile);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_EE_Read(FtHandle h, D2xxProgramData* data) {
    return t().configuration(h, data);
}
SIM_EXPORT int32_t ZS_D2XX_API FT_W32_CloseHandle(FtHandle h) {
    return t().close(h);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_SetFlowControl(FtHandle h, uint16_t flow, uint8_t on,
                                                  uint8_t off) {
    return t().flow(h, flow, on, off);
}
SIM_EXPORT int32_t ZS_D2XX_API FT_W32_GetCommState(FtHandle h, D2xxLineSettings* dcb) {
    return t().getLineSettings(h, dcb);
}
SIM_EXPORT int32_t ZS_D2XX_API FT_W32_SetCommState(FtHandle h, D2xxLineSettings* dcb) {
    return t().setLineSettings(h, dcb);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_SetChars(FtHandle h, uint8_t a, uint8_t b, uint8_t c,
                                            uint8_t d) {
    return t().characters(h, a, b, c, d);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_SetBaudRate(FtHandle h, uint32_t rate) {
    return t().rate(h, rate);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_GetQueueStatus(FtHandle h, uint32_t* waiting) {
    return t().queue(h, waiting);
}
SIM_EXPORT int32_t ZS_D2XX_API FT_W32_WriteFile(FtHandle h, void* buffer, uint32_t length,
                                                uint32_t* done, void* overlapped) {
    return t().write(h, buffer, length, done, overlapped);
}
SIM_EXPORT int32_t ZS_D2XX_API FT_W32_ReadFile(FtHandle h, void* buffer, uint32_t length,
                                               uint32_t* done, void* overlapped) {
    return t().read(h, buffer, length, done, overlapped);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_W32_GetLastError(FtHandle h) {
    return t().lastError(h);
}
SIM_EXPORT int32_t ZS_D2XX_API FT_W32_GetOverlappedResult(FtHandle h, void* overlapped,
                                                          uint32_t* done, int32_t wait) {
    return t().result(h, overlapped, done, wait);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_ClrDtr(FtHandle h) {
    return t().lineLow(h);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_SetDtr(FtHandle h) {
    return t().lineHigh(h);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_SetBreakOn(FtHandle h) {
    return SimD2xx::setBreak(h, true);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_SetBreakOff(FtHandle h) {
    return SimD2xx::setBreak(h, false);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_SetBitMode(FtHandle h, uint8_t mask, uint8_t mode) {
    return t().bitMode(h, mask, mode);
}
SIM_EXPORT uint32_t ZS_D2XX_API FT_ResetDevice(FtHandle h) {
    return t().reset(h);
}

// --- Control of the simulator by a test (C calling convention) --------------------------------

SIM_EXPORT void ZsSimD2xx_Reset() {
    SimD2xx::instance().reset();
}

#ifdef ZS_SIM_PLUG
// Plugs in simulated instruments described as ZS_SIM_D2XX describes them; 1 when the text
// was understood (and its devices added), else 0.
SIM_EXPORT int ZsSimD2xx_Plug(const char* text) {
    return text && plug(text) ? 1 : 0;
}

// The commands in the bytes written to the device from byte `from` on, decoded as the
// instrument reads them, one a line ("range 2"), copied into `out` as far as it fits; the
// length of the whole text, or -1 for an unknown serial number.
SIM_EXPORT int ZsSimD2xx_Commands(const char* serial, uint32_t from, char* out, uint32_t capacity) {
    auto& sim = SimD2xx::instance();
    std::vector<uint8_t> bytes;
    const bool known = sim.locked([&] {
        SimD2xxDevice* d = sim.find(serial ? serial : "");
        if (!d) return false;
        if (from < d->written.size()) bytes.assign(d->written.begin() + from, d->written.end());
        return true;
    });
    if (!known) return -1;
    std::vector<zs::sim::Command> commands;
    zs::sim::ByteCommandReader().feed(bytes.data(), bytes.size(), commands);
    std::ostringstream text;
    for (const auto& c : commands) text << c << '\n';
    const std::string all = text.str();
    if (out && capacity > 0) {
        const size_t n = std::min<size_t>(all.size(), capacity - 1);
        std::memcpy(out, all.data(), n);
        out[n] = '\0';
    }
    return static_cast<int>(all.size());
}
#endif

SIM_EXPORT void ZsSimD2xx_AddDevice(const char* serial, const char* description) {
    SimD2xx::instance().addDevice(serial ? serial : "", description ? description : "");
}

// Queues bytes the device delivers; false for an unknown serial number.
SIM_EXPORT int ZsSimD2xx_QueueInput(const char* serial, const uint8_t* bytes, uint32_t length) {
    auto& sim = SimD2xx::instance();
    return sim.locked([&] {
        SimD2xxDevice* d = sim.find(serial ? serial : "");
        if (!d) return 0;
        d->input.insert(d->input.end(), bytes, bytes + length);
        return 1;
    });
}

// Copies up to `capacity` of the bytes written to the device; returns how many were written
// in all (-1 for an unknown serial number).
SIM_EXPORT int ZsSimD2xx_Written(const char* serial, uint8_t* out, uint32_t capacity) {
    auto& sim = SimD2xx::instance();
    return sim.locked([&] {
        SimD2xxDevice* d = sim.find(serial ? serial : "");
        if (!d) return -1;
        const size_t n = std::min<size_t>(capacity, d->written.size());
        if (out && n) std::memcpy(out, d->written.data(), n);
        return static_cast<int>(d->written.size());
    });
}

// The device's line rate (0 for an unknown serial number).
SIM_EXPORT uint32_t ZsSimD2xx_LineRate(const char* serial) {
    auto& sim = SimD2xx::instance();
    return sim.locked([&]() -> uint32_t {
        SimD2xxDevice* d = sim.find(serial ? serial : "");
        return d ? d->lineRate : 0;
    });
}

// Makes the rate call refuse `rate` (answer 7).
SIM_EXPORT void ZsSimD2xx_RefuseRate(const char* serial, uint32_t rate) {
    auto& sim = SimD2xx::instance();
    sim.locked([&] {
        if (SimD2xxDevice* d = sim.find(serial ? serial : "")) d->refusedRates.insert(rate);
    });
}

// Counts the device's calls of one role (zs::sim::D2xxRole); -1 for an unknown serial number.
SIM_EXPORT int ZsSimD2xx_CallCount(const char* serial, uint32_t role) {
    auto& sim = SimD2xx::instance();
    return sim.locked([&] {
        SimD2xxDevice* d = sim.find(serial ? serial : "");
        if (!d) return -1;
        return static_cast<int>(std::count_if(d->history.begin(), d->history.end(), [&](auto& c) {
            return static_cast<uint32_t>(c.role) == role;
        }));
    });
}
