#include "platform/clock.h"

#include <windows.h>

namespace zs::platform {

// Milliseconds of the performance counter, cut to 32 bits: the same wrapping tick as
// GetTickCount, without its 15.6 ms steps, so short waits measure what they waited.
uint32_t tickMs() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const auto seconds = static_cast<unsigned long long>(now.QuadPart / frequency);
    const auto rest = static_cast<unsigned long long>(now.QuadPart % frequency);
    return static_cast<uint32_t>(seconds * 1000 + rest * 1000 / frequency);
}

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

void sleepMs(uint32_t ms) {
    // Sleep ends on a tick of the system timer (15.6 ms apart by default), which stretches
    // the short polls of the library; a high-resolution timer ends them on time. Windows
    // before 10 (1803) has none and keeps Sleep.
    if (ms > 0 && ms != INFINITE) {
        HANDLE timer = CreateWaitableTimerExW(
            nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
        if (timer) {
            LARGE_INTEGER due;
            due.QuadPart = -static_cast<LONGLONG>(ms) * 10000; // relative, in 100 ns
            const bool set = SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) != 0;
            if (set) WaitForSingleObject(timer, INFINITE);
            CloseHandle(timer);
            if (set) return;
        }
    }
    Sleep(ms);
}

} // namespace zs::platform
