#include "transport/d2xx.h"

#include "platform/dynlib.h"

#include <atomic>
#include <mutex>

namespace zs::transport {
namespace {

// The roles of a missing driver: no devices, nothing opens, nothing moves.
constexpr uint32_t kDeviceNotFound = 2; // FT_DEVICE_NOT_FOUND
constexpr uint32_t kInvalidHandle = 1;  // FT_INVALID_HANDLE

uint32_t ZS_D2XX_API absentList(void*, void*, uint32_t) {
    return kDeviceNotFound;
}
FtHandle ZS_D2XX_API absentOpen(const char*, uint32_t, uint32_t, void*, uint32_t, uint32_t, void*) {
    return kNoFtdiHandle;
}
uint32_t ZS_D2XX_API absentProgram(FtHandle, D2xxProgramData*) {
    return kInvalidHandle;
}
int32_t ZS_D2XX_API absentBool(FtHandle) {
    return 0;
}
uint32_t ZS_D2XX_API absentStatus(FtHandle) {
    return kInvalidHandle;
}
uint32_t ZS_D2XX_API absentFlow(FtHandle, uint16_t, uint8_t, uint8_t) {
    return kInvalidHandle;
}
int32_t ZS_D2XX_API absentLine(FtHandle, D2xxLineSettings*) {
    return 0;
}
uint32_t ZS_D2XX_API absentChars(FtHandle, uint8_t, uint8_t, uint8_t, uint8_t) {
    return kInvalidHandle;
}
uint32_t ZS_D2XX_API absentRate(FtHandle, uint32_t) {
    return kInvalidHandle;
}
uint32_t ZS_D2XX_API absentQueue(FtHandle, uint32_t* waiting) {
    if (waiting) *waiting = 0;
    return kInvalidHandle;
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
    return kInvalidHandle;
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

const Production& production() {
    static const Production p = [] {
        Production r;
        if (auto bound = bindD2xx()) {
            r.table = *bound;
            r.present = true;
        }
        return r;
    }();
    return p;
}

template <class Fn>
bool resolve(const platform::DynamicLibrary& lib, const char* name, Fn& out) {
    out = reinterpret_cast<Fn>(lib.symbol(name));
    return out != nullptr;
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
        resolve(*lib, "FT_ListDevices", api.count) && resolve(*lib, "FT_ListDevices", api.serial) &&
        resolve(*lib, "FT_W32_CreateFile", api.open) &&
        resolve(*lib, "FT_EE_Read", api.configuration) &&
        resolve(*lib, "FT_W32_CloseHandle", api.close) &&
        resolve(*lib, "FT_SetFlowControl", api.flow) &&
        resolve(*lib, "FT_W32_GetCommState", api.getLineSettings) &&
        resolve(*lib, "FT_W32_SetCommState", api.setLineSettings) &&
        resolve(*lib, "FT_SetChars", api.characters) && resolve(*lib, "FT_SetBaudRate", api.rate) &&
        resolve(*lib, "FT_GetQueueStatus", api.queue) &&
        resolve(*lib, "FT_W32_WriteFile", api.write) &&
        resolve(*lib, "FT_W32_ReadFile", api.read) &&
        resolve(*lib, "FT_W32_GetLastError", api.lastError) &&
        resolve(*lib, "FT_W32_GetOverlappedResult", api.result) &&
        resolve(*lib, "FT_ClrDtr", api.lineLow) && resolve(*lib, "FT_SetDtr", api.lineHigh) &&
        resolve(*lib, "FT_SetBitMode", api.bitMode) && resolve(*lib, "FT_ResetDevice", api.reset);
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
