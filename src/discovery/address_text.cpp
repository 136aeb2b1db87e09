#include "discovery/address_text.h"

#include "platform/text.h"

#include <cstdio>

namespace zs::discovery {

std::optional<std::string> addressText(const char16_t* text) {
    if (!text) return std::nullopt;
    // Never read further than a text that could still fit.
    const size_t length = platform::utf16Length(text, kAddressTextCapacity);
    if (length >= kAddressTextCapacity) return std::nullopt;
    std::string narrow = platform::narrowFromUtf16(std::u16string_view(text, length));
    if (narrow.size() >= kAddressTextCapacity) return std::nullopt;
    return narrow;
}

uint32_t parseDottedAddress(const std::string& text) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return 0;
    return (a & 0xFFu) << 24 | (b & 0xFFu) << 16 | (c & 0xFFu) << 8 | (d & 0xFFu);
}

std::string formatDottedAddress(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
                  (address >> 8) & 0xFF, address & 0xFF);
    return text;
}

} // namespace zs::discovery
