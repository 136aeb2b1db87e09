#include "platform/debug_output.h"

#include "trace/trace.h"

#include <mutex>
#include <string>

namespace zs::platform {
namespace {
std::mutex& captureMutex() {
    static std::mutex m;
    return m;
}
DebugCapture& capture() {
    static DebugCapture c;
    return c;
}
} // namespace

void writeSystemDebugOutput(const std::string& text); // per platform

void debugOutput(std::string_view text) {
    // The trace carries these notes where no debugger listens (every platform but Windows).
    if (trace::on()) {
        std::string_view line = text;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        trace::emit(line);
    }
    std::string copy(text);
    writeSystemDebugOutput(copy);
    std::lock_guard lock(captureMutex());
    if (capture()) capture()(copy);
}

void setDebugCapture(DebugCapture c) {
    std::lock_guard lock(captureMutex());
    capture() = std::move(c);
}

} // namespace zs::platform
