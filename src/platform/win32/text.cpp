#include "platform/text.h"

#include <windows.h>

namespace zs::platform {

std::string narrowFromUtf16(std::u16string_view text) {
    if (text.empty()) return {};
    const auto* w = reinterpret_cast<const wchar_t*>(text.data());
    const int n = WideCharToMultiByte(CP_ACP, 0, w, static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, w, static_cast<int>(text.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

std::u16string utf16FromNarrow(std::string_view text) {
    if (text.empty()) return {};
    const int n =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                        reinterpret_cast<wchar_t*>(out.data()), n);
    return out;
}

std::filesystem::path pathFromUtf16(std::u16string_view text) {
    return std::filesystem::path(std::wstring(text.begin(), text.end()));
}

} // namespace zs::platform
