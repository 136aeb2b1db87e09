#include "platform/text.h"

namespace zs::platform {

std::string narrowFromUtf16(std::u16string_view text) {
    return utf8FromUtf16(text);
}
std::u16string utf16FromNarrow(std::string_view text) {
    return utf16FromUtf8(text);
}

std::filesystem::path pathFromUtf16(std::u16string_view text) {
    return std::filesystem::path(utf8FromUtf16(text));
}

} // namespace zs::platform
