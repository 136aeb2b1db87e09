#pragma once
#include "platform/event.h"

#include <cstdint>

namespace zs::platform {

// The system's OVERLAPPED block, laid out member for member (20 bytes on 32-bit Windows), so
// the same bytes go to Winsock, WinUSB and the D2XX library. On Linux the D2XX library
// declares the same members with 32-bit words; `hEvent` stays null there, because that
// library would read it as an object of its own.
struct OverlappedBlock {
#ifdef _WIN32
    uintptr_t internal = 0;
    uintptr_t internalHigh = 0;
#else
    uint32_t internal = 0;
    uint32_t internalHigh = 0;
#endif
    uint32_t offset = 0;
    uint32_t offsetHigh = 0;
    void* hEvent = nullptr; // Windows: the native handle of the owner's ioEvent
};

// Which way a posted socket transfer goes (Linux emulation of a pending transfer).
enum class PostedIo : uint8_t { None, Send, Receive };

// A device's overlapped record: the system block first, then its auto-reset `ioEvent`
// (owned, created once and kept), then what Linux needs to stand in for a transfer the
// kernel would keep posted on Windows. Standard layout with the block first, so simulated
// drivers that are handed the block can find the record again (fromBlock).
struct Overlapped {
    OverlappedBlock block;
    Event* ioEvent = nullptr;

    // Linux: the receive or send posted by an earlier call, completed by a later one into
    // the same buffer, as Windows completes it.
    PostedIo posted = PostedIo::None;
    intptr_t postedSocket = -1;
    uint8_t* postedBuffer = nullptr;
    uint32_t postedLength = 0;
    uint32_t postedDone = 0;
    // A receive-from: the sender's address as the system writes it (sockaddr) and its length.
    bool postedWithSender = false;
    uint8_t postedFrom[16] = {};
    int32_t postedFromLength = 0;
    uint32_t postedFlags = 0;
    // A WinUSB pipe transfer out on the block: its pipe, so that it can be withdrawn.
    uint8_t postedPipe = 0;

    Overlapped() = default;
    ~Overlapped() { closeEvent(); }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;

    // Creates the auto-reset event on first use; later calls return the same one.
    Event& ensureEvent();
    void closeEvent();
    bool hasEvent() const { return ioEvent != nullptr; }

    // What system and vendor calls take as their LPOVERLAPPED.
    void* system() { return &block; }
    static Overlapped* fromBlock(void* block) { return reinterpret_cast<Overlapped*>(block); }
};

// Completion as a driver reports it: sets the event named by the block (Windows) or the
// record's ioEvent (Linux). For simulated drivers handed an Overlapped's block.
void signalOverlapped(void* block);

// The calling thread's last system error (GetLastError on Windows, a thread-local value
// elsewhere), so simulated drivers can report "pending" (997) as the real ones do.
uint32_t lastSystemError();
void setLastSystemError(uint32_t code);

inline constexpr uint32_t kErrorIoPending = 997;
inline constexpr uint32_t kErrorIoIncomplete = 996;

} // namespace zs::platform
