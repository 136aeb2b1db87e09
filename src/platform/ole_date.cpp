#include "platform/local_time.h"

#include <cmath>

namespace zs::platform {
namespace {

// Days from 1 January of year 0 (proleptic Gregorian) to the given date.
long daysFromCivil(long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

void civilFromDays(long z, int& y, int& m, int& d) {
    z += 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long yy = static_cast<long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yy + (m <= 2));
}

const long kEpochDays = daysFromCivil(1899, 12, 30);

} // namespace

double oleDateFromCalendar(const CalendarTime& t) {
    // Months outside 1..12 roll into neighbouring years, as the system conversion does.
    long year = t.year;
    long month = t.month - 1;
    year += month >= 0 ? month / 12 : (month - 11) / 12;
    month = ((month % 12) + 12) % 12;
    const long days =
        daysFromCivil(year, static_cast<unsigned>(month + 1), 1) + (t.day - 1) - kEpochDays;
    const double fraction =
        (t.hour * 3600.0 + t.minute * 60.0 + t.second + t.milliseconds / 1000.0) / 86400.0;
    // Negative dates keep the time of day as a positive fraction: -1.25 is 29 Dec 1899 06:00.
    if (days < 0) return static_cast<double>(days) - fraction;
    return static_cast<double>(days) + fraction;
}

bool calendarFromOleDate(double date, CalendarTime& out) {
    if (!std::isfinite(date) || date < -657434.0 || date >= 2958466.0) return false;
    double whole = std::trunc(date);
    double fraction = std::fabs(date - whole);
    // Round to the millisecond so that values built from whole seconds come back exact.
    long long ms = std::llround(fraction * 86400000.0);
    long days = static_cast<long>(whole);
    if (ms >= 86400000LL) {
        ms -= 86400000LL;
        days += date < 0 ? -1 : 1;
    }
    civilFromDays(days + kEpochDays, out.year, out.month, out.day);
    out.hour = static_cast<int>(ms / 3600000);
    out.minute = static_cast<int>(ms / 60000 % 60);
    out.second = static_cast<int>(ms / 1000 % 60);
    out.milliseconds = static_cast<int>(ms % 1000);
    const long dow = (days + kEpochDays + 4) % 7; // 1 January 1970 was a Thursday
    out.dayOfWeek = static_cast<int>(dow < 0 ? dow + 7 : dow);
    return true;
}

} // namespace zs::platform
