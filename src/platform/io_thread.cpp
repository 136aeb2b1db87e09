#include "platform/io_thread.h"

#include <pthread.h> // winpthreads under MinGW: the std::thread handle is a pthread_t
#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

namespace zs::platform {

void IoThread::start() {
    if (thread_.joinable() || finished_ || !body_) return;
    thread_ = std::thread([this] {
        raiseCurrentThreadPriority();
        body_();
    });
}

void IoThread::join() {
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach(); // a thread cannot wait for itself
    } else {
        thread_.join();
    }
    finished_ = true;
}

double IoThread::cpuSeconds() const {
    if (!thread_.joinable()) return 0.0;
    auto handle = const_cast<std::thread&>(thread_).native_handle();
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(pthread_gethandle(handle), &created, &exited, &kernel, &user)) return 0.0;
    const auto ticks = [](const FILETIME& t) {
        return static_cast<double>(static_cast<uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e7;
#else
    clockid_t clock;
    timespec ts{};
    if (pthread_getcpuclockid(handle, &clock) != 0 || clock_gettime(clock, &ts) != 0) return 0.0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
#endif
}

} // namespace zs::platform
