#pragma once
#include "platform/event.h"
#include "platform/overlapped.h"

#include <cstdint>
#include <string>

#ifdef _WIN32
#define ZS_WINAPI __stdcall
#else
#define ZS_WINAPI
#endif

namespace zs::transport {

// A WinUSB device file (HANDLE); kInvalidFile (-1) for none.
inline void* const kInvalidFile = reinterpret_cast<void*>(intptr_t{-1});

struct InterfaceClassGuid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};
// The device-interface class of the WinUSB instruments.
inline constexpr InterfaceClassGuid kInstrumentInterfaceClass{
    0xD68DF58E, 0xB2AD, 0x4C26, {0x8C, 0xCF, 0x66, 0x7B, 0x40, 0x5C, 0x41, 0x73}};

inline constexpr uint32_t kNoMoreItems = 259; // ERROR_NO_MORE_ITEMS
inline constexpr uint8_t kWinUsbOutPipe = 0x06;
inline constexpr uint8_t kWinUsbInPipe = 0x85;
// Raw-signal mode: the instrument's free output space comes in on the status pipe, the
// signal it plays goes out on the output pipe.
inline constexpr uint8_t kWinUsbStatusPipe = 0x83;
inline constexpr uint8_t kWinUsbSignalOutPipe = 0x07;

// The six WinUSB entry points the library uses, in the vendor's signatures with portable
// types (handles as pointers, BOOL as int32_t, ULONG as uint32_t, OVERLAPPED as void*),
// and the device-interface enumeration that finds the device files to initialise them on.
struct WinUsbApi {
    using Initialize = int32_t(ZS_WINAPI*)(void* deviceHandle, void** interfaceHandle);
    using Free = int32_t(ZS_WINAPI*)(void* interfaceHandle);
    using Pipe = int32_t(ZS_WINAPI*)(void* interfaceHandle, uint8_t pipeId, uint8_t* buffer,
                                     uint32_t length, uint32_t* transferred, void* overlapped);
    using OverlappedResult = int32_t(ZS_WINAPI*)(void* interfaceHandle, void* overlapped,
                                                 uint32_t* transferred, int32_t wait);
    using QueryPipe = int32_t(ZS_WINAPI*)(void* interfaceHandle, uint8_t altSetting,
                                          uint8_t pipeIndex, void* pipeInformation);
    using AbortPipe = int32_t(ZS_WINAPI*)(void* interfaceHandle, uint8_t pipeId);

    // Enumeration (SetupAPI on Windows): the set of present devices with an interface of the
    // class (null on failure); the path of interface `index` of the set, 0 on success,
    // kNoMoreItems past the last, any other value for an interface to skip; the set's
    // release. The device file is opened for overlapped reading and writing, shared, and
    // closed by closeFile.
    using OpenInterfaceSet = void* (*)(const InterfaceClassGuid& interfaceClass);
    using InterfacePath = uint32_t (*)(void* set, uint32_t index, std::u16string* path);
    using CloseInterfaceSet = void (*)(void* set);
    using OpenFile = void* (*)(const std::u16string& path);
    using CloseFile = void (*)(void* file);

    Initialize initialize = nullptr;
    Free free = nullptr;
    Pipe readPipe = nullptr;
    OverlappedResult overlappedResult = nullptr;
    Pipe writePipe = nullptr;
    QueryPipe queryPipe = nullptr;
    uint8_t bound = 0;
    // Withdraws the transfers pending on a pipe; optional (a transfer then runs to its end).
    AbortPipe abortPipe = nullptr;

    OpenInterfaceSet openInterfaceSet = nullptr;
    InterfacePath interfacePath = nullptr;
    CloseInterfaceSet closeInterfaceSet = nullptr;
    OpenFile openFile = nullptr;
    CloseFile closeFile = nullptr;
};

// The binding in force for the process: the one installed for tests, else "winusb.dll"
// bound by name once (Windows) or the same roles on libusb-1.0 (Linux). `bound` is set only when
// all six entry points resolve.
const WinUsbApi& winUsb();

// A copy of winUsb(), for the library state made at load.
WinUsbApi bindWinUsb();

// Test seam (C++ only, never exported): the binding winUsb() returns from now on; null
// returns to the system's. The table is copied.
void installWinUsbForTests(const WinUsbApi* api);

// Frees the interface (when there is one) and closes its device file, leaving both "none".
void releaseWinUsb(void*& interfaceHandle, void*& file);

// How long an instrument may take to accept a write before it is given up, and how long a
// withdrawn transfer may take to hand its block and buffer back.
inline constexpr uint32_t kWinUsbWriteTimeoutMs = 1000;
inline constexpr uint32_t kWinUsbAbandonMs = 1000;

// Pipe transfers: out to pipe 0x06, in from pipe 0x85. A pending transfer is waited for
// together with `stop` (a write at most kWinUsbWriteTimeoutMs, a read without limit). No
// transfer outlives the call: one that a stop or the time-out leaves pending is withdrawn and
// collected before the call returns 0, so its buffer may be the caller's own.
uint32_t winUsbWrite(void* interfaceHandle, const uint8_t* buffer, uint32_t length,
                     platform::Event* stop, platform::Overlapped& io);
uint32_t winUsbRead(void* interfaceHandle, uint8_t* buffer, uint32_t length, platform::Event* stop,
                    platform::Overlapped& io);

// The parts of a transfer, for threads that keep one posted across turns. A block carries at
// most one transfer: `io.posted` is set while one is out, `io.postedPipe` names its pipe.
enum class PipeState { Done, Pending, Failed };
// Posts on `pipe`; a transfer still out on the block is withdrawn and collected first.
// Done (with `count`) when it completed at once.
PipeState winUsbPost(WinUsbApi::Pipe call, void* interfaceHandle, uint8_t pipe, uint8_t* buffer,
                     uint32_t length, platform::Overlapped& io, uint32_t& count);
// The posted transfer's state without waiting: Done (with `count`) or Failed once it is over,
// and then the block is free again.
PipeState winUsbPoll(void* interfaceHandle, platform::Overlapped& io, uint32_t& count);
// Waits at most `timeoutMs` for the posted transfer, or until `stop` (may be null); Pending
// when it is still out.
PipeState winUsbWait(void* interfaceHandle, platform::Overlapped& io, platform::Event* stop,
                     uint32_t timeoutMs, uint32_t& count);
// Withdraws the posted transfer (when there is one) and waits, at most `timeoutMs`, until the
// system has handed back its block and buffer.
void winUsbAbandon(void* interfaceHandle, platform::Overlapped& io,
                   uint32_t timeoutMs = kWinUsbAbandonMs);

} // namespace zs::transport
