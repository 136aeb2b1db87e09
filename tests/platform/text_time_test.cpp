#include "platform/dynlib.h"
#include "platform/local_time.h"
#include "platform/text.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace zs::platform;

TEST(Text, Utf8RoundTripsEveryPlane) {
    const std::u16string samples[] = {
        u"", u"abc", u"Русский", u"\u00B5m/s\u00B2", u"\U0001D11E x", u"\u20AC"};
    for (const auto& s : samples) EXPECT_EQ(utf16FromUtf8(utf8FromUtf16(s)), s);
    EXPECT_EQ(utf8FromUtf16(u"\u0416"), "\xD0\x96");
}

TEST(Text, MalformedInputBecomesReplacementCharacters) {
    EXPECT_EQ(utf16FromUtf8("a\xC0"), u"a\uFFFD");         // truncated sequence
    EXPECT_EQ(utf16FromUtf8("\xE0\x41\x41"), u"\uFFFDAA"); // bad continuation
    const char16_t lone[] = {u'a', 0xD800, u'b'};
    EXPECT_EQ(utf8FromUtf16(std::u16string_view(lone, 3)), "a\xEF\xBF\xBD"
                                                           "b");
}

TEST(Text, NarrowTextRoundTripsAscii) {
    EXPECT_EQ(narrowFromUtf16(u"C:\\data\\rec 1.bin"), "C:\\data\\rec 1.bin");
    EXPECT_EQ(utf16FromNarrow("plain"), u"plain");
}

TEST(Text, PathFromUtf16KeepsNonAsciiNames) {
    const auto p = pathFromUtf16(u"Запись.bin");
    EXPECT_EQ(p.u16string(), u"Запись.bin");
}

TEST(Text, Utf16LengthStopsAtLimit) {
    EXPECT_EQ(utf16Length(u"abc"), 3u);
    EXPECT_EQ(utf16Length(u"abcdef", 4), 4u);
    EXPECT_EQ(utf16Length(nullptr), 0u);
}

struct OleCase {
    CalendarTime time;
    double date;
};

TEST(OleDate, KnownDatesBothWays) {
    const OleCase cases[] = {
        {{1899, 12, 30, 0, 0, 0, 0, 6}, 0.0},
        {{1900, 1, 1, 0, 0, 0, 0, 1}, 2.0},
        {{1899, 12, 29, 6, 0, 0, 0, 5}, -1.25},
        {{2000, 1, 1, 12, 0, 0, 0, 6}, 36526.5},
        {{2010, 3, 15, 13, 45, 30, 0, 1}, 40252.0 + (13 * 3600 + 45 * 60 + 30) / 86400.0},
        {{2001, 1, 1, 12, 30, 15, 0, 1}, 36892.0 + (12 * 3600 + 30 * 60 + 15) / 86400.0},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(oleDateFromCalendar(c.time), c.date, 1e-9) << c.time.year;
        CalendarTime back;
        ASSERT_TRUE(calendarFromOleDate(c.date, back));
        EXPECT_EQ(back.year, c.time.year);
        EXPECT_EQ(back.month, c.time.month);
        EXPECT_EQ(back.day, c.time.day);
        EXPECT_EQ(back.hour, c.time.hour);
        EXPECT_EQ(back.minute, c.time.minute);
        EXPECT_EQ(back.second, c.time.second);
        EXPECT_EQ(back.dayOfWeek, c.time.dayOfWeek) << c.time.year << "-" << c.time.month;
    }
}

TEST(OleDate, RefusesValuesOutsideTheRange) {
    CalendarTime t;
    EXPECT_FALSE(calendarFromOleDate(NAN, t));
    EXPECT_FALSE(calendarFromOleDate(3.0e6, t));
    EXPECT_FALSE(calendarFromOleDate(-7.0e5, t));
}

TEST(LocalTime, NowIsAPlausibleCalendarTime) {
    const auto t = localTimeNow();
    EXPECT_GE(t.year, 2020);
    EXPECT_GE(t.month, 1);
    EXPECT_LE(t.month, 12);
    EXPECT_LT(t.milliseconds, 1000);
}

TEST(DynamicLibrary, MissingLibraryIsNotAnError) {
    EXPECT_EQ(DynamicLibrary::open("no-such-library-zs.so"), nullptr);
    EXPECT_EQ(openVendorLibrary("no-such-vendor-zs.dll"), nullptr);
}

TEST(DynamicLibrary, OwnDirectoryExists) {
    EXPECT_TRUE(std::filesystem::is_directory(ownModuleDirectory()));
}
