#pragma once
#include <functional>
#include <string_view>

namespace zs::platform {

// The debugger output: OutputDebugStringA on Windows, quiet elsewhere. The trace, when on, and
// a capture, when installed (tests), receive every text as well.
void debugOutput(std::string_view text);

using DebugCapture = std::function<void(std::string_view)>;
void setDebugCapture(DebugCapture capture);

} // namespace zs::platform
