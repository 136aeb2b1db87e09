#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace zs::discovery {

// Address texts are converted into a buffer of this many bytes; longer texts are refused.
inline constexpr size_t kAddressTextCapacity = 144;

// A host's UTF-16 address text in the system's narrow form; nothing for a null pointer or a
// text that does not fit the buffer with its terminator.
std::optional<std::string> addressText(const char16_t* text);

// "a.b.c.d", each number taken as one byte, in host byte order; 0 when four numbers are not
// there.
uint32_t parseDottedAddress(const std::string& text);

// "a.b.c.d" of a host-order address.
std::string formatDottedAddress(uint32_t address);

} // namespace zs::discovery
