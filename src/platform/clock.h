#pragma once
#include <cstdint>

namespace zs::platform {

// The 32-bit millisecond tick. Elapsed times are always `now - then` in uint32_t, so a
// wrap of the counter does no harm.
uint32_t tickMs();

void sleepMs(uint32_t ms);

} // namespace zs::platform
