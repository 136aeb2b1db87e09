#include "transport/d2xx.h"

#include "platform/dynlib.h"
#include "trace/trace.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string_view>

#ifndef _WIN32
#include "transport/linux/libftdi.h"
#endif

namespace zs::transport {
namespace {

// The roles of a missing driver: no devices, nothing opens, nothing moves.

uint32_t ZS_D2XX_API absentList(void*, void*, uint32_t) {
    return kD2xxDeviceNotFound;
}
FtHandle ZS_D2XX_API absentOpen(const char*, uint32_t, uint32_t, void*, uint32_t, uint32_t, void*) {
    return kNoFtdiHandle;
}
uint32_t ZS_D2XX_API absentProgram(FtHandle, D2xxProgramData*) {
    return kD2xxInvalidHandle;
}
int32_t ZS_D2XX_API absentBool(FtHandle) {
    return 0;
}
uint32_t ZS_D2XX_API absentStatus(FtHandle) {
    return kD2xxInvalidHandle;
}
uint32_t ZS_D2XX_API absentFlow(FtHandle, uint16_t, uint8_t, uint8_t) {
    return kD2xxInvalidHandle;
}
int32_t ZS_D2XX_API absentLine(FtHandle, D2xxLineSettings*) {
    return 0;
}
uint32_t ZS_D2XX_API absentChars(FtHandle, uint8_t, uint8_t, uint8_t, uint8_t) {
    return kD2xxInvalidHandle;
}
uint32_t ZS_D2XX_API absentRate(FtHandle, uint32_t) {
    return kD2xxInvalidHandle;
}
uint32_t ZS_D2XX_API absentQueue(FtHandle, uint32_t* waiting) {
    if (waiting) *waiting = 0;
    return kD2xxInvalidHandle;
}
int32_t ZS_D2XX_API absentTransfer(FtHandle, void*, uint32_t, uint32_t* transferred, void*) {
    if (transferred) *transferred = 0;
    return 0;
}
uint32_t ZS_D2XX_API absentLastError(FtHandle) {
    return 6;
} // ERROR_INVALID_HANDLE
int32_t ZS_D2XX_API absentResult(FtHandle, void*, uint32_t* transferred, int32_t) {
    if (transferred) *transferred = 0;
    return 0;
}
uint32_t ZS_D2XX_API absentBitMode(FtHandle, uint8_t, uint8_t) {
    return kD2xxInvalidHandle;
}

constexpr D2xxApi kAbsent{absentList,     absentList,      absentOpen,   absentProgram,
                          absentBool,     absentFlow,      absentLine,   absentLine,
                          absentChars,    absentRate,      absentQueue,  absentTransfer,
                          absentTransfer, absentLastError, absentResult, absentStatus,
                          absentStatus,   absentBitMode,   absentStatus};

std::atomic<const D2xxApi*> g_installed{nullptr};

struct Production {
    D2xxApi table = kAbsent;
    bool present = false;
};

// The vendor's library, else (Linux) libftdi; the environment may force either. `name` says
// which one was bound.
std::optional<D2xxApi> bindProduction(const char*& name) {
    name = kD2xxLibraryName;
#ifdef _WIN32
    return bindD2xx();
#else
    const char* forced = std::getenv(kUsbDriverVariable);
    const std::string_view choice = forced ? forced : "";
    if (choice != kUsbDriverLibFtdi)
        if (auto vendor = bindD2xx()) return vendor;
    if (choice != kUsbDriverD2xx)
        if (auto f = bindLibFtdi()) {
            static const LibFtdi functions = *f;
            name = "libftdi1";
            return d2xxOnLibFtdi(functions);
        }
    return std::nullopt;
#endif
}

#ifdef _WIN32
constexpr const char* kTriedDrivers = "ftd2xx.dll";
#else
constexpr const char* kTriedDrivers = "libftd2xx.so, libftdi1";
#endif

const Production& production() {
    static const Production p = [] {
        Production r;
        const char* name = nullptr;
        if (auto bound = bindProduction(name)) {
            r.table = *bound;
            r.present = true;
            ZS_TRACE_LINE("USB: FTDI driver ", name, " bound");
        } else {
            ZS_TRACE_LINE("USB: no FTDI driver could be bound (", kTriedDrivers,
                          " missing or incomplete): no FTDI instrument can be listed");
        }
        return r;
    }();
    return p;
}

} // namespace

std::optional<D2xxApi> bindD2xx(const char* fileName) {
    auto lib = platform::openVendorLibrary(fileName);
    if (!lib) return std::nullopt;
    D2xxApi api;
    // Role -> documented D2XX function. The device count and the serial numbers both come
    // from FT_ListDevices (flags select which); "open" is the Win32-style create call, so
    // the overlapped transfers, last error and result calls are its W32 companions. Line
    // low/high bracket bytes that must reach the instrument, so they cannot be a break (which
    // holds the transmit line low): they are DTR, clear and set; RTS is taken by the
    // handshake the flow call puts on those links.
    const bool ok =
        lib->bind("FT_ListDevices", api.count) && lib->bind("FT_ListDevices", api.serial) &&
        lib->bind("FT_W32_CreateFile", api.open) && lib->bind("FT_EE_Read", api.configuration) &&
        lib->bind("FT_W32_CloseHandle", api.close) && lib->bind("FT_SetFlowControl", api.flow) &&
        lib->bind("FT_W32_GetCommState", api.getLineSettings) &&
        lib->bind("FT_W32_SetCommState", api.setLineSettings) &&
        lib->bind("FT_SetChars", api.characters) && lib->bind("FT_SetBaudRate", api.rate) &&
        lib->bind("FT_GetQueueStatus", api.queue) && lib->bind("FT_W32_WriteFile", api.write) &&
        lib->bind("FT_W32_ReadFile", api.read) && lib->bind("FT_W32_GetLastError", api.lastError) &&
        lib->bind("FT_W32_GetOverlappedResult", api.result) &&
        lib->bind("FT_ClrDtr", api.lineLow) && lib->bind("FT_SetDtr", api.lineHigh) &&
        lib->bind("FT_SetBitMode", api.bitMode) && lib->bind("FT_ResetDevice", api.reset);
    if (!ok) return std::nullopt;
    lib->keepLoaded(); // handles live in the driver for the rest of the process
    return api;
}

const D2xxApi& d2xx() {
    if (const D2xxApi* t = g_installed.load(std::memory_order_acquire)) return *t;
    return production().table;
}

bool d2xxPresent() {
    return g_installed.load(std::memory_order_acquire) != nullptr || production().present;
}

void installD2xxForTests(const D2xxApi* api) {
    g_installed.store(api, std::memory_order_release);
}

} // namespace zs::transport
