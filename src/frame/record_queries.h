#pragma once
#include "frame/dev_struct.h"

#include <cstdint>

namespace zs::frame {

// The instrument's packed date (day 0-4, month 5-8, year - 1980 from bit 9) and packed time
// (second 0-5, minute 6-11, hour 12-16) as an OLE Automation date; 0.0 when they do not
// form a valid date and time.
double packedDateTimeToOleDate(uint16_t packedDate, uint32_t packedTime);

// With a time-out: waits up to timeoutMs for lastPacketTick to change. Without one: reports
// once each change since the last such call.
bool waitForTelePacket(DevStruct& device, uint32_t timeoutMs);

} // namespace zs::frame
