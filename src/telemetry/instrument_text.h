#pragma once
#include <cstdint>

namespace zs::telemetry {

// The character an instrument's one-byte text code stands for on character page 1, 2 or 3;
// a space for bytes and pages that stand for nothing.
char16_t instrumentCharacter(uint8_t byte, uint8_t page);

} // namespace zs::telemetry
