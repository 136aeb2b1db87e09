#pragma once
// Writes description file images for tests, field by field as each version lays them out.
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace zs::test {

struct LayoutEntry {
    uint32_t typeCode = 0;
    std::vector<uint32_t> words{};
    std::vector<uint16_t> valueFlags{}; // written from version 4
    uint32_t bandNameBase1 = 0;
    uint32_t bandNameBase2 = 0; // written from version 11
    uint32_t bandNameBase3 = 0;
    uint32_t statBlocks = 0;
    uint32_t recordSize = 0;
    uint32_t wideColumns = 0; // written from version 3
    uint32_t reserved6 = 0;   // written from version 13
    std::vector<std::pair<std::u16string, std::array<std::u16string, 6>>> textSets{};
    std::vector<std::pair<std::u16string, std::vector<std::pair<uint32_t, std::u16string>>>>
        averagingSets{};
};

struct ChannelBlockEntry {
    std::u16string language{};
    std::u16string title{};
    std::array<std::u16string, 4> captions{};
    std::array<std::u16string, 4> channelNames{}; // written from version 7
};

struct ChannelSetEntry {
    uint32_t key = 0;
    std::vector<ChannelBlockEntry> blocks{};
};

struct SignalEntry {
    uint32_t typeCode = 0;
    double samplingRateHigh = 0.0;
    double samplingRateNormal = 0.0;
    uint32_t streamConfigHigh = 0;
    uint32_t streamConfigNormal = 0;
    std::u16string unitText{};
    double fallbackFactor = 0.0;
    double initialFactor = 0.0;
    std::array<double, 4> rangeFactors{};
    std::vector<uint32_t> trailerWords{};
};

struct ParameterEntry {
    std::u16string textA{};
    std::u16string textB{};
    std::u16string textC{};
    uint32_t x = 0, y = 0, z = 0;
};

struct DescriptionImage {
    uint32_t magic = 0x44545046;
    uint32_t version = 13;
    std::vector<LayoutEntry> layouts{};
    std::vector<ChannelSetEntry> channelSets{};
    std::vector<std::u16string> bandNames{};
    std::vector<SignalEntry> signals{};
    // Version 4 and below: one list without language; later: blocks by language.
    std::vector<ParameterEntry> oldParameters{};
    std::vector<std::pair<std::u16string, std::vector<ParameterEntry>>> parameterBlocks{};
    std::vector<std::pair<uint32_t, uint32_t>> codePairs{}; // from version 6
    std::vector<std::pair<std::u16string, std::vector<std::pair<uint32_t, std::u16string>>>>
        overrides{}; // from version 12
};

class ByteWriter {
  public:
    ByteWriter& u16(uint16_t v) {
        bytes.push_back(static_cast<uint8_t>(v));
        bytes.push_back(static_cast<uint8_t>(v >> 8));
        return *this;
    }
    ByteWriter& u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    ByteWriter& f64(double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(bits >> (8 * i)));
        return *this;
    }
    ByteWriter& str(std::u16string_view s) {
        u32(static_cast<uint32_t>(s.size()));
        for (char16_t c : s) u16(c);
        return *this;
    }
    std::vector<uint8_t> bytes{};
};

inline std::vector<uint8_t> buildDescription(const DescriptionImage& f) {
    ByteWriter w;
    const uint32_t v = f.version;
    w.u32(f.magic).u32(v);
    w.u32(static_cast<uint32_t>(f.layouts.size()));
    for (const auto& l : f.layouts) {
        w.u32(l.typeCode).u32(static_cast<uint32_t>(l.words.size()));
        for (auto word : l.words) w.u32(word);
        if (v >= 4) {
            w.u32(static_cast<uint32_t>(l.valueFlags.size()));
            for (auto flag : l.valueFlags) w.u16(flag);
        }
        w.u32(l.bandNameBase1);
        if (v >= 11) w.u32(l.bandNameBase2);
        w.u32(l.bandNameBase3).u32(0).u32(0).u32(0).u32(l.statBlocks);
        w.f64(0.5).u32(0).f64(2.0);
        w.u32(static_cast<uint32_t>(l.textSets.size()));
        for (const auto& [lang, texts] : l.textSets) {
            w.str(lang);
            for (const auto& t : texts) w.str(t);
        }
        w.u32(l.recordSize);
        if (v >= 3) w.u32(l.wideColumns);
        if (v >= 13) w.u32(l.reserved6);
        w.u32(static_cast<uint32_t>(l.averagingSets.size()));
        for (const auto& [lang, pairs] : l.averagingSets) {
            w.str(lang).u32(static_cast<uint32_t>(pairs.size()));
            for (const auto& [key, name] : pairs) w.u32(key).str(name);
        }
    }
    w.u32(static_cast<uint32_t>(f.channelSets.size()));
    for (const auto& set : f.channelSets) {
        w.u32(set.key).u32(static_cast<uint32_t>(set.blocks.size()));
        for (const auto& b : set.blocks) {
            w.str(b.language).str(b.title);
            for (const auto& c : b.captions) w.str(c);
            if (v >= 7)
                for (const auto& n : b.channelNames) w.str(n);
        }
    }
    w.u32(static_cast<uint32_t>(f.bandNames.size()));
    for (const auto& n : f.bandNames) w.str(n);
    w.u32(static_cast<uint32_t>(f.signals.size()));
    for (const auto& s : f.signals) {
        w.u32(s.typeCode).f64(s.samplingRateHigh).f64(s.samplingRateNormal);
        w.u32(s.streamConfigHigh).u32(s.streamConfigNormal);
        for (size_t i = 0; i < 16; ++i) w.u16(i < s.unitText.size() ? s.unitText[i] : 0);
        w.f64(s.fallbackFactor).f64(s.initialFactor);
        for (double r : s.rangeFactors) w.f64(r);
        w.u32(static_cast<uint32_t>(s.trailerWords.size()));
        for (auto word : s.trailerWords) w.u32(word);
    }
    if (v <= 4) {
        w.u32(static_cast<uint32_t>(f.oldParameters.size()));
        for (const auto& p : f.oldParameters) w.str(p.textB).u32(p.x).u32(p.y).u32(p.z);
    } else {
        w.u32(static_cast<uint32_t>(f.parameterBlocks.size()));
        for (const auto& [lang, items] : f.parameterBlocks) {
            w.str(lang).u32(static_cast<uint32_t>(items.size()));
            for (const auto& p : items) {
                w.str(p.textB);
                if (v >= 8) w.str(p.textA);
                if (v >= 9) w.str(p.textC);
                w.u32(p.x).u32(p.y).u32(p.z);
            }
        }
    }
    if (v >= 6) {
        w.u32(static_cast<uint32_t>(f.codePairs.size()));
        for (const auto& [key, value] : f.codePairs) w.u32(key).u32(value);
    }
    if (v >= 12) {
        w.u32(static_cast<uint32_t>(f.overrides.size()));
        for (const auto& [lang, items] : f.overrides) {
            w.str(lang).u32(static_cast<uint32_t>(items.size()));
            for (const auto& [index, text] : items) w.u32(index).str(text);
        }
    }
    return w.bytes;
}

} // namespace zs::test
