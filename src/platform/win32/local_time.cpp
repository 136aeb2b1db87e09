#include "platform/local_time.h"

#include <windows.h>

namespace zs::platform {

CalendarTime localTimeNow() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    CalendarTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.milliseconds = st.wMilliseconds;
    t.dayOfWeek = st.wDayOfWeek;
    return t;
}

} // namespace zs::platform
