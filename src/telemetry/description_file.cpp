#include "telemetry/description_file.h"

#include "platform/dynlib.h"
#include "platform/little_endian.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace zs::telemetry {
namespace {

// Little-endian reader over a file image. The first read past the end marks the reader
// failed; from then on every read yields 0 and every count 0, so loops end at once and the
// caller discards what it built.
class Reader {
  public:
    explicit Reader(std::span<const uint8_t> bytes)
        : pos_(bytes.data()), end_(bytes.data() + bytes.size()) {}

    bool ok() const { return ok_; }
    size_t remaining() const { return static_cast<size_t>(end_ - pos_); }

    uint32_t u32() {
        uint8_t b[4];
        if (!take(b, 4)) return 0;
        return platform::le32(b);
    }
    uint16_t u16() {
        uint8_t b[2];
        if (!take(b, 2)) return 0;
        return static_cast<uint16_t>(b[0] | b[1] << 8);
    }
    double f64() {
        uint8_t b[8];
        if (!take(b, 8)) return 0.0;
        uint64_t bits = 0;
        for (int i = 7; i >= 0; --i) bits = bits << 8 | b[i];
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    std::u16string string() {
        const uint32_t length = u32();
        if (uint64_t(length) * 2 > remaining()) return fail(), std::u16string();
        std::u16string s(length, u'\0');
        for (auto& unit : s) unit = static_cast<char16_t>(u16());
        return s;
    }
    // Reads a count of items that take at least `minBytes` each; a count the rest of the
    // image cannot hold fails the read before anything is allocated for it.
    uint32_t count(size_t minBytes) {
        const uint32_t n = u32();
        if (uint64_t(n) * minBytes > remaining()) return fail(), 0;
        return n;
    }

  private:
    bool take(uint8_t* out, size_t n) {
        if (!ok_ || remaining() < n) return fail(), std::memset(out, 0, n), false;
        std::memcpy(out, pos_, n);
        pos_ += n;
        return true;
    }
    void fail() { ok_ = false; }

    const uint8_t* pos_;
    const uint8_t* end_;
    bool ok_ = true;
};

// Smallest encodings, used to bound counts by the bytes that remain.
constexpr size_t kMinString = 4;
constexpr size_t kMinLayoutEntry = 64;
constexpr size_t kSignalEntry = 112;

StreamLayout readLayout(Reader& r, uint32_t version, std::u16string_view language,
                        uint32_t& typeCode) {
    StreamLayout layout;
    typeCode = r.u32();
    layout.words.resize(r.count(4));
    for (auto& w : layout.words) w = r.u32();
    if (version >= 4) {
        layout.valueFlags.resize(r.count(2));
        for (auto& f : layout.valueFlags) f = r.u16();
    } else {
        layout.valueFlags.assign(layout.words.size(), 0xFFFF);
    }
    layout.bandNameBase1 = r.u32();
    layout.bandNameBase2 = version >= 11 ? r.u32() : layout.bandNameBase1 - 1;
    layout.bandNameBase3 = r.u32();
    layout.reserved1 = r.u32();
    layout.reserved2 = r.u32();
    layout.reserved3 = r.u32();
    layout.statBlocks = r.u32();
    layout.reservedReal1 = r.f64();
    layout.reservedList.resize(r.count(4));
    for (auto& v : layout.reservedList) v = r.u32();
    layout.reservedReal2 = r.f64();

    const uint32_t textSets = r.count(7 * kMinString);
    for (uint32_t i = 0; i < textSets; ++i) {
        const bool match = r.string() == language;
        std::array<std::u16string, 6> texts;
        for (auto& t : texts) t = r.string();
        if (match) layout.texts = std::move(texts);
    }
    layout.recordSize = r.u32();
    layout.wideColumns = version >= 3 ? r.u32() : 0;
    layout.reserved6 = version >= 13 ? r.u32() : 0;

    const uint32_t nameSets = r.count(kMinString + 4);
    for (uint32_t i = 0; i < nameSets; ++i) {
        const bool match = r.string() == language;
        std::map<uint32_t, std::u16string> names;
        const uint32_t pairs = r.count(4 + kMinString);
        for (uint32_t j = 0; j < pairs; ++j) {
            const uint32_t key = r.u32();
            names[key] = r.string();
        }
        if (match) layout.averagingNames = std::move(names);
    }
    return layout;
}

// Returns true when a block of the load language was stored.
bool readChannelNameSets(Reader& r, uint32_t version, std::u16string_view language,
                         DescriptionTable& table) {
    bool matched = false;
    const size_t stringsPerBlock = version >= 7 ? 10 : 6;
    const uint32_t entries = r.count(8);
    for (uint32_t i = 0; i < entries; ++i) {
        const uint32_t key = r.u32();
        const uint32_t blocks = r.count(stringsPerBlock * kMinString);
        for (uint32_t j = 0; j < blocks; ++j) {
            const bool match = r.string() == language;
            ChannelNameSet set;
            set.title = r.string();
            for (auto& c : set.captions) c = r.string();
            if (version >= 7)
                for (auto& n : set.channelNames) n = r.string();
            if (match && r.ok()) {
                table.channelNameSets[key] = std::move(set);
                matched = true;
            }
        }
    }
    return matched;
}

void readSignalLayouts(Reader& r, DescriptionTable& table) {
    const uint32_t entries = r.count(kSignalEntry);
    for (uint32_t i = 0; i < entries && r.ok(); ++i) {
        const uint32_t typeCode = r.u32();
        SignalLayout s;
        s.samplingRateHigh = r.f64();
        s.samplingRateNormal = r.f64();
        s.streamConfigHigh = r.u32();
        s.streamConfigNormal = r.u32();
        for (auto& unit : s.unitText) unit = static_cast<char16_t>(r.u16());
        s.fallbackFactor = r.f64();
        s.initialFactor = r.f64();
        for (auto& f : s.rangeFactors) f = r.f64();
        s.trailerWords.resize(r.count(4));
        for (auto& w : s.trailerWords) w = r.u32();
        table.signalLayouts[typeCode] = std::move(s);
    }
}

void readParameters(Reader& r, uint32_t version, std::u16string_view language,
                    DescriptionTable& table) {
    if (version <= 4) {
        std::vector<ParameterText> list(r.count(kMinString + 12));
        for (auto& p : list) {
            p.textB = r.string();
            p.x = r.u32();
            p.y = r.u32();
            p.z = r.u32();
        }
        table.parameters = std::move(list);
        return;
    }
    table.parameters.clear();
    const size_t itemBytes =
        kMinString * (1 + (version >= 8 ? 1 : 0) + (version >= 9 ? 1 : 0)) + 12;
    const uint32_t blocks = r.count(kMinString + 4);
    for (uint32_t i = 0; i < blocks; ++i) {
        const bool match = r.string() == language;
        const uint32_t items = r.count(itemBytes);
        for (uint32_t j = 0; j < items; ++j) {
            ParameterText p;
            p.textB = r.string();
            if (version >= 8) p.textA = r.string();
            if (version >= 9) p.textC = r.string();
            p.x = r.u32();
            p.y = r.u32();
            p.z = r.u32();
            if (match && r.ok()) table.parameters.push_back(std::move(p));
        }
    }
}

void readCodePairs(Reader& r, DescriptionTable& table) {
    table.codePairs.clear();
    const uint32_t pairs = r.count(8);
    for (uint32_t i = 0; i < pairs && r.ok(); ++i) {
        const uint32_t key = r.u32();
        const uint32_t value = r.u32();
        table.codePairs.emplace(key, value); // a repeated key keeps its first value
    }
}

void readBandNameOverrides(Reader& r, std::u16string_view language, DescriptionTable& table) {
    const uint32_t blocks = r.count(kMinString + 4);
    for (uint32_t i = 0; i < blocks; ++i) {
        const bool match = r.string() == language;
        const uint32_t items = r.count(4 + kMinString);
        for (uint32_t j = 0; j < items; ++j) {
            const uint32_t index = r.u32();
            std::u16string text = r.string();
            if (match && r.ok() && index < table.bandNames.size())
                table.bandNames[index] = std::move(text);
        }
    }
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

int32_t layoutItemOffset(const DescriptionTable& table, uint32_t typeCode, uint32_t word) {
    const auto it = table.layouts.find(typeCode);
    if (it == table.layouts.end()) return -1;
    int64_t offset = 0;
    for (uint32_t w : it->second.words) {
        if (w == word) return offset <= INT32_MAX ? static_cast<int32_t>(offset) : -1;
        offset += itemSize(w);
    }
    return -1;
}

bool parseTelemetryDescription(DescriptionTable& table, std::span<const uint8_t> bytes,
                               std::u16string_view language) {
    Reader r(bytes);
    if (r.u32() != kDescriptionMagic || !r.ok()) return false;
    const uint32_t version = r.u32();
    if (!r.ok() || version > kDescriptionMaxVersion) return false;

    // Everything is built on a copy and committed only when the whole image has been read.
    DescriptionTable next = table;

    const uint32_t layoutCount = r.count(kMinLayoutEntry);
    for (uint32_t i = 0; i < layoutCount && r.ok(); ++i) {
        uint32_t typeCode = 0;
        StreamLayout layout = readLayout(r, version, language, typeCode);
        if (r.ok()) next.layouts[typeCode] = std::move(layout);
    }

    const bool matched = readChannelNameSets(r, version, language, next);

    std::vector<std::u16string> bandNames(r.count(kMinString));
    for (auto& name : bandNames) name = r.string();
    next.bandNames = std::move(bandNames);

    readSignalLayouts(r, next);
    readParameters(r, version, language, next);
    if (version >= 6) readCodePairs(r, next);
    if (version >= 12) readBandNameOverrides(r, language, next);
    if (!r.ok()) return false;

    for (auto& [typeCode, layout] : next.layouts)
        layout.typeOffset = layoutItemOffset(next, typeCode, kTypeWord);
    table = std::move(next);
    return matched;
}

bool loadTelemetryDescription(DescriptionTable& table, const std::filesystem::path& file,
                              std::u16string_view language) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>()};
    if (in.bad()) return false;
    return parseTelemetryDescription(table, bytes, language);
}

bool loadTelemetryDescription(DescriptionTable& table, std::u16string_view language) {
    return loadTelemetryDescription(table, platform::ownModuleDirectory() / kDescriptionFileName,
                                    language);
}

} // namespace zs::telemetry
