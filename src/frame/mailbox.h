#pragma once
#include <atomic>
#include <cstdint>

namespace zs::frame {

inline constexpr uint32_t kMailboxWaitMs = 500;
inline constexpr uint32_t kVirtualDeviceWaitMs = 4500;

// Hands a command to a device's I/O thread: stores `value` with one atomic exchange, then
// polls every 10 ms until the thread has stored a negative value or `limitMs` has passed.
// Reports nothing: a command not taken in time stays pending.
void mailboxStoreAndWait(std::atomic<int32_t>& mailbox, int32_t value,
                         uint32_t limitMs = kMailboxWaitMs);

// The same wait for a slot that another exchange has already filled: polls until `done()`
// holds or `limitMs` has passed.
template <class Done>
void waitForSlot(Done&& done, uint32_t limitMs = kMailboxWaitMs);

} // namespace zs::frame

#include "platform/clock.h"

namespace zs::frame {

template <class Done>
void waitForSlot(Done&& done, uint32_t limitMs) {
    const uint32_t start = platform::tickMs();
    // The time test comes first, so the slot is examined right after the store.
    for (uint32_t elapsed; (elapsed = platform::tickMs() - start) < limitMs;) {
        if (done()) return;
        // The last pause ends at the limit, not a whole poll past it.
        const uint32_t left = limitMs - elapsed;
        platform::sleepMs(left < 10 ? left : 10);
    }
}

} // namespace zs::frame
