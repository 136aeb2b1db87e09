#pragma once
#include <cmath>
#include <cstdint>

namespace zs::transport {

// The rate word of a packet-switched link for `rate` bits per second, also stored through
// `out` when given. Header-only, so the simulated driver can read rate packets without the
// library's transports.
inline uint32_t buildRateWord(uint32_t rate, uint32_t* out = nullptr) {
    uint32_t word = 0;
    // Below 1 bit/s or above the 12 MHz base clock the divisor would be zero or undefined:
    // such a rate has no word, and 0 is returned.
    if (rate != 0 && rate <= 12000000) {
        const double r = rate;
        const double n = std::floor(12000000.0 / r);
        const double tick = n / 96000000.0;
        const double bit = 1.0 / r;
        const double m = std::floor(bit / tick);
        const double whole = m * tick;
        double acc = whole;
        double ideal = bit;
        uint32_t pattern = 0;
        for (int i = 0; i <= 8; ++i) {
            if (i > 0) {
                ideal += bit;
                acc += whole;
            }
            if (std::fabs(acc - ideal) > std::fabs(acc + tick - ideal)) {
                pattern |= 1u << i;
                acc += tick;
            }
        }
        const uint32_t divisor = static_cast<uint32_t>(n) - 1;
        const uint32_t ticks = static_cast<uint32_t>(m);
        word = (divisor & 0x7F) | ((divisor >> 7) & 0x7F) << 8 | (pattern & 0x7F) << 16 |
               (ticks & 0x7) << 24 | ((pattern >> 7) & 0x3) << 29;
    }
    if (out) *out = word;
    return word;
}

} // namespace zs::transport
