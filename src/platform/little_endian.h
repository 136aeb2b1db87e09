#pragma once
#include <cstdint>

namespace zs::platform {

// Values on the wire and in files: least significant byte first.
constexpr uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
constexpr uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

} // namespace zs::platform
