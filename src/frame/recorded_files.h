#pragma once
#include "frame/library.h"

#include <cstdint>
#include <string_view>

namespace zs::frame {

inline constexpr int32_t kOpenFailed = -1;
inline constexpr int32_t kNoDescription = -2;

// Opens a recorded file, selects its layout from the first record's opening fields, decodes
// record 0 and returns the new identifier (256 and up); kOpenFailed or kNoDescription.
int32_t openRecordedFile(LibraryState& state, std::u16string_view path);

// Whole records in the file; leaves the stream at its end.
uint32_t recordCount(FileStruct& file);

// Reads record `number` and decodes it into the file's tables. False when the number is
// negative or the record cannot be read in full; the decoded values then stay as they were.
bool stepToRecord(const LibraryState& state, FileStruct& file, int32_t number);

// Closes the file with identifier `id` and forgets it; unknown identifiers are ignored.
void closeRecordedFile(LibraryState& state, uint32_t id);

} // namespace zs::frame
