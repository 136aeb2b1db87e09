#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zs::platform {

// Where trace lines go: standard error or a file they are appended to. Plain data, so it is
// usable before any constructor of the library has run.
struct TraceSink {
    intptr_t handle = -1; // a descriptor, or a Windows handle; -1 for none
    bool standardError = false;
};

// Each line is written with one call, so lines of several threads and processes sharing the
// file do not mix. Failures are ignored: the trace never stops the library.
void useStandardError(TraceSink& sink);
bool openTraceFile(TraceSink& sink, std::string_view utf8Path);
void writeTrace(const TraceSink& sink, std::string_view line);
void closeTraceSink(TraceSink& sink);

// An environment variable as UTF-8; nothing when it is not set.
std::optional<std::string> environmentText(const char* name);

uint32_t processId();

} // namespace zs::platform
