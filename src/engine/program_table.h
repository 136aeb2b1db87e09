#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

namespace zs::engine {

// An instrument program that a program-switch packet selects by name, and how long the
// instrument needs to load it before it streams again.
struct ProgramEntry {
    std::u16string_view name;
    uint32_t settleMs;
};

inline constexpr int32_t kProgramCount = 71;
// Longest name the switch carries: the instrument's name buffer holds 128 characters with
// the terminating zero.
inline constexpr size_t kProgramNameMax = 127;

// Entry 1..kProgramCount; none for any other index.
std::optional<ProgramEntry> programEntry(int32_t index);

} // namespace zs::engine
