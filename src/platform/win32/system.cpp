#include "platform/io_thread.h"
#include "platform/sockets.h"

#include <string>
#include <windows.h>
#include <winsock2.h>

namespace zs::platform {

void writeSystemDebugOutput(const std::string& text) {
    OutputDebugStringA(text.c_str());
}

bool socketsStartup() {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void socketsCleanup() {
    WSACleanup();
}

void raiseCurrentThreadPriority() {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
}

} // namespace zs::platform
