#include "description_source.h"

#include <cstring>
#include <string>

namespace zsdesc {
namespace {

class Writer {
  public:
    void u16(uint16_t v) {
        bytes.push_back(uint8_t(v));
        bytes.push_back(uint8_t(v >> 8));
    }
    void u32(uint32_t v) {
        u16(uint16_t(v));
        u16(uint16_t(v >> 16));
    }
    void f64(double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        u32(uint32_t(bits));
        u32(uint32_t(bits >> 32));
    }
    void count(size_t n) {
        if (n > UINT32_MAX) throw FormatError("too many entries for a 32-bit count");
        u32(static_cast<uint32_t>(n));
    }
    void str(const std::u16string& s) {
        count(s.size());
        for (char16_t c : s) u16(c);
    }
    std::vector<uint8_t> bytes;
};

class Reader {
  public:
    explicit Reader(std::span<const uint8_t> b) : bytes_(b) {}
    size_t offset() const { return pos_; }
    size_t remaining() const { return bytes_.size() - pos_; }
    uint16_t u16() {
        need(2, "a 16-bit value");
        const uint16_t v = uint16_t(bytes_[pos_] | bytes_[pos_ + 1] << 8);
        pos_ += 2;
        return v;
    }
    uint32_t u32() {
        const uint32_t lo = u16();
        return lo | uint32_t(u16()) << 16;
    }
    double f64() {
        need(8, "a double");
        const uint64_t bits = uint64_t(u32()) | uint64_t(u32()) << 32;
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    // A count of items of at least minBytes each, checked against what remains.
    uint32_t count(size_t minBytes, const char* what) {
        const size_t at = pos_;
        const uint32_t n = u32();
        if (uint64_t(n) * minBytes > remaining())
            throw FormatError(std::string("count of ") + what + " at offset " + std::to_string(at) +
                              " exceeds the file");
        return n;
    }
    std::u16string str() {
        const uint32_t n = count(2, "string units");
        std::u16string s(n, u'\0');
        for (auto& c : s) c = char16_t(u16());
        return s;
    }
    std::vector<uint8_t> rest() {
        std::vector<uint8_t> r(bytes_.begin() + long(pos_), bytes_.end());
        pos_ = bytes_.size();
        return r;
    }

  private:
    void need(size_t n, const char* what) {
        if (remaining() < n)
            throw FormatError(std::string("file ends at offset ") + std::to_string(pos_) +
                              " where " + what + " was expected");
    }
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
};

uint32_t recordSizeOf(const Layout& l) {
    uint64_t size = 0;
    for (uint32_t w : l.words) size += itemSize(w);
    return static_cast<uint32_t>(size);
}

} // namespace

uint32_t itemSize(uint32_t word) {
    const uint32_t e = word >> 28;
    const uint32_t c = (word >> 16) & 0xFFF;
    if (e <= 4 || e == 6) return 2;
    if (e == 12) return 8;
    if (e == 15) {
        if (c == 0x003) return 10;
        if (c == 0x005) return 66;
        if (c == 0x02F) return 2 * ((word >> 8) & 0xFF) + 2;
        return 6;
    }
    return 4;
}

std::vector<uint8_t> writeDescription(const Description& d) {
    const uint32_t v = d.version;
    if (v > kMaxVersion) throw FormatError("version " + std::to_string(v) + " is above 13");
    Writer w;
    w.u32(kMagic);
    w.u32(v);

    w.count(d.layouts.size());
    for (const Layout& l : d.layouts) {
        w.u32(l.typeCode);
        w.count(l.words.size());
        for (uint32_t word : l.words) w.u32(word);
        if (v >= 4) {
            const std::vector<uint16_t> flags =
                l.valueFlags ? *l.valueFlags : std::vector<uint16_t>(l.words.size(), 0xFFFF);
            w.count(flags.size());
            for (uint16_t f : flags) w.u16(f);
        }
        w.u32(l.bandNameBase1);
        if (v >= 11) w.u32(l.bandNameBase2.value_or(l.bandNameBase1 - 1));
        w.u32(l.bandNameBase3);
        for (uint32_t r : l.reserved) w.u32(r);
        w.u32(l.statBlocks);
        w.f64(l.reservedReal1);
        w.count(l.reservedList.size());
        for (uint32_t r : l.reservedList) w.u32(r);
        w.f64(l.reservedReal2);
        w.count(l.texts.size());
        for (const TextSet& t : l.texts) {
            w.str(t.language);
            for (const auto& s : t.texts) w.str(s);
        }
        w.u32(l.recordSize.value_or(recordSizeOf(l)));
        if (v >= 3) w.u32(l.wideColumns);
        if (v >= 13) w.u32(l.reserved6);
        w.count(l.averagingNames.size());
        for (const NameSet& set : l.averagingNames) {
            w.str(set.language);
            w.count(set.names.size());
            for (const auto& [key, name] : set.names) {
                w.u32(key);
                w.str(name);
            }
        }
    }

    w.count(d.channelNameSets.size());
    for (const ChannelNameSet& set : d.channelNameSets) {
        w.u32(set.key);
        w.count(set.blocks.size());
        for (const ChannelBlock& b : set.blocks) {
            w.str(b.language);
            w.str(b.title);
            for (const auto& c : b.captions) w.str(c);
            if (v >= 7)
                for (const auto& n : b.channelNames) w.str(n);
        }
    }

    w.count(d.bandNames.size());
    for (const auto& n : d.bandNames) w.str(n);

    w.count(d.signalLayouts.size());
    for (const SignalLayout& s : d.signalLayouts) {
        w.u32(s.typeCode);
        w.f64(s.samplingRateHigh);
        w.f64(s.samplingRateNormal);
        w.u32(s.streamConfigHigh);
        w.u32(s.streamConfigNormal);
        for (char16_t c : s.unitText) w.u16(c);
        w.f64(s.fallbackFactor);
        w.f64(s.initialFactor);
        for (double r : s.rangeFactors) w.f64(r);
        w.count(s.trailerWords.size());
        for (uint32_t word : s.trailerWords) w.u32(word);
    }

    if (v <= 4) {
        w.count(d.parameterList.size());
        for (const Parameter& p : d.parameterList) {
            w.str(p.textB);
            w.u32(p.x);
            w.u32(p.y);
            w.u32(p.z);
        }
    } else {
        w.count(d.parameterBlocks.size());
        for (const ParameterBlock& b : d.parameterBlocks) {
            w.str(b.language);
            w.count(b.items.size());
            for (const Parameter& p : b.items) {
                w.str(p.textB);
                if (v >= 8) w.str(p.textA);
                if (v >= 9) w.str(p.textC);
                w.u32(p.x);
                w.u32(p.y);
                w.u32(p.z);
            }
        }
    }
    if (v >= 6) {
        w.count(d.codePairs.size());
        for (const auto& [key, value] : d.codePairs) {
            w.u32(key);
            w.u32(value);
        }
    }
    if (v >= 12) {
        w.count(d.bandNameOverrides.size());
        for (const NameSet& set : d.bandNameOverrides) {
            w.str(set.language);
            w.count(set.names.size());
            for (const auto& [index, text] : set.names) {
                w.u32(index);
                w.str(text);
            }
        }
    }
    w.bytes.insert(w.bytes.end(), d.trailing.begin(), d.trailing.end());
    return w.bytes;
}

Description readDescription(std::span<const uint8_t> bytes) {
    Reader r(bytes);
    if (r.u32() != kMagic) throw FormatError("not a description file (wrong magic)");
    Description d;
    d.version = r.u32();
    const uint32_t v = d.version;
    if (v > kMaxVersion) throw FormatError("version " + std::to_string(v) + " is above 13");

    d.layouts.resize(r.count(64, "layouts"));
    for (Layout& l : d.layouts) {
        l.typeCode = r.u32();
        l.words.resize(r.count(4, "descriptor words"));
        for (auto& word : l.words) word = r.u32();
        if (v >= 4) {
            l.valueFlags.emplace(r.count(2, "value flags"));
            for (auto& f : *l.valueFlags) f = r.u16();
        }
        l.bandNameBase1 = r.u32();
        if (v >= 11) l.bandNameBase2 = r.u32();
        l.bandNameBase3 = r.u32();
        for (auto& x : l.reserved) x = r.u32();
        l.statBlocks = r.u32();
        l.reservedReal1 = r.f64();
        l.reservedList.resize(r.count(4, "reserved list entries"));
        for (auto& x : l.reservedList) x = r.u32();
        l.reservedReal2 = r.f64();
        l.texts.resize(r.count(28, "text sets"));
        for (TextSet& t : l.texts) {
            t.language = r.str();
            for (auto& s : t.texts) s = r.str();
        }
        l.recordSize = r.u32();
        if (v >= 3) l.wideColumns = r.u32();
        if (v >= 13) l.reserved6 = r.u32();
        l.averagingNames.resize(r.count(8, "averaging-name sets"));
        for (NameSet& set : l.averagingNames) {
            set.language = r.str();
            set.names.resize(r.count(8, "averaging names"));
            for (auto& [key, name] : set.names) {
                key = r.u32();
                name = r.str();
            }
        }
    }

    d.channelNameSets.resize(r.count(8, "channel-name sets"));
    for (ChannelNameSet& set : d.channelNameSets) {
        set.key = r.u32();
        set.blocks.resize(r.count(v >= 7 ? 40 : 24, "channel-name blocks"));
        for (ChannelBlock& b : set.blocks) {
            b.language = r.str();
            b.title = r.str();
            for (auto& c : b.captions) c = r.str();
            if (v >= 7)
                for (auto& n : b.channelNames) n = r.str();
        }
    }

    d.bandNames.resize(r.count(4, "band names"));
    for (auto& n : d.bandNames) n = r.str();

    d.signalLayouts.resize(r.count(112, "signal layouts"));
    for (SignalLayout& s : d.signalLayouts) {
        s.typeCode = r.u32();
        s.samplingRateHigh = r.f64();
        s.samplingRateNormal = r.f64();
        s.streamConfigHigh = r.u32();
        s.streamConfigNormal = r.u32();
        for (auto& c : s.unitText) c = char16_t(r.u16());
        s.fallbackFactor = r.f64();
        s.initialFactor = r.f64();
        for (auto& f : s.rangeFactors) f = r.f64();
        s.trailerWords.resize(r.count(4, "trailer words"));
        for (auto& word : s.trailerWords) word = r.u32();
    }

    if (v <= 4) {
        d.parameterList.resize(r.count(16, "parameters"));
        for (Parameter& p : d.parameterList) {
            p.textB = r.str();
            p.x = r.u32();
            p.y = r.u32();
            p.z = r.u32();
        }
    } else {
        const size_t itemBytes = 16 + (v >= 8 ? 4 : 0) + (v >= 9 ? 4 : 0);
        d.parameterBlocks.resize(r.count(8, "parameter blocks"));
        for (ParameterBlock& b : d.parameterBlocks) {
            b.language = r.str();
            b.items.resize(r.count(itemBytes, "parameters"));
            for (Parameter& p : b.items) {
                p.textB = r.str();
                if (v >= 8) p.textA = r.str();
                if (v >= 9) p.textC = r.str();
                p.x = r.u32();
                p.y = r.u32();
                p.z = r.u32();
            }
        }
    }
    if (v >= 6) {
        d.codePairs.resize(r.count(8, "code pairs"));
        for (auto& [key, value] : d.codePairs) {
            key = r.u32();
            value = r.u32();
        }
    }
    if (v >= 12) {
        d.bandNameOverrides.resize(r.count(8, "band-name override blocks"));
        for (NameSet& set : d.bandNameOverrides) {
            set.language = r.str();
            set.names.resize(r.count(8, "band-name overrides"));
            for (auto& [index, text] : set.names) {
                index = r.u32();
                text = r.str();
            }
        }
    }
    d.trailing = r.rest();
    return d;
}

} // namespace zsdesc
