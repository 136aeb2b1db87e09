#include "command_log.h"

#include <algorithm>
#include <cstring>

namespace zs::sim {
namespace {

uint16_t u16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t u32(const uint8_t* p) {
    return u16(p) | static_cast<uint32_t>(u16(p + 2)) << 16;
}

std::vector<uint16_t> wordsOf(std::span<const uint8_t> bytes) {
    std::vector<uint16_t> w;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) w.push_back(u16(bytes.data() + i));
    return w;
}

Command named(std::string name, std::vector<int64_t> values = {}) {
    return Command{std::move(name), std::move(values), {}};
}

// Two-byte commands: A0 then the command byte.
std::optional<Command> twoByte(uint8_t c) {
    switch (c) {
    case 0x1A:
        return named("streamMode", {1});
    case 0x2A:
        return named("streamMode", {0});
    case 0x0A:
        return named("streamMode", {-1});
    case 0x5A:
        return named("signalMode", {0});
    case 0x6A:
        return named("signalMode", {1});
    case 0x3A:
        return named("reset");
    case 0x4A:
        return named("startStop");
    case 0xEA:
        return named("polarity", {1});
    case 0xFA:
        return named("polarity", {0});
    case 0x7A:
    case 0x8A:
    case 0x9A:
    case 0xAA:
        return named("rangeByte", {(c - 0x7A) / 16}); // the instrument's own range code
    default:
        return std::nullopt;
    }
}

} // namespace

std::ostream& operator<<(std::ostream& out, const Command& c) {
    out << c.name;
    for (int64_t v : c.values) out << ' ' << v;
    if (!c.text.empty()) out << " \"" << std::string(c.text.begin(), c.text.end()) << '"';
    return out;
}

Command decodeTaggedPayload(std::span<const uint8_t> p) {
    const auto w = wordsOf(p);
    if (w.empty()) return named("empty");
    const auto words = [&](size_t from) {
        std::vector<int64_t> v;
        for (size_t i = from; i < w.size(); ++i) v.push_back(w[i]);
        return v;
    };
    switch (w[0]) {
    case 10:
        if (w.size() == 2 && w[1] == 4) return named("signalMode");
        if (w.size() == 4 && w[1] == 2)
            return named("rateSwitch", {u32(p.data() + 4) & 0x7FFFFFFF});
        return named("streamMode", words(1));
    case 1:
        return named("reset", words(1));
    case 2:
        return named("startStop", words(1));
    case 21:
        return named("start");
    case 22:
        return named("stop");
    case 3:
        return named("range", words(1));
    case 4:
        return named("polarity", words(1));
    case 18:
        return named("icpMode", words(1));
    case 26:
        return named("zeroChannelMode", words(1));
    case 19:
        return named("switchOff", words(1));
    case 17:
        if (p.size() == 16)
            return named("calibration", {w[1], static_cast<int32_t>(u32(p.data() + 4)),
                                         static_cast<int32_t>(u32(p.data() + 8)),
                                         static_cast<int32_t>(u32(p.data() + 12))});
        break;
    case 16:
        if (p.size() == 20) {
            std::vector<int64_t> v{u32(p.data() + 2)};
            for (size_t i = 3; i < 10; ++i) v.push_back(w[i]);
            return named("bands", v);
        }
        break;
    case 11:
        if (p.size() >= 10) return named("dateTime", {u32(p.data() + 2), u32(p.data() + 6)});
        break;
    case 14: {
        Command c = named("program");
        for (size_t i = 1; i < w.size() && w[i] != 0; ++i)
            c.text.push_back(static_cast<char16_t>(w[i]));
        return c;
    }
    case 32:
        if (p.size() == 8) return named("sigRegMode", words(1));
        if (p.size() == 6) return named("generatorFrequency", {u32(p.data() + 2)});
        break;
    case 33:
        if (p.size() == 6) return named("generatorAmplitude", {u32(p.data() + 2)});
        break;
    case 34:
        if (p.size() == 6) return named("generatorLevel", {u32(p.data() + 2)});
        break;
    default:
        break;
    }
    Command c = named("unknown");
    for (uint16_t x : w) c.values.push_back(x);
    return c;
}

Command decodeSyncWords(std::span<const uint16_t> w) {
    if (w.empty()) return named("empty");
    if (w[0] == 7 && w.size() == 16) {
        // Five bands: frequency word, then its bandwidth code.
        Command c = named("syncBands");
        for (size_t i = 1; i + 2 < w.size() + 1; i += 3)
            c.values.push_back(w[i] | static_cast<int64_t>(w[i + 1]) << 16);
        c.values.push_back(w[3]);
        return c;
    }
    if (w.size() == 2) {
        switch (w[0]) {
        case 10:
            return named("streamMode", {w[1]});
        case 1:
            return named("reset");
        case 2:
            return named("startStop");
        case 3:
            return named("range", {w[1]});
        case 4:
            return named("polarity", {w[1]});
        case 18:
            return named("icpMode", {w[1]});
        default:
            break;
        }
    }
    Command c = named("unknown");
    for (uint16_t x : w) c.values.push_back(x);
    return c;
}

std::optional<Command> decodeWinUsbFrame(std::span<const uint8_t> f) {
    if (f.size() != 512 || f[0] != 0x65 || f[1] != 0xAF) return std::nullopt;
    const uint16_t control = u16(f.data() + 2);
    if (!(control & 0x8000)) return std::nullopt;
    const size_t bytes = std::min<size_t>(2 * (control & 0x7FFF), 508);
    return decodeTaggedPayload(f.subspan(4, bytes));
}

std::optional<Command> decodeDatagram(std::span<const uint8_t> d) {
    if (d.size() < 20 || u32(d.data()) != 0x7B7A8ACB || u32(d.data() + 4) != 0x84857534 ||
        u32(d.data() + 12) != 0x84857534 || u32(d.data() + 16) != 0x7B7A8ACB)
        return std::nullopt;
    const uint32_t command = u32(d.data() + 8);
    if ((command & 0x7FFFFFFF) == 8) return named("streamMode", {command >> 31});
    // Commands travel with their payload padded to whole 32-bit words.
    if (command == 11) return decodeTaggedPayload(d.subspan(20));
    Command c = named("datagram", {command});
    return c;
}

void ByteCommandReader::feed(const uint8_t* bytes, size_t length, std::vector<Command>& out) {
    pending_.insert(pending_.end(), bytes, bytes + length);
    size_t i = 0;
    while (i < pending_.size()) {
        const size_t left = pending_.size() - i;
        const uint8_t* p = pending_.data() + i;
        if (p[0] == 0xA0) {
            if (left < 2) break;
            if (auto c = twoByte(p[1])) out.push_back(*c);
            i += 2;
        } else if (p[0] == 'k') {
            if (left < 10) break;
            if (std::memcmp(p, "kX-wave", 7) != 0) {
                ++i;
                continue;
            }
            const size_t n = u16(p + 8);
            if (left < 10 + n + 1) break;
            out.push_back(decodeTaggedPayload({p + 10, n}));
            i += 10 + n + 1;
        } else if (p[0] == 0x11) {
            if (left < 6) break;
            if (p[1] != 0x22 || p[2] != 0x33 || p[3] != 0x44) {
                ++i;
                continue;
            }
            const size_t n = u16(p + 4) & ~size_t{1};
            if (left < 6 + n + 2) break;
            std::vector<uint16_t> w;
            for (size_t k = 0; k < n; k += 2) w.push_back(u16(p + 6 + k));
            out.push_back(decodeSyncWords(w));
            i += 6 + n + 2;
        } else {
            ++i;
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(i));
}

} // namespace zs::sim
