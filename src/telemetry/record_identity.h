#pragma once
#include "platform/little_endian.h"

#include <cstdint>
#include <span>

namespace zs::telemetry {

struct RecordIdentity {
    uint16_t deviceType = 0;
    uint16_t programNumber = 0;
};

// The instrument an identification or first stream record comes from (at least its first
// word): type 29 streams as type 28; a type below 28 is its own program, a later one names
// its program in the second word (0 when the record ends before it).
inline RecordIdentity recordIdentity(std::span<const uint8_t> record) {
    RecordIdentity id;
    if (record.size() < 2) return id;
    id.deviceType = platform::le16(record.data());
    if (id.deviceType == 29) id.deviceType = 28;
    id.programNumber = id.deviceType < 28   ? id.deviceType
                       : record.size() >= 4 ? platform::le16(record.data() + 2)
                                            : uint16_t{0};
    return id;
}

} // namespace zs::telemetry
