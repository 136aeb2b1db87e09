#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace zs::platform {

inline constexpr uint32_t kWaitInfinite = 0xFFFFFFFFu;
inline constexpr int kWaitTimedOut = -1;

#ifdef _WIN32
using NativeWaitHandle = void*; // HANDLE
#else
using NativeWaitHandle = int; // eventfd, readable while set
#endif

// A Win32-style event: manual-reset events stay set until reset; auto-reset events release
// exactly one waiter and clear themselves.
class Event {
  public:
    enum class Reset { Manual, Auto };
    explicit Event(Reset mode, bool initiallySet = false);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    // Waits until set; an auto-reset event is cleared by the wait that takes it.
    bool wait(uint32_t timeoutMs);
    // Non-blocking: true if set (and, for an auto-reset event, takes it).
    bool tryAcquire();
    bool manualReset() const { return mode_ == Reset::Manual; }
    NativeWaitHandle native() const { return handle_; }

  private:
    Reset mode_;
    NativeWaitHandle handle_;
};

// Waits for the first of several events; returns its index, or kWaitTimedOut. When several
// are set the lowest index wins, as with WaitForMultipleObjects.
int waitAny(Event* const* events, size_t count, uint32_t timeoutMs);
inline int waitAny(std::initializer_list<Event*> events, uint32_t timeoutMs) {
    return waitAny(events.begin(), events.size(), timeoutMs);
}

} // namespace zs::platform
