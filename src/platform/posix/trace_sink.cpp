#include "platform/trace_sink.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace zs::platform {

void useStandardError(TraceSink& sink) {
    sink.handle = STDERR_FILENO;
    sink.standardError = true;
}

bool openTraceFile(TraceSink& sink, std::string_view utf8Path) {
    const std::string path(utf8Path);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    sink.handle = fd;
    sink.standardError = false;
    return true;
}

void writeTrace(const TraceSink& sink, std::string_view line) {
    if (sink.handle < 0) return;
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(static_cast<int>(sink.handle), p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void closeTraceSink(TraceSink& sink) {
    if (sink.handle >= 0 && !sink.standardError) ::close(static_cast<int>(sink.handle));
    sink = TraceSink{};
}

std::optional<std::string> environmentText(const char* name) {
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
}

uint32_t processId() {
    return static_cast<uint32_t>(::getpid());
}

} // namespace zs::platform
