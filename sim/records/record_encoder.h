#pragma once
// Builds instrument records from a layout's descriptor words, with the simulator's own
// encoding: it shares no code with the library's decoder, so a decoder fault cannot hide
// behind a matching encoder fault.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace zs::sim {

// What one record carries. Every item of the layout takes its value from here; items that
// name nothing below are written as zeros.
struct RecordContent {
    uint16_t deviceType = 0;
    uint16_t programNumber = 0;
    uint16_t sequence = 0;
    uint16_t packedDate = 0; // day 0-4, month 5-8, year - 1980 from bit 9
    uint32_t packedTime = 0; // second 0-5, minute 6-11, hour 12-16 (even seconds travel)
    uint32_t serialNumber = 0;
    uint16_t range = 0;
    uint16_t startStop = 0;
    uint16_t overflow = 0;   // flags of every channel a 0x4013 item names
    uint16_t underrange = 0; // and of 0x4014
    double samplingRate = 0.0;
    std::u16string deviceText;
    std::vector<uint16_t> untagged; // items with descriptor word 0, in order
    std::function<double(int channel, int set, int index, int column)> value;
    std::function<double(int set, int column)> bandFrequency;
    std::function<int32_t(uint32_t code, int channel)> coefficient; // raw i32 of 0x500A..D
};

// Size in bytes of the item a descriptor word announces.
uint32_t encodedItemSize(uint32_t word);

// The value a reader gets back for `v` written with value encoding `e` (rounding included).
double representable(uint32_t e, double v);

// One record of exactly `recordSize` bytes (0: as long as the items), little-endian.
std::vector<uint8_t> encodeRecord(std::span<const uint32_t> words, uint32_t wideColumns,
                                  const RecordContent& content, uint32_t recordSize = 0);

// Value items of a layout, decoded into their coordinates.
struct ValueItem {
    uint32_t word;
    int channel, set, index, column;
};
std::vector<ValueItem> valueItems(std::span<const uint32_t> words, uint32_t wideColumns);

} // namespace zs::sim
