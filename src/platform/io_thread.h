#pragma once
#include <functional>
#include <thread>

namespace zs::platform {

// Raises the calling thread to the highest normal priority (best effort).
void raiseCurrentThreadPriority();

// A thread of the library (a device's I/O thread, a module's reader): created and stored
// first, started afterwards, so the body never runs before its owner has recorded it.
// An exception leaving the body ends the thread quietly: a host process must never be
// terminated by one of the library's threads.
//
// On Windows each running thread holds a reference to the library's module, released as the
// thread exits (FreeLibraryAndExitThread): a host that unloads the DLL while threads still run
// never has the code unmapped under them, and the DLL entry never waits for a thread.
class IoThread {
  public:
    explicit IoThread(std::function<void()> body, bool raisePriority = true)
        : body_(std::move(body)), raisePriority_(raisePriority) {}
    ~IoThread() { join(); }
    IoThread(const IoThread&) = delete;
    IoThread& operator=(const IoThread&) = delete;

    // False when the system could not create the thread.
    bool start();
    bool started() const { return running() || finished_; }
    bool joinable() const { return running(); }
    void join();
    // CPU time the thread has used so far, in seconds; 0 before it starts or once joined.
    double cpuSeconds() const;

  private:
    bool running() const;
    // The thread's own code: the body, with nothing thrown past it.
    void run() {
        if (raisePriority_) raiseCurrentThreadPriority();
        try {
            body_();
        } catch (...) {
        }
    }

    std::function<void()> body_;
    bool raisePriority_;
    bool finished_ = false;
#ifdef _WIN32
    void* handle_ = nullptr;
    unsigned long id_ = 0;
    friend unsigned long __stdcall ioThreadEntry(void*);
#else
    std::thread thread_;
#endif
};

// Called by the DLL entry before it unloads the library state: from then on a join does not
// wait (every thread has already left the library's code, see IoThread) but only lets go.
void releaseThreadsWithoutWaiting();

} // namespace zs::platform
