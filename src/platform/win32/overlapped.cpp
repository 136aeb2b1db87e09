#include "platform/overlapped.h"

#include <cstddef>
#include <windows.h>

namespace zs::platform {

static_assert(sizeof(OverlappedBlock) == sizeof(OVERLAPPED));
static_assert(offsetof(OverlappedBlock, hEvent) == offsetof(OVERLAPPED, hEvent));
// 20 bytes with the event at 16 on 32-bit Windows; 32 with it at 24 on 64-bit.
static_assert(sizeof(OverlappedBlock) == (sizeof(void*) == 8 ? 32 : 20));
static_assert(offsetof(OverlappedBlock, hEvent) == (sizeof(void*) == 8 ? 24 : 16));

Event& Overlapped::ensureEvent() {
    if (!ioEvent) {
        ioEvent = new Event(Event::Reset::Auto);
        block.hEvent = ioEvent->native();
    }
    return *ioEvent;
}

void Overlapped::closeEvent() {
    delete ioEvent;
    ioEvent = nullptr;
    block.hEvent = nullptr;
}

void signalOverlapped(void* block) {
    if (!block) return;
    if (HANDLE h = static_cast<OverlappedBlock*>(block)->hEvent) SetEvent(h);
}

uint32_t lastSystemError() {
    return GetLastError();
}
void setLastSystemError(uint32_t code) {
    SetLastError(code);
}

} // namespace zs::platform
