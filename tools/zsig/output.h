#pragma once
// What zsig writes for other programs: numbers that read back as the same doubles, ISO 8601
// times, CSV fields and JSON values, and a progress bar for the terminal.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace zsig {

// The shortest text that reads back as exactly `v` ("nan", "inf", "-inf" for the others).
std::string exactNumber(double v);

// An OLE Automation date as ISO 8601 local time to the millisecond when it has any
// ("2024-05-17T10:20:30", "2024-05-17T10:20:30.250"); empty for 0.0 or a value outside the
// years 100..9999.
std::string isoTime(double oleDate);

// Now as ISO 8601 to the millisecond: local time ("2024-05-17T10:20:30.250"), or UTC with a Z.
std::string isoNow(bool utc = false);

std::string csvField(std::string_view s);
std::string jsonString(std::string_view s);
// A JSON number, or null for a value JSON cannot hold.
std::string jsonNumber(double v);

// `utf8` padded with spaces to `width` characters (not bytes), so columns of labels in any
// script line up; longer texts are kept whole.
std::string padded(std::string_view utf8, size_t width);

// Whether standard output is a terminal (where a table may be redrawn in place).
bool stdoutIsTerminal();

// A bar on stderr for work that may take more than a second. It appears only on a terminal
// and only after the first second, so piped output and quick runs stay clean.
class Progress {
  public:
    Progress(std::string label, uint64_t total); // total 0: unknown, a running count
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void update(uint64_t done);
    void finish();

    // One line of the bar, `width` characters of bar.
    static std::string line(std::string_view label, uint64_t done, uint64_t total, int width);

  private:
    std::string label_;
    uint64_t total_;
    std::chrono::steady_clock::time_point start_, lastDrawn_;
    bool enabled_, shown_ = false;
};

} // namespace zsig
