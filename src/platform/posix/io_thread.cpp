#include "platform/io_thread.h"

#include <pthread.h>
#include <system_error>
#include <time.h>

namespace zs::platform {

void releaseThreadsWithoutWaiting() {
    // Nothing to do here: unloading a shared object does not hold a lock that a thread needs
    // in order to end, so the unload joins its threads.
}

bool IoThread::running() const {
    return thread_.joinable();
}

bool IoThread::start() {
    if (running() || finished_ || !body_) return false;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void IoThread::join() {
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach(); // a thread cannot wait for itself
    else
        thread_.join();
    finished_ = true;
}

double IoThread::cpuSeconds() const {
    if (!thread_.joinable()) return 0.0;
    auto handle = const_cast<std::thread&>(thread_).native_handle();
    clockid_t clock;
    timespec ts{};
    if (pthread_getcpuclockid(handle, &clock) != 0 || clock_gettime(clock, &ts) != 0) return 0.0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

} // namespace zs::platform
