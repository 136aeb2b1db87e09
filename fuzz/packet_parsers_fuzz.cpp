// Feeds arbitrary bytes, in arbitrary pieces, to both packet parsers and checks each against a
// plain byte-at-a-time model of its framing: the same packets in the same order, the same
// number of checksum diagnostics, payloads within capacity, every byte consumed.
#include "platform/debug_output.h"
#include "transport/packet_process.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

using Packets = std::vector<std::vector<uint8_t>>;

struct Model {
    Packets packets;
    int diagnostics = 0;
};

// Tagged packets, one byte at a time, straight from the frame layout.
Model taggedModel(const uint8_t* d, size_t n, uint32_t cap) {
    static const uint8_t sig[7] = {'k', 'X', '-', 'w', 'a', 'v', 'e'};
    Model m;
    enum { Sig, Variant, Len0, Len1, Sum0, Sum1, Payload, Tail } st = Sig;
    size_t matched = 0;
    uint8_t variant = 0;
    uint32_t len = 0, sumField = 0;
    std::vector<uint8_t> payload;
    auto resync = [&](uint8_t b) {
        st = Sig;
        matched = b == sig[0] ? 1 : 0;
    };
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = d[i];
        switch (st) {
        case Sig:
            if (b == sig[matched]) {
                if (++matched == 7) st = Variant;
            } else {
                matched = b == sig[0] ? 1 : 0;
            }
            break;
        case Variant:
            variant = b;
            st = Len0;
            break;
        case Len0:
            len = b;
            st = Len1;
            break;
        case Len1: {
            len |= b << 8;
            const uint32_t align = variant == '2' ? 2 : variant == '3' ? 4 : 1;
            if (len == 0 || len > cap || len % align) {
                st = Sig;
                matched = 0;
                break;
            }
            payload.clear();
            st = align == 1 ? Payload : Sum0;
            break;
        }
        case Sum0:
            sumField = b;
            st = Sum1;
            break;
        case Sum1:
            sumField |= b << 8;
            st = Payload;
            break;
        case Payload:
            payload.push_back(b);
            if (payload.size() < len) break;
            if (variant != '2' && variant != '3') {
                st = Tail;
                break;
            }
            {
                uint32_t s = 0;
                if (variant == '2') {
                    for (size_t k = 0; k < len; k += 2) s += payload[k] | payload[k + 1] << 8;
                    s &= 0xFFFF;
                } else {
                    for (size_t k = 0; k < len; k += 4)
                        s += payload[k] | payload[k + 1] << 8 | payload[k + 2] << 16 |
                             static_cast<uint32_t>(payload[k + 3]) << 24;
                    s = ((s >> 16) + (s & 0xFFFF)) & 0xFFFF;
                }
                if (s == sumField) {
                    m.packets.push_back(payload);
                    st = Sig;
                    matched = 0;
                } else {
                    ++m.diagnostics;
                    resync(b);
                }
            }
            break;
        case Tail: {
            uint32_t s = 0;
            for (uint8_t x : payload) s += x;
            if ((s & 0xFF) == b) {
                m.packets.push_back(payload);
                st = Sig;
                matched = 0;
            } else {
                ++m.diagnostics;
                resync(b);
            }
            break;
        }
        }
    }
    return m;
}

Model syncModel(const uint8_t* d, size_t n, uint32_t cap) {
    static const uint8_t sync[4] = {0x11, 0x22, 0x33, 0x44};
    Model m;
    enum { Sync, Len0, Len1, Payload, Sum0, Sum1 } st = Sync;
    size_t matched = 0;
    uint32_t len = 0, sumField = 0;
    std::vector<uint8_t> payload;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = d[i];
        switch (st) {
        case Sync:
            if (b == sync[matched]) {
                if (++matched == 4) st = Len0;
            } else {
                matched = b == sync[0] ? 1 : 0;
            }
            break;
        case Len0:
            len = b;
            st = Len1;
            break;
        case Len1:
            len = (len | b << 8) & ~1u;
            matched = 0;
            if (len == 0 || len > cap) {
                st = Sync;
                break;
            }
            payload.clear();
            st = Payload;
            break;
        case Payload:
            payload.push_back(b);
            if (payload.size() == len) st = Sum0;
            break;
        case Sum0:
            sumField = b;
            st = Sum1;
            break;
        case Sum1: {
            sumField |= b << 8;
            uint32_t s = 0;
            for (size_t k = 0; k < len; k += 2) s += payload[k] | payload[k + 1] << 8;
            st = Sync;
            if ((s & 0xFFFF) == sumField) {
                m.packets.push_back(payload);
                matched = 0;
            } else {
                ++m.diagnostics;
                matched = b == sync[0] ? 1 : 0;
            }
            break;
        }
        }
    }
    return m;
}

int g_diagnostics = 0;

Packets runParser(zs::transport::CPacketProcess& p, const uint8_t* d, size_t n, uint8_t chunkSeed) {
    Packets out;
    size_t at = 0;
    uint32_t step = chunkSeed;
    while (at < n) {
        step = step * 1103515245u + 12345u;
        const size_t len = std::min<size_t>(n - at, 1 + (step >> 16) % 97);
        uint32_t pos = 0;
        while (p.process(d + at, static_cast<uint32_t>(len), pos)) {
            if (p.payloadLength() == 0 || p.payloadLength() > p.capacity()) std::abort();
            out.emplace_back(p.payload(), p.payload() + p.payloadLength());
        }
        if (pos != len) std::abort();
        at += len;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint32_t cap = 1 + data[0] % 64;
    const uint8_t chunkSeed = data[1];
    data += 2;
    size -= 2;
    zs::platform::setDebugCapture([](std::string_view) { ++g_diagnostics; });

    {
        g_diagnostics = 0;
        zs::transport::CDoutPacketProcess parser(cap);
        const Packets got = runParser(parser, data, size, chunkSeed);
        const Model want = taggedModel(data, size, cap);
        if (got != want.packets || g_diagnostics != want.diagnostics) std::abort();
    }
    {
        g_diagnostics = 0;
        std::vector<uint8_t> lent(cap);
        zs::transport::CDinPacketProcess parser(cap, lent.data());
        const Packets got = runParser(parser, data, size, chunkSeed);
        const Model want = syncModel(data, size, cap);
        if (got != want.packets || g_diagnostics != want.diagnostics) std::abort();
    }
    zs::platform::setDebugCapture(nullptr);
    return 0;
}
