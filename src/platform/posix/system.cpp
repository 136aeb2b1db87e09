#include "platform/io_thread.h"
#include "platform/sockets.h"

#include <pthread.h>
#include <string>

namespace zs::platform {

// No debugger channel on Linux: the text reaches only a capture, if one is installed.
void writeSystemDebugOutput(const std::string&) {}

bool socketsStartup() {
    return true;
}
void socketsCleanup() {}

void raiseCurrentThreadPriority() {
    // Ordinary users may not raise priorities under the default scheduler; nothing to do.
}

} // namespace zs::platform
