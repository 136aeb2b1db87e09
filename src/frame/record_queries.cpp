#include "frame/record_queries.h"

#include "platform/clock.h"
#include "platform/local_time.h"

namespace zs::frame {

double packedDateTimeToOleDate(uint16_t packedDate, uint32_t packedTime) {
    platform::CalendarTime t;
    t.year = 1980 + (packedDate >> 9);
    t.month = (packedDate >> 5) & 0xF;
    t.day = packedDate & 0x1F;
    t.hour = (packedTime >> 12) & 0x1F;
    t.minute = (packedTime >> 6) & 0x3F;
    t.second = packedTime & 0x3F;
    // The system conversion refuses fields out of their ranges.
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > kDays[t.month - 1] ||
        (t.month == 2 && t.day == 29 && !leap) || t.hour > 23 || t.minute > 59 || t.second > 59)
        return 0.0;
    return platform::oleDateFromCalendar(t);
}

bool waitForTelePacket(DevStruct& device, uint32_t timeoutMs) {
    if (timeoutMs == 0) {
        const uint32_t last = device.lastPacketTick.load();
        if (last == device.seenPacketTick.load()) return false;
        device.seenPacketTick.store(last);
        return true;
    }
    const uint32_t seen = device.lastPacketTick.load();
    const uint32_t start = platform::tickMs();
    while (platform::tickMs() - start < timeoutMs && device.lastPacketTick.load() == seen)
        platform::sleepMs(10);
    return device.lastPacketTick.load() != seen;
}

} // namespace zs::frame
