#pragma once
// Every field of a description file, every language block kept, in file order: what the
// compiler writes and the dumper reads. Fields a version lacks are simply not written.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace zsdesc {

inline constexpr uint32_t kMagic = 0x44545046; // "FPTD"
inline constexpr uint32_t kMaxVersion = 13;

struct FormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct TextSet {
    std::u16string language;
    std::array<std::u16string, 6> texts;
};

struct NameSet {
    std::u16string language;
    std::vector<std::pair<uint32_t, std::u16string>> names; // in file order, repeats kept
};

struct Layout {
    uint32_t typeCode = 0;
    std::vector<uint32_t> words;
    std::optional<std::vector<uint16_t>> valueFlags; // absent: one 0xFFFF per word
    uint32_t bandNameBase1 = 0;
    std::optional<uint32_t> bandNameBase2; // absent: bandNameBase1 - 1
    uint32_t bandNameBase3 = 0;
    std::array<uint32_t, 3> reserved{};
    uint32_t statBlocks = 0;
    double reservedReal1 = 0.0;
    std::vector<uint32_t> reservedList;
    double reservedReal2 = 1.0;
    std::vector<TextSet> texts;
    std::optional<uint32_t> recordSize; // absent: the sum of the item sizes
    uint32_t wideColumns = 0;
    uint32_t reserved6 = 0;
    std::vector<NameSet> averagingNames;
};

struct ChannelBlock {
    std::u16string language;
    std::u16string title;
    std::array<std::u16string, 4> captions;
    std::array<std::u16string, 4> channelNames;
};

struct ChannelNameSet {
    uint32_t key = 0;
    std::vector<ChannelBlock> blocks;
};

struct SignalLayout {
    uint32_t typeCode = 0;
    double samplingRateHigh = 0.0;
    double samplingRateNormal = 0.0;
    uint32_t streamConfigHigh = 0;
    uint32_t streamConfigNormal = 0;
    std::array<char16_t, 16> unitText{};
    double fallbackFactor = 0.0;
    double initialFactor = 0.0;
    std::array<double, 4> rangeFactors{};
    std::vector<uint32_t> trailerWords;
};

struct Parameter {
    std::u16string textA;
    std::u16string textB;
    std::u16string textC;
    uint32_t x = 0;
    uint32_t y = 0;
    uint32_t z = 0;
};

struct ParameterBlock {
    std::u16string language;
    std::vector<Parameter> items;
};

struct Description {
    uint32_t version = kMaxVersion;
    std::vector<Layout> layouts;
    std::vector<ChannelNameSet> channelNameSets;
    std::vector<std::u16string> bandNames;
    std::vector<SignalLayout> signalLayouts;
    std::vector<Parameter> parameterList;                 // versions 0 to 4
    std::vector<ParameterBlock> parameterBlocks;          // versions 5 and later
    std::vector<std::pair<uint32_t, uint32_t>> codePairs; // from version 6
    std::vector<NameSet> bandNameOverrides;               // from version 12
    std::vector<uint8_t> trailing; // bytes after the last section, kept for exact copies
};

// Size in bytes of a descriptor word's item.
uint32_t itemSize(uint32_t word);

// Writes the file at description.version. Throws FormatError for a version above 13.
std::vector<uint8_t> writeDescription(const Description& description);

// Reads a whole file; throws FormatError when it is not a well-formed description file.
Description readDescription(std::span<const uint8_t> bytes);

} // namespace zsdesc
