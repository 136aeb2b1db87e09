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

void sleepMs(uint32_t ms) {
    Sleep(ms);
}

} // namespace zs::platform
