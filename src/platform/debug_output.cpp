#include "platform/debug_output.h"

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
