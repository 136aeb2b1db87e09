#include "platform/overlapped.h"

namespace zs::platform {

namespace {
thread_local uint32_t t_lastError = 0;
}

Event& Overlapped::ensureEvent() {
    if (!ioEvent) ioEvent = new Event(Event::Reset::Auto);
    return *ioEvent;
}

void Overlapped::closeEvent() {
    delete ioEvent;
    ioEvent = nullptr;
}

void signalOverlapped(void* block) {
    if (!block) return;
    if (Event* e = Overlapped::fromBlock(block)->ioEvent) e->set();
}

uint32_t lastSystemError() {
    return t_lastError;
}
void setLastSystemError(uint32_t code) {
    t_lastError = code;
}

} // namespace zs::platform
