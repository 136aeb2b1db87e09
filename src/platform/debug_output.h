#pragma once
#include <functional>
#include <string_view>

namespace zs::platform {

// The debugger output: OutputDebugStringA on Windows, quiet elsewhere. A capture, when
// installed (tests), receives every text as well.
void debugOutput(std::string_view text);

using DebugCapture = std::function<void(std::string_view)>;
void setDebugCapture(DebugCapture capture);

} // namespace zs::platform
