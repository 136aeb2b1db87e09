#include "platform/serial_port.h"

#include <atomic>

namespace zs::platform {
namespace {
std::atomic<const std::vector<std::string>*> g_candidates{nullptr};
} // namespace

bool isSerialPortName(std::string_view name) {
    return name.starts_with("\\\\") || name.starts_with("/dev/");
}

std::vector<std::string> serialPortCandidates() {
    if (const auto* installed = g_candidates.load(std::memory_order_acquire)) return *installed;
    return systemSerialCandidates();
}

void installSerialCandidatesForTests(const std::vector<std::string>* candidates) {
    g_candidates.store(candidates, std::memory_order_release);
}

} // namespace zs::platform
