#pragma once
// The diagnostic trace: one line per event (an export's call and result, an exception an export
// swallowed, an identification stage, a link opened or lost), off unless ZS_TRACE asks for it.
// While it is off a trace point costs one relaxed load: ZS_TRACE_LINE builds no text then.
#include <atomic>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

namespace zs::trace {

inline constexpr const char* kVariable = "ZS_TRACE";

namespace detail {
extern std::atomic<bool> g_on;
}

inline bool on() noexcept {
    return detail::g_on.load(std::memory_order_relaxed);
}

// "" or "0": off; "1": standard error (on Windows the debugger output too); anything else: a
// file the lines are appended to. False when that file cannot be opened; the trace is off then.
bool configure(std::string_view setting) noexcept;
// configure() with ZS_TRACE, once as the library loads.
void startFromEnvironment() noexcept;
void stop() noexcept;

// Pieces of a line besides texts and numbers.
struct Hex {
    uint64_t value;
};
// A host's input text (an address, a path), shown as UTF-8; null shows as "null".
struct HostText {
    const char16_t* text;
};

void append(std::string& out, std::string_view text);
void append(std::string& out, const char* text);
void append(std::string& out, const std::string& text);
void append(std::string& out, bool value);
void append(std::string& out, double value);
void append(std::string& out, Hex value);
void append(std::string& out, HostText value);
void appendSigned(std::string& out, int64_t value);
void appendUnsigned(std::string& out, uint64_t value);
template <std::integral T>
void append(std::string& out, T value) {
    if constexpr (std::is_signed_v<T>)
        appendSigned(out, value);
    else
        appendUnsigned(out, value);
}
template <class T>
void append(std::string& out, T* pointer) {
    append(out, Hex{reinterpret_cast<uintptr_t>(pointer)});
}

// Writes one line: the time, the calling thread, then `text`.
void writeLine(std::string_view text) noexcept;

template <class... Parts>
void emit(const Parts&... parts) noexcept {
    try {
        std::string line;
        (append(line, parts), ...);
        writeLine(line);
    } catch (...) {
        // Out of memory: the line is lost, the call goes on.
    }
}

// "name(a, b, c)"; the name stays the thread's current export until leaveExport().
void setCurrentExport(const char* name) noexcept;
template <class... Args>
void enterExport(const char* name, const Args&... args) noexcept {
    setCurrentExport(name);
    try {
        std::string line = name;
        line += '(';
        [[maybe_unused]] const char* separator = "";
        ((line += separator, append(line, args), separator = ", "), ...);
        line += ')';
        writeLine(line);
    } catch (...) {
    }
}
void leaveExport() noexcept;

// The exception being handled, with its what() when it is a std::exception, and the export it
// ended. Call from a catch block.
void caughtException() noexcept;

} // namespace zs::trace

#define ZS_TRACE_LINE(...)                                                                         \
    do {                                                                                           \
        if (::zs::trace::on()) ::zs::trace::emit(__VA_ARGS__);                                     \
    } while (false)
