#include "trace/trace.h"

#include "platform/local_time.h"
#include "platform/text.h"
#include "platform/trace_sink.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <exception>
#include <mutex>

namespace zs::trace {

namespace detail {
std::atomic<bool> g_on{false};
}

namespace {

using Clock = std::chrono::steady_clock;

// All constant-initialised: the library's entry may run before any other constructor.
std::mutex g_mutex; // one line at a time, and no line while the sink changes
platform::TraceSink g_sink;
Clock::time_point g_start;
std::atomic<uint32_t> g_lastThread{0};
thread_local uint32_t t_thread = 0;
thread_local const char* t_export = nullptr;

constexpr size_t kHostTextLimit = 512;

uint32_t threadNumber() {
    if (t_thread == 0) t_thread = g_lastThread.fetch_add(1, std::memory_order_relaxed) + 1;
    return t_thread;
}

// "seconds.milliseconds tN " since the trace started.
void appendStamp(std::string& out) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - g_start).count();
    char stamp[48];
    const int n =
        std::snprintf(stamp, sizeof stamp, "%lld.%03lld t%u ", static_cast<long long>(ms / 1000),
                      static_cast<long long>(ms % 1000), threadNumber());
    if (n > 0) out.append(stamp, static_cast<size_t>(n));
}

void writeLocked(std::string_view text) {
    std::string line;
    appendStamp(line);
    line += text;
    line += '\n';
    platform::writeTrace(g_sink, line);
}

} // namespace

bool configure(std::string_view setting) noexcept {
    try {
        std::lock_guard lock(g_mutex);
        detail::g_on.store(false, std::memory_order_relaxed);
        platform::closeTraceSink(g_sink);
        if (setting.empty() || setting == "0") return true;
        if (setting == "1") {
            platform::useStandardError(g_sink);
        } else if (!platform::openTraceFile(g_sink, setting)) {
            // Whoever asked for the trace is told why there is none.
            platform::TraceSink error;
            platform::useStandardError(error);
            platform::writeTrace(error, "ZentrelSignal: cannot open the trace file " +
                                            std::string(setting) + "\n");
            return false;
        }
        g_start = Clock::now();
        const platform::CalendarTime t = platform::localTimeNow();
        char header[128];
        std::snprintf(header, sizeof header,
                      "trace on: process %u, local time %04d-%02d-%02d %02d:%02d:%02d.%03d",
                      platform::processId(), t.year, t.month, t.day, t.hour, t.minute, t.second,
                      t.milliseconds);
        writeLocked(header);
        detail::g_on.store(true, std::memory_order_relaxed);
        return true;
    } catch (...) {
        return false;
    }
}

void startFromEnvironment() noexcept {
    try {
        configure(platform::environmentText(kVariable).value_or(std::string()));
    } catch (...) {
    }
}

void stop() noexcept {
    configure({});
}

void writeLine(std::string_view text) noexcept {
    try {
        std::lock_guard lock(g_mutex);
        if (on()) writeLocked(text);
    } catch (...) {
    }
}

void append(std::string& out, std::string_view text) {
    out += text;
}
void append(std::string& out, const char* text) {
    out += text ? text : "null";
}
void append(std::string& out, const std::string& text) {
    out += text;
}
void append(std::string& out, bool value) {
    out += value ? "true" : "false";
}
void append(std::string& out, double value) {
    char text[32];
    const auto r = std::to_chars(text, text + sizeof text, value);
    out.append(text, r.ptr);
}
void append(std::string& out, Hex value) {
    char text[24] = "0x";
    const auto r = std::to_chars(text + 2, text + sizeof text, value.value, 16);
    out.append(text, r.ptr);
}
void append(std::string& out, HostText value) {
    if (!value.text) {
        out += "null";
        return;
    }
    const size_t length = platform::utf16Length(value.text, kHostTextLimit);
    out += '"';
    out += platform::utf8FromUtf16(std::u16string_view(value.text, length));
    out += '"';
}
void appendSigned(std::string& out, int64_t value) {
    char text[24];
    const auto r = std::to_chars(text, text + sizeof text, value);
    out.append(text, r.ptr);
}
void appendUnsigned(std::string& out, uint64_t value) {
    char text[24];
    const auto r = std::to_chars(text, text + sizeof text, value);
    out.append(text, r.ptr);
}

void setCurrentExport(const char* name) noexcept {
    t_export = name;
}
void leaveExport() noexcept {
    t_export = nullptr;
}

void caughtException() noexcept {
    if (!on()) return;
    const char* where = t_export ? t_export : "library";
    try {
        throw;
    } catch (const std::exception& e) {
        emit(where, ": exception caught: ", e.what());
    } catch (...) {
        emit(where, ": exception caught, not a std::exception");
    }
}

} // namespace zs::trace
