#pragma once
#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace zs::platform {

// Opens a file for reading in untranslated mode while others may go on reading and writing
// it (an instrument's software may still be recording). Null on failure.
std::FILE* openSharedForReading(const std::filesystem::path& path);

// 32-bit offsets, as recorded files use: false when the seek fails.
bool seekTo(std::FILE* file, int32_t offset);
// The size of the file, leaving the stream at its end; -1 on failure.
int32_t seekToEnd(std::FILE* file);

} // namespace zs::platform
