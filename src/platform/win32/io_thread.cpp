#include "platform/io_thread.h"

#include <atomic>
#include <windows.h>

namespace zs::platform {
namespace {

std::atomic<bool> g_releaseOnly{false};

// The module this code lives in: the DLL when shipped, the program when linked into a test.
HMODULE referenceOwnModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(&referenceOwnModule), &module);
    return module;
}

struct Start {
    IoThread* thread;
    HMODULE module;
};

} // namespace

void releaseThreadsWithoutWaiting() {
    g_releaseOnly = true;
}

unsigned long __stdcall ioThreadEntry(void* argument) {
    const Start start = *static_cast<Start*>(argument);
    delete static_cast<Start*>(argument);
    start.thread->run();
    // The module goes only after this thread has left its code.
    if (start.module) FreeLibraryAndExitThread(start.module, 0);
    return 0;
}

bool IoThread::running() const {
    return handle_ != nullptr;
}

bool IoThread::start() {
    if (running() || finished_ || !body_) return false;
    Start* argument = new (std::nothrow) Start{this, referenceOwnModule()};
    if (!argument) return false;
    DWORD id = 0;
    HANDLE h = CreateThread(nullptr, 0, ioThreadEntry, argument, 0, &id);
    if (!h) {
        if (argument->module) FreeLibrary(argument->module);
        delete argument;
        return false;
    }
    handle_ = h;
    id_ = id;
    return true;
}

void IoThread::join() {
    if (!handle_) return;
    // A thread cannot wait for itself; during the loader's unload nothing waits for a thread.
    if (id_ != GetCurrentThreadId() && !g_releaseOnly) WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
    handle_ = nullptr;
    finished_ = true;
}

double IoThread::cpuSeconds() const {
    if (!handle_) return 0.0;
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(handle_, &created, &exited, &kernel, &user)) return 0.0;
    const auto ticks = [](const FILETIME& t) {
        return static_cast<double>(static_cast<uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e7;
}

} // namespace zs::platform
