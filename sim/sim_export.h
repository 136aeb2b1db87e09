#pragma once
// The C control functions of the simulated driver libraries: exported by name, so a host in
// any language can load the library and call them.
#ifdef _WIN32
#define SIM_EXPORT extern "C" __declspec(dllexport)
#else
#define SIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

// Copies as much of a text as fits into a caller's buffer, always terminated; the text's whole
// length either way, so a caller can ask with no buffer first.
inline int copyText(const std::string& text, char* buffer, uint32_t capacity) {
    if (buffer && capacity) {
        const size_t n = std::min<size_t>(text.size(), capacity - 1);
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
    }
    return static_cast<int>(text.size());
}
