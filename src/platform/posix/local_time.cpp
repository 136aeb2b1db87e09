#include "platform/local_time.h"

#include <ctime>
#include <sys/time.h>

namespace zs::platform {

CalendarTime localTimeNow() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    const time_t secs = tv.tv_sec;
    tm parts{};
    localtime_r(&secs, &parts);
    CalendarTime t;
    t.year = parts.tm_year + 1900;
    t.month = parts.tm_mon + 1;
    t.day = parts.tm_mday;
    t.hour = parts.tm_hour;
    t.minute = parts.tm_min;
    t.second = parts.tm_sec;
    t.milliseconds = static_cast<int>(tv.tv_usec / 1000);
    t.dayOfWeek = parts.tm_wday;
    return t;
}

} // namespace zs::platform
