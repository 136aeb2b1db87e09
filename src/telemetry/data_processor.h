#pragma once
#include "telemetry/description_table.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zs::telemetry {

// A result cell that no record has written.
inline constexpr double kNoValue = 1e-200;
inline constexpr uint32_t kRowCount = 8;
inline constexpr size_t kHistogramSize = 1024;

struct StatItem {
    double level = 0.0;
    std::u16string name;

    bool operator==(const StatItem&) const = default;
};

struct StatBlock {
    std::vector<StatItem> items;
    std::vector<int32_t> histogram;

    bool operator==(const StatBlock&) const = default;
};

// The result tables of one channel.
struct ChannelRow {
    // values[set][averaging index][band column]
    std::array<std::vector<std::vector<double>>, 3> values;
    std::vector<StatBlock> statBlocks;
    uint16_t overflowFlags = 0;
    uint16_t underrangeFlags = 0;
    double correction = 0.0;
    double sensitivity = 0.0;
    double kBase = 0.0;
    // Factors kept for the raw-signal path.
    double inverseSensitivity = 0.0;
    double factor500D = 0.0;
    double correctionFactor = 0.0;
    double kBaseCopy = 0.0;
    std::array<char16_t, 16> name{};
    std::array<std::array<char16_t, 8>, 4> subNames{};

    bool operator==(const ChannelRow&) const = default;
};

// Record-wide values of the last decoded record, and the stream's bookkeeping.
struct DecoderState {
    uint16_t programNumber = 0;
    uint16_t deviceType = 0;
    uint16_t packedDate = 0; // day 0-4, month 5-8, year - 1980 in 9-15
    uint32_t packedTime = 0; // second 0-5, minute 6-11, hour 12-16
    std::array<char16_t, 34> deviceText{};
    uint16_t status06 = 0;
    uint32_t serialNumber = 0xFFFFFFFF;
    uint32_t serialNumber2 = 0;
    uint8_t byte2019 = 0; // character page of instrument texts
    int32_t secondsCount = 0;
    uint16_t rangeWord = 0;
    uint16_t word4012 = 0;
    uint16_t startStopState = 0;
    std::array<std::vector<double>, 3> bandFrequencies;
    uint32_t value701D = 0;
    uint16_t word2022 = 0;
    uint16_t word401E = 0;
    uint16_t channelNameCodes = 0; // four 4-bit codes, channel 0 lowest
    float realB034 = 0.0f;
    std::array<std::vector<float>, 4> lists;
    std::array<uint16_t, 6> words2036{};
    uint16_t nextSequence = 0;
    uint32_t lostRecords = 0;
    uint32_t decodeCount = 0;
    uint32_t streamConfig = 0;
    double samplingRate = 0.0;
    uint16_t word2030 = 0;
    float real8031 = 0.0f;
    uint16_t word2032 = 0;
    uint16_t word0028 = 0;
    std::vector<uint16_t> untaggedWords;

    bool operator==(const DecoderState&) const = default;
};

// Chooses the layout of state.deviceType from the table, copies it into `layout` and shapes
// the result tables for it. False (tables cleared) when the type has no usable layout, and
// false with partly shaped tables when a value word names a channel or band set the tables
// cannot hold.
bool selectLayout(const DescriptionTable& table, std::span<ChannelRow> rows, DecoderState& state,
                  StreamLayout& layout);

// Clears the result tables and the per-device counts.
void resetResults(std::span<ChannelRow> rows, DecoderState& state, StreamLayout& layout);

// Name of channel `index`: from the record's name codes, else from the program's
// channel-name set; empty when neither names it.
std::u16string channelName(const DescriptionTable& table, const DecoderState& state,
                           uint32_t index);

// The part that device and file records share: result tables, decoder state and the
// record's own layout copy.
class CDataProcessor {
  public:
    CDataProcessor() = default;
    CDataProcessor(const CDataProcessor&) = default;
    CDataProcessor& operator=(const CDataProcessor&) = default;
    CDataProcessor(CDataProcessor&&) = default;
    CDataProcessor& operator=(CDataProcessor&&) = default;
    virtual ~CDataProcessor() = default;

    virtual std::u16string channelName(const DescriptionTable& table, uint32_t index) const {
        return telemetry::channelName(table, state, index);
    }

    bool selectLayout(const DescriptionTable& table) {
        return telemetry::selectLayout(table, rows, state, layout);
    }
    void resetResults() { telemetry::resetResults(rows, state, layout); }

    std::array<ChannelRow, kRowCount> rows;
    DecoderState state;
    StreamLayout layout;
};

} // namespace zs::telemetry
