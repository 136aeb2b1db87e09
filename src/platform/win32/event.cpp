#include "platform/event.h"

#include <stdexcept>
#include <vector>
#include <windows.h>

namespace zs::platform {

Event::Event(Reset mode, bool initiallySet) : mode_(mode) {
    handle_ = CreateEventW(nullptr, mode == Reset::Manual, initiallySet, nullptr);
    if (!handle_) throw std::runtime_error("CreateEvent");
}

Event::~Event() {
    CloseHandle(handle_);
}
void Event::set() {
    SetEvent(handle_);
}
void Event::reset() {
    ResetEvent(handle_);
}
bool Event::tryAcquire() {
    return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0;
}
bool Event::wait(uint32_t timeoutMs) {
    return WaitForSingleObject(handle_, timeoutMs) == WAIT_OBJECT_0;
}

int waitAny(Event* const* events, size_t count, uint32_t timeoutMs) {
    std::vector<HANDLE> handles(count);
    for (size_t i = 0; i < count; ++i) handles[i] = events[i]->native();
    const DWORD r =
        WaitForMultipleObjects(static_cast<DWORD>(count), handles.data(), FALSE, timeoutMs);
    if (r >= WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + count) return static_cast<int>(r - WAIT_OBJECT_0);
    return kWaitTimedOut;
}

} // namespace zs::platform
