#include "platform/event.h"

#include "platform/clock.h"

#include <cerrno>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace zs::platform {

// An eventfd whose counter is non-zero while the event is set: readable means set.
Event::Event(Reset mode, bool initiallySet) : mode_(mode) {
    handle_ = eventfd(initiallySet ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (handle_ < 0) throw std::runtime_error("eventfd");
}

Event::~Event() {
    close(handle_);
}

void Event::set() {
    const uint64_t one = 1;
    while (write(handle_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Event::reset() {
    uint64_t value;
    while (read(handle_, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

bool Event::tryAcquire() {
    if (mode_ == Reset::Auto) {
        uint64_t value;
        ssize_t n;
        while ((n = read(handle_, &value, sizeof value)) < 0 && errno == EINTR) {
        }
        return n == sizeof value;
    }
    pollfd p{handle_, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

bool Event::wait(uint32_t timeoutMs) {
    Event* self = this;
    return waitAny(&self, 1, timeoutMs) == 0;
}

int waitAny(Event* const* events, size_t count, uint32_t timeoutMs) {
    std::vector<pollfd> fds(count);
    const uint32_t start = tickMs();
    for (;;) {
        for (size_t i = 0; i < count; ++i) fds[i] = pollfd{events[i]->native(), POLLIN, 0};
        int wait = -1;
        if (timeoutMs != kWaitInfinite) {
            const uint32_t elapsed = tickMs() - start;
            wait = elapsed >= timeoutMs ? 0 : static_cast<int>(timeoutMs - elapsed);
        }
        const int n = poll(fds.data(), fds.size(), wait);
        if (n < 0 && errno != EINTR) return kWaitTimedOut;
        if (n > 0) {
            for (size_t i = 0; i < count; ++i) {
                // Another waiter may have taken an auto-reset event first: then wait on.
                if ((fds[i].revents & POLLIN) && events[i]->tryAcquire())
                    return static_cast<int>(i);
            }
        }
        if (n == 0 && wait == 0) return kWaitTimedOut;
        if (timeoutMs != kWaitInfinite && tickMs() - start >= timeoutMs) {
            for (size_t i = 0; i < count; ++i)
                if (events[i]->tryAcquire()) return static_cast<int>(i);
            return kWaitTimedOut;
        }
    }
}

} // namespace zs::platform
