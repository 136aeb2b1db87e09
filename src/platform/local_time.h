#pragma once
#include <cstdint>

namespace zs::platform {

struct CalendarTime {
    int year = 1899;
    int month = 12; // 1..12
    int day = 30;   // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int milliseconds = 0;
    int dayOfWeek = 0; // 0 = Sunday
};

CalendarTime localTimeNow();

// OLE Automation date: days since 30 December 1899 with the time of day as the fraction.
// Before that day the integer part counts backwards while the fraction still counts
// forwards, as the automation date does.
double oleDateFromCalendar(const CalendarTime& time);
// False when the value is outside the automation date's range (years 100 to 9999).
bool calendarFromOleDate(double date, CalendarTime& out);

} // namespace zs::platform
