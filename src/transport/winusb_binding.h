#pragma once
#include <cstdint>
#include <memory>

#ifdef _WIN32
#define ZS_WINAPI __stdcall
#else
#define ZS_WINAPI
#endif

namespace zs::transport {

// The six WinUSB entry points the library uses, in the vendor's signatures with portable
// types (handles as pointers, BOOL as int32_t, ULONG as uint32_t, OVERLAPPED as void*).
struct WinUsbApi {
    using Initialize = int32_t(ZS_WINAPI*)(void* deviceHandle, void** interfaceHandle);
    using Free = int32_t(ZS_WINAPI*)(void* interfaceHandle);
    using Pipe = int32_t(ZS_WINAPI*)(void* interfaceHandle, uint8_t pipeId, uint8_t* buffer,
                                     uint32_t length, uint32_t* transferred, void* overlapped);
    using OverlappedResult = int32_t(ZS_WINAPI*)(void* interfaceHandle, void* overlapped,
                                                 uint32_t* transferred, int32_t wait);
    using QueryPipe = int32_t(ZS_WINAPI*)(void* interfaceHandle, uint8_t altSetting,
                                          uint8_t pipeIndex, void* pipeInformation);

    Initialize initialize = nullptr;
    Free free = nullptr;
    Pipe readPipe = nullptr;
    OverlappedResult overlappedResult = nullptr;
    Pipe writePipe = nullptr;
    QueryPipe queryPipe = nullptr;
    uint8_t bound = 0;
};

// Loads "winusb.dll" by name and resolves the six entry points; `bound` is set only when all
// six resolve. On Linux there is no WinUSB and the result is never bound. A simulated binding
// installed through the test seam is returned instead.
WinUsbApi bindWinUsb();

// Test seam (C++ only, never exported): the binding the next library load uses instead of
// the system's. Pass null to return to the system's binding.
void installWinUsbForTests(const WinUsbApi* api);

} // namespace zs::transport
