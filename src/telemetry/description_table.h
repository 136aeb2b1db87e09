#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zs::telemetry {

// How one record type is laid out: one descriptor word per item, in record order, plus the
// names and counts that belong to the type. A device or file keeps its own copy, in which
// selectLayout fills the per-device counts.
struct StreamLayout {
    std::vector<uint32_t> words;
    std::vector<uint16_t> valueFlags;
    uint32_t bandNameBase1 = 0;
    uint32_t bandNameBase2 = 0;
    uint32_t bandNameBase3 = 0;
    uint32_t reserved1 = 0;
    uint32_t reserved2 = 0;
    uint32_t reserved3 = 0;
    uint32_t statBlocks = 0;
    double reservedReal1 = 0.0;
    std::vector<uint32_t> reservedList;
    double reservedReal2 = 1.0;
    std::array<std::u16string, 6> texts;
    std::map<uint32_t, std::u16string> averagingNames;
    uint32_t recordSize = 0;

    // Per-device counts: 0 in the description table.
    uint32_t sensorCount = 0;
    uint32_t channelCount = 0;
    std::array<uint32_t, 3> columnCount{};
    std::array<uint32_t, 3> indexCount{};

    // Byte offset of the record's own type item, -1 when the layout has none.
    int32_t typeOffset = -1;
    uint32_t wideColumns = 0;
    uint32_t reserved6 = 0;

    bool operator==(const StreamLayout&) const = default;
};

struct ChannelNameSet {
    std::u16string title;
    std::array<std::u16string, 4> captions;
    std::array<std::u16string, 4> channelNames;

    bool operator==(const ChannelNameSet&) const = default;
};

// What a device type's raw-signal blocks look like.
struct SignalLayout {
    double samplingRateHigh = 0.0;
    double samplingRateNormal = 0.0;
    uint32_t streamConfigHigh = 0;
    uint32_t streamConfigNormal = 0;
    std::array<char16_t, 16> unitText{}; // zero-padded
    double fallbackFactor = 0.0;
    double initialFactor = 0.0;
    std::array<double, 4> rangeFactors{};
    std::vector<uint32_t> trailerWords;

    bool operator==(const SignalLayout&) const = default;
};

struct ParameterText {
    std::u16string textA;
    std::u16string textB;
    std::u16string textC;
    uint32_t x = 0;
    uint32_t y = 0;
    uint32_t z = 0;

    bool operator==(const ParameterText&) const = default;
};

// The process-wide form of the telemetry description file. Written only on the host's
// thread (start-up and the first list build, attach or file open), read without locks.
struct DescriptionTable {
    std::map<uint32_t, StreamLayout> layouts;
    std::map<uint32_t, ChannelNameSet> channelNameSets;
    std::vector<std::u16string> bandNames;
    std::map<uint32_t, SignalLayout> signalLayouts;
    std::vector<ParameterText> parameters;
    std::map<uint32_t, uint32_t> codePairs;

    bool operator==(const DescriptionTable&) const = default;
};

} // namespace zs::telemetry
