#include "platform/clock.h"

#include <windows.h>

namespace zs::platform {

uint32_t tickMs() {
    return GetTickCount();
}
void sleepMs(uint32_t ms) {
    Sleep(ms);
}

} // namespace zs::platform
