#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

#ifdef _WIN32
#define ZS_D2XX_API __stdcall
#else
#define ZS_D2XX_API
#endif

namespace zs::transport {

// A D2XX device handle (FT_HANDLE); kNoFtdiHandle (-1) for none.
using FtHandle = void*;
inline FtHandle const kNoFtdiHandle = reinterpret_cast<FtHandle>(intptr_t{-1});

// FT_PROGRAM_DATA as far as the library reads it: the two signatures select the layout, the
// four text pointers name caller buffers of 256 bytes or more. The driver may fill the rest
// of the record for newer chips, so callers pass the whole (zeroed) record.
struct D2xxProgramData {
    uint32_t signature1 = 0;
    uint32_t signature2 = 0xFFFFFFFF;
    uint32_t version = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    char* manufacturer = nullptr;
    char* manufacturerId = nullptr;
    char* description = nullptr;
    char* serialNumber = nullptr;
    uint8_t rest[512] = {};
};

// The Win32 device-control block (DCB, 28 bytes) that the line-settings calls take.
struct D2xxLineSettings {
    uint32_t length = 28;
    uint32_t baudRate = 0;
    uint32_t flags = 0; // fBinary, fParity, ... as bits 0..31
    uint16_t reserved = 0;
    uint16_t xonLimit = 0;
    uint16_t xoffLimit = 0;
    uint8_t byteSize = 8;
    uint8_t parity = 0;
    uint8_t stopBits = 0;
    char xonChar = 0;
    char xoffChar = 0;
    char errorChar = 0;
    char eofChar = 0;
    char evtChar = 0;
    uint16_t reserved1 = 0;
};
static_assert(sizeof(D2xxLineSettings) == 28);

// The D2XX calls the library relies on, one member per role, each with the documented
// signature of the FTDI function it is bound to (the binding says which). Status calls
// return 0 for success; the file-style calls return nonzero for success.
struct D2xxApi {
    using ListDevices = uint32_t(ZS_D2XX_API*)(void* arg1, void* arg2, uint32_t flags);
    using CreateFile = FtHandle(ZS_D2XX_API*)(const char* name, uint32_t access, uint32_t share,
                                              void* security, uint32_t disposition, uint32_t flags,
                                              void* templateFile);
    using ProgramRead = uint32_t(ZS_D2XX_API*)(FtHandle, D2xxProgramData*);
    using HandleBool = int32_t(ZS_D2XX_API*)(FtHandle);
    using HandleStatus = uint32_t(ZS_D2XX_API*)(FtHandle);
    using Flow = uint32_t(ZS_D2XX_API*)(FtHandle, uint16_t flow, uint8_t xon, uint8_t xoff);
    using LineSettings = int32_t(ZS_D2XX_API*)(FtHandle, D2xxLineSettings*);
    using Chars = uint32_t(ZS_D2XX_API*)(FtHandle, uint8_t eventChar, uint8_t eventEnabled,
                                         uint8_t errorChar, uint8_t errorEnabled);
    using Rate = uint32_t(ZS_D2XX_API*)(FtHandle, uint32_t bitsPerSecond);
    using Queue = uint32_t(ZS_D2XX_API*)(FtHandle, uint32_t* waiting);
    using Transfer = int32_t(ZS_D2XX_API*)(FtHandle, void* buffer, uint32_t length,
                                           uint32_t* transferred, void* overlapped);
    using LastError = uint32_t(ZS_D2XX_API*)(FtHandle);
    using Result = int32_t(ZS_D2XX_API*)(FtHandle, void* overlapped, uint32_t* transferred,
                                         int32_t wait);
    using BitMode = uint32_t(ZS_D2XX_API*)(FtHandle, uint8_t mask, uint8_t mode);

    ListDevices count = nullptr;         // (&n, null, 0x80000000)
    ListDevices serial = nullptr;        // (index, 128-byte buffer, 0x40000001)
    CreateFile open = nullptr;           // serial number, 0xC0000000, 0, null, 3, 0x81, null
    ProgramRead configuration = nullptr; // description, serial number, ...
    HandleBool close = nullptr;
    Flow flow = nullptr;
    LineSettings getLineSettings = nullptr;
    LineSettings setLineSettings = nullptr;
    Chars characters = nullptr;
    Rate rate = nullptr; // 0 set, 7 refused
    Queue queue = nullptr;
    Transfer write = nullptr;
    Transfer read = nullptr;
    LastError lastError = nullptr; // 997: pending
    Result result = nullptr;
    HandleStatus lineLow = nullptr;
    HandleStatus lineHigh = nullptr;
    BitMode bitMode = nullptr;
    HandleStatus reset = nullptr;
};

// D2XX status codes (FT_OK, FT_INVALID_HANDLE, FT_DEVICE_NOT_FOUND, FT_IO_ERROR,
// FT_INVALID_PARAMETER).
inline constexpr uint32_t kD2xxOk = 0;
inline constexpr uint32_t kD2xxInvalidHandle = 1;
inline constexpr uint32_t kD2xxDeviceNotFound = 2;
inline constexpr uint32_t kD2xxIoError = 4;
inline constexpr uint32_t kD2xxInvalidParameter = 6;
inline constexpr uint32_t kD2xxRateRefused = 7;
inline constexpr uint32_t kD2xxListNumberOnly = 0x80000000;
inline constexpr uint32_t kD2xxListSerialByIndex = 0x40000001;
inline constexpr uint32_t kD2xxOpenFlags = 0x81;
inline constexpr uint32_t kD2xxOpenFlagsOverlapped = 0x40000081;

#ifdef _WIN32
inline constexpr const char* kD2xxLibraryName = "ftd2xx.dll";
#else
inline constexpr const char* kD2xxLibraryName = "libftd2xx.so";
#endif

// Linux: the environment variable that forces the FTDI binding, "d2xx" (the vendor's library
// only) or "libftdi" (libftdi1 only); unset, the vendor's library is tried first.
inline constexpr const char* kUsbDriverVariable = "ZS_USB_DRIVER";
inline constexpr std::string_view kUsbDriverD2xx = "d2xx";
inline constexpr std::string_view kUsbDriverLibFtdi = "libftdi";

// The table in force for the process: the one installed for tests, else the vendor library
// (on Linux, failing that, libftdi1) bound by name on first use. Without the library every role
// answers as a driver with no devices would (count fails, open gives -1, transfers move nothing),
// so callers need no test of their own.
const D2xxApi& d2xx();
// True when d2xx() reaches a driver (installed or bound).
bool d2xxPresent();

// Loads the vendor library by name (on Linux this library's own folder first) and maps
// every role; nothing when the library or any of its functions is missing. The library
// stays loaded for the rest of the process.
std::optional<D2xxApi> bindD2xx(const char* fileName = kD2xxLibraryName);

// Test seam (C++ only, never exported): the table d2xx() returns from now on; null returns
// to the vendor library. The table must outlive its installation.
void installD2xxForTests(const D2xxApi* api);

} // namespace zs::transport
