#pragma once
#include <cstdint>
#include <string>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace zs::test {

// A loopback address of its own for each simulated network instrument, so instruments on
// fixed ports never meet one left by another test or another test program running at once.
inline uint32_t freshLoopbackAddress() {
    static uint32_t next = 0;
#ifdef _WIN32
    const uint32_t process = static_cast<uint32_t>(_getpid());
#else
    const uint32_t process = static_cast<uint32_t>(getpid());
#endif
    ++next;
    return 0x7F000000u | (20 + process % 200) << 16 | (next % 250) << 8 | 1;
}

inline std::string dotted(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." +
           std::to_string((a >> 8) & 0xFF) + "." + std::to_string(a & 0xFF);
}

inline std::u16string wide(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

} // namespace zs::test
