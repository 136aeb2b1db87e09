#pragma once
#include "platform/clock.h"

#include <cstdint>
#include <functional>

namespace zs::test {

// Polls `done` every 5 ms for at most `limitMs`; true once it holds.
inline bool eventually(const std::function<bool()>& done, uint32_t limitMs = 5000) {
    const uint32_t start = platform::tickMs();
    while (!done()) {
        if (platform::tickMs() - start >= limitMs) return done();
        platform::sleepMs(5);
    }
    return true;
}

} // namespace zs::test
