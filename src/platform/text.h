#pragma once
#include <filesystem>
#include <string>
#include <string_view>

namespace zs::platform {

// The system's narrow text: the ANSI code page on Windows, UTF-8 elsewhere.
std::string narrowFromUtf16(std::u16string_view text);
std::u16string utf16FromNarrow(std::string_view text);

// UTF-8 conversions that are the same on every platform (tools, description texts).
std::string utf8FromUtf16(std::u16string_view text);
std::u16string utf16FromUtf8(std::string_view text);

// A file-system path from a host's UTF-16 text, without loss on either platform.
std::filesystem::path pathFromUtf16(std::u16string_view text);

// Length of a null-terminated UTF-16 string, reading at most `limit` units.
size_t utf16Length(const char16_t* text, size_t limit = SIZE_MAX);

} // namespace zs::platform
