#include "platform/io_thread.h"

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

} // namespace zs::platform
