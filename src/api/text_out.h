#pragma once
#include "zentrel_signal.h"

#include <cstdint>
#include <string_view>

namespace zs::api {

// Empties the host's text buffer, if it has room for anything.
inline void clearText(ZS_WCHAR* buffer, int32_t length) {
    if (buffer && length > 0) buffer[0] = 0;
}

// Copies `text` into the host's buffer, cut to length - 1 characters and terminated, and
// returns the text's full length. A null buffer or a length below 1 writes nothing.
inline int32_t copyText(std::u16string_view text, ZS_WCHAR* buffer, int32_t length) {
    if (!buffer || length <= 0) return 0;
    const size_t room = static_cast<size_t>(length) - 1;
    const size_t n = text.size() < room ? text.size() : room;
    for (size_t i = 0; i < n; ++i) buffer[i] = static_cast<ZS_WCHAR>(text[i]);
    buffer[n] = 0;
    return static_cast<int32_t>(text.size());
}

} // namespace zs::api
