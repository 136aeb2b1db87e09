#pragma once
// Builds instrument records byte by byte, little-endian, for decoder tests.
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace zs::test {

class RecordBuilder {
  public:
    RecordBuilder& u8(uint8_t v) {
        bytes.push_back(v);
        return *this;
    }
    RecordBuilder& u16(uint16_t v) { return u8(uint8_t(v)).u8(uint8_t(v >> 8)); }
    RecordBuilder& u32(uint32_t v) { return u16(uint16_t(v)).u16(uint16_t(v >> 16)); }
    RecordBuilder& i32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
    RecordBuilder& f32(float v) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        return u32(bits);
    }
    RecordBuilder& f64(double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        return u32(uint32_t(bits)).u32(uint32_t(bits >> 32));
    }
    RecordBuilder& units(std::u16string_view text) {
        for (char16_t c : text) u16(c);
        return *this;
    }
    RecordBuilder& raw(const std::vector<uint8_t>& more) {
        bytes.insert(bytes.end(), more.begin(), more.end());
        return *this;
    }
    RecordBuilder& zeros(size_t n) {
        bytes.insert(bytes.end(), n, 0);
        return *this;
    }
    std::vector<uint8_t> bytes;
};

} // namespace zs::test
