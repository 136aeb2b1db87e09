#pragma once
#include "telemetry/data_processor.h"
#include "telemetry/description_table.h"

#include <cstdint>
#include <span>

namespace zs::telemetry {

// Packed date-time of the instruments: seconds 0-5, minutes 6-11, hours 12-16, days since
// 1 January 2000 in 17-31.
struct InstrumentDateTime {
    int year = 2000;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    bool valid = true; // false when the time of day is out of range
};
InstrumentDateTime unpackInstrumentDateTime(uint32_t packed);

// Walks `record` with `words`, one descriptor word per item, and stores every item into the
// rows and the state. `record` must end where the received or stored bytes end: an item
// that does not fit is not decoded, and the walk ends there. Returns the record's type word
// (state.deviceType unless a type item differs; then that item is the last one decoded).
uint16_t decodeRecord(std::span<const uint8_t> record, std::span<ChannelRow> rows,
                      DecoderState& state, std::span<const uint32_t> words, uint32_t sensorCount,
                      uint32_t wideColumns);

// Decodes with the table's layout of state.deviceType. 0 when there is none, or when the
// record is too short to hold its type item; the type item's value, without decoding, when
// it names another type.
uint16_t decodeCheckedByTable(const DescriptionTable& table, std::span<const uint8_t> record,
                              std::span<ChannelRow> rows, DecoderState& state);

// Decodes with the record's own layout copy; a record of another type (or one too short to
// tell) is left alone.
void decodeCheckedByDevice(std::span<const uint8_t> record, std::span<ChannelRow> rows,
                           DecoderState& state, const StreamLayout& layout);

// Decodes the status trailer at the end of a raw-signal block and sets the stream
// configuration and sampling rate for the speed. Returns the trailer's length in bytes, or 0
// when the device type has no signal layout. The trailer is decoded only when the block
// holds it.
uint32_t decodeSignalTrailer(const DescriptionTable& table, std::span<const uint8_t> block,
                             bool highSpeed, std::span<ChannelRow> rows, DecoderState& state);

} // namespace zs::telemetry
