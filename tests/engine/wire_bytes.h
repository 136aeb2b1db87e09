#pragma once
// Expected bytes on the wire, spelt out by hand rather than built with the code under test.
#include "transport/link_kind.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace zs::test::wire {

using Bytes = std::vector<uint8_t>;

inline constexpr transport::LinkKind kTaggedKind = transport::LinkKind::FtdiDirect;
inline constexpr transport::LinkKind kSyncKind = transport::LinkKind::FtdiDirectSync;

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// "kX-wave", variant 0, then the literal length, payload and checksum.
inline Bytes tagged(const Bytes& rest) {
    return concat({{'k', 'X', '-', 'w', 'a', 'v', 'e', 0x00}, rest});
}

// A 512-byte WinUSB command frame around `payload`.
inline Bytes winUsbFrame(const Bytes& payload) {
    Bytes frame(512, 0);
    frame[0] = 0x65;
    frame[1] = 0xAF;
    frame[2] = static_cast<uint8_t>(payload.size() / 2);
    frame[3] = 0x80;
    std::copy(payload.begin(), payload.end(), frame.begin() + 4);
    return frame;
}

} // namespace zs::test::wire
