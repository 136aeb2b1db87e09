#pragma once
#include <functional>
#include <thread>

namespace zs::platform {

// A device's I/O thread: created and stored first, started afterwards, so the body never
// runs before its owner has recorded it. Runs at the highest normal priority.
class IoThread {
  public:
    explicit IoThread(std::function<void()> body) : body_(std::move(body)) {}
    ~IoThread() { join(); }
    IoThread(const IoThread&) = delete;
    IoThread& operator=(const IoThread&) = delete;

    void start();
    bool started() const { return thread_.joinable() || finished_; }
    bool joinable() const { return thread_.joinable(); }
    void join();
    // CPU time the thread has used so far, in seconds; 0 before it starts or once joined.
    double cpuSeconds() const;

  private:
    std::function<void()> body_;
    std::thread thread_;
    bool finished_ = false;
};

// Raises the calling thread to the highest normal priority (best effort).
void raiseCurrentThreadPriority();

} // namespace zs::platform
