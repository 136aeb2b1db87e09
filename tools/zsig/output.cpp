#include "output.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

#ifdef _WIN32
#include <io.h>
#define ZSIG_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define ZSIG_ISATTY(fd) isatty(fd)
#endif

namespace zsig {

std::string exactNumber(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

namespace {

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civilFromDays(int64_t z, int& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

} // namespace

std::string isoTime(double oleDate) {
    // Valid OLE dates run from year 100 to 9999; 0.0 is what the library gives for none.
    if (!(oleDate >= -657434.0 && oleDate < 2958466.0) || oleDate == 0.0) return {};
    // Before 1899-12-30 the fraction counts forward from the (negative) day: -1.25 is
    // 29 December 1899, 06:00.
    const double day = std::trunc(oleDate);
    const double fraction = std::fabs(oleDate - day);
    auto ms = static_cast<int64_t>(std::llround(fraction * 86400000.0));
    auto days = static_cast<int64_t>(day);
    if (ms >= 86400000) { // rounding reached the next midnight
        ms -= 86400000;
        days += 1;
    }
    int year;
    unsigned month, dayOfMonth;
    civilFromDays(days - 25569, year, month, dayOfMonth); // 25569: 1899-12-30 to 1970-01-01
    char buf[40];
    const auto s = static_cast<unsigned>(ms / 1000);
    int n = std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02u:%02u:%02u", year, month, dayOfMonth,
                          s / 3600, s / 60 % 60, s % 60);
    if (ms % 1000)
        std::snprintf(buf + n, sizeof buf - n, ".%03u", static_cast<unsigned>(ms % 1000));
    return buf;
}

std::string isoNow(bool utc) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm parts{};
#ifdef _WIN32
    utc ? gmtime_s(&parts, &t) : localtime_s(&parts, &t);
#else
    utc ? gmtime_r(&t, &parts) : localtime_r(&t, &parts);
#endif
    char text[40];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(text + n, sizeof text - n, ".%03d%s", static_cast<int>(ms), utc ? "Z" : "");
    return text;
}

std::string csvField(std::string_view s) {
    if (s.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(s);
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string jsonString(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string jsonNumber(double v) {
    return std::isfinite(v) ? exactNumber(v) : "null";
}

std::string padded(std::string_view utf8, size_t width) {
    size_t characters = 0;
    for (unsigned char c : utf8)
        if ((c & 0xC0) != 0x80) ++characters; // continuation bytes belong to the one before
    std::string out(utf8);
    if (characters < width) out.append(width - characters, ' ');
    return out;
}

bool stdoutIsTerminal() {
    return ZSIG_ISATTY(1) != 0;
}

Progress::Progress(std::string label, uint64_t total)
    : label_(std::move(label)), total_(total), start_(std::chrono::steady_clock::now()),
      lastDrawn_(start_), enabled_(ZSIG_ISATTY(2) != 0) {}

Progress::~Progress() {
    finish();
}

std::string Progress::line(std::string_view label, uint64_t done, uint64_t total, int width) {
    std::string out(label);
    if (total == 0) return out + " ... " + std::to_string(done);
    if (done > total) done = total;
    const auto filled = static_cast<int>(done * static_cast<uint64_t>(width) / total);
    out += " [";
    out.append(static_cast<size_t>(filled), '#');
    out.append(static_cast<size_t>(width - filled), '.');
    out += "] " + std::to_string(done * 100 / total) + "%";
    return out;
}

void Progress::update(uint64_t done) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - start_ < std::chrono::seconds(1)) return;
    if (shown_ && now - lastDrawn_ < std::chrono::milliseconds(100)) return;
    lastDrawn_ = now;
    shown_ = true;
    std::fprintf(stderr, "\r%s\033[K", line(label_, done, total_, 30).c_str());
    std::fflush(stderr);
}

void Progress::finish() {
    if (!shown_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    shown_ = false;
}

} // namespace zsig
