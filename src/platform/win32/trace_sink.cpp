#include "platform/trace_sink.h"

#include "platform/text.h"

#include <windows.h>

namespace zs::platform {

void useStandardError(TraceSink& sink) {
    sink.handle = 0; // looked up at each write: a host may set its standard error later
    sink.standardError = true;
}

bool openTraceFile(TraceSink& sink, std::string_view utf8Path) {
    const std::u16string path = utf16FromUtf8(utf8Path);
    // Append-only access makes every write land at the end, whoever else writes the file.
    HANDLE h = CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    sink.handle = reinterpret_cast<intptr_t>(h);
    sink.standardError = false;
    return true;
}

void writeTrace(const TraceSink& sink, std::string_view line) {
    if (sink.handle < 0) return;
    HANDLE h =
        sink.standardError ? GetStdHandle(STD_ERROR_HANDLE) : reinterpret_cast<HANDLE>(sink.handle);
    if (h && h != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    if (sink.standardError) OutputDebugStringA(std::string(line).c_str());
}

void closeTraceSink(TraceSink& sink) {
    if (sink.handle >= 0 && !sink.standardError) CloseHandle(reinterpret_cast<HANDLE>(sink.handle));
    sink = TraceSink{};
}

std::optional<std::string> environmentText(const char* name) {
    const std::u16string wide = utf16FromUtf8(name);
    const auto* w = reinterpret_cast<const wchar_t*>(wide.c_str());
    const DWORD size = GetEnvironmentVariableW(w, nullptr, 0);
    if (size == 0) return std::nullopt;
    std::u16string value(size, u'\0');
    const DWORD n = GetEnvironmentVariableW(w, reinterpret_cast<wchar_t*>(value.data()), size);
    if (n >= size) return std::nullopt; // changed meanwhile
    value.resize(n);
    return utf8FromUtf16(value);
}

uint32_t processId() {
    return GetCurrentProcessId();
}

} // namespace zs::platform
