#pragma once
// What the process holds, read from /proc/self: resident memory, threads, open descriptors.
#include <cstdint>
#include <string>
#include <vector>

namespace zs::soak {

struct Usage {
    uint64_t rssKb = 0;
    uint32_t threads = 0;
    uint32_t fds = 0;
};

Usage usageNow();
// Where each open descriptor points ("socket:[123]", a path...), to name what was left open.
std::vector<std::string> openDescriptors();

} // namespace zs::soak
