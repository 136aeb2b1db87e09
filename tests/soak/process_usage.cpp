#include "process_usage.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace zs::soak {
namespace {

namespace fs = std::filesystem;

uint32_t entries(const char* folder) {
    uint32_t n = 0;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        ++n;
    return n;
}

uint64_t residentKb() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) != 0) continue;
        std::istringstream fields(line.substr(6));
        uint64_t kb = 0;
        fields >> kb;
        return kb;
    }
    return 0;
}

} // namespace

Usage usageNow() {
    Usage u;
    u.rssKb = residentKb();
    u.threads = entries("/proc/self/task");
    // The listing's own descriptor is open while it reads the folder.
    const uint32_t fds = entries("/proc/self/fd");
    u.fds = fds > 0 ? fds - 1 : 0;
    return u;
}

std::vector<std::string> openDescriptors() {
    std::vector<std::string> out;
    std::error_code error;
    for (fs::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error)) {
        std::error_code unreadable;
        const auto target = fs::read_symlink(it->path(), unreadable);
        out.push_back(it->path().filename().string() + " -> " +
                      (unreadable ? std::string("?") : target.string()));
    }
    return out;
}

} // namespace zs::soak
