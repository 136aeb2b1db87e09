#pragma once
#include "telemetry/description_table.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

namespace zs::telemetry {

inline constexpr uint32_t kDescriptionMagic = 0x44545046; // "FPTD"
inline constexpr uint32_t kDescriptionMaxVersion = 13;
inline constexpr std::u16string_view kLoadLanguage = u"Русский";
inline constexpr const char* kDescriptionFileName = "TeleDescFile.bin";
// Descriptor word of the item that carries a record's own type.
inline constexpr uint32_t kTypeWord = 0x201B0000;

// Size in bytes that a descriptor word's item takes in a record.
uint32_t itemSize(uint32_t word);

// Byte offset of the first item whose word equals `word` in the layout of `typeCode`;
// -1 when there is no such layout or word.
int32_t layoutItemOffset(const DescriptionTable& table, uint32_t typeCode, uint32_t word);

// Merges a description file image into `table`, keeping only text blocks tagged with
// `language`. All or nothing: a malformed or truncated image leaves the table untouched.
// True when at least one channel-name block matched the language.
bool parseTelemetryDescription(DescriptionTable& table, std::span<const uint8_t> bytes,
                               std::u16string_view language);

// Reads `file` and merges it as above; false when it cannot be read.
bool loadTelemetryDescription(DescriptionTable& table, const std::filesystem::path& file,
                              std::u16string_view language);

// Reads the description file that lies beside this library.
bool loadTelemetryDescription(DescriptionTable& table, std::u16string_view language);

} // namespace zs::telemetry
