#include "frame/recorded_files.h"

#include "frame/description_guard.h"
#include "frame/lookup.h"
#include "platform/file.h"
#include "platform/little_endian.h"
#include "platform/text.h"
#include "telemetry/record_decoder.h"

#include <algorithm>
#include <cstring>

namespace zs::frame {
namespace {

uint32_t readU32(std::FILE* f, bool& ok) {
    uint8_t b[4];
    ok = std::fread(b, 1, 4, f) == 4;
    return ok ? platform::le32(b) : 0;
}

// A field whose read delivers nothing keeps the value it had.
void readU16(std::FILE* f, uint16_t& field) {
    uint8_t b[2];
    if (std::fread(b, 1, 2, f) == 2) field = static_cast<uint16_t>(b[0] | b[1] << 8);
}

// The two opening-field layouts, told apart by the word at offset 6 (2 to 5: current).
void readOpeningFields(std::FILE* f, telemetry::DecoderState& s) {
    bool ok = false;
    uint32_t v = 0;
    if (platform::seekTo(f, 4)) v = readU32(f, ok);
    if (ok && v >= 0x00020000u && v <= 0x0005FFFFu) {
        platform::seekTo(f, 0);
        readU16(f, s.deviceType);
        readU16(f, s.programNumber);
    } else {
        // Files too short to hold the test word are taken as the older layout.
        if (platform::seekTo(f, 18)) readU16(f, s.programNumber);
        s.deviceType = static_cast<uint16_t>(s.programNumber - 5536);
    }
}

// Reads grow up to this many bytes while the records are taken in order.
constexpr size_t kReadAheadLimit = 64 * 1024;

// Points `record` at the `size` bytes at `offset`, reading when they are not already held.
// Only bytes that were in the file when read are held, so a file another program is still
// writing stays readable to its current end.
bool readRecordBytes(FileStruct& file, uint64_t offset, size_t size, const uint8_t*& record) {
    const uint64_t held = file.readAheadOffset;
    if (offset >= held && offset + size <= held + file.readAheadLength) {
        record = file.readAhead.data() + (offset - held);
        return true;
    }
    // In order, forwards or backwards, the window doubles; anywhere else it starts over.
    const bool forwards = offset == held + file.readAheadLength;
    const bool backwards = offset + size == held && file.readAheadLength > 0;
    const size_t limit = std::max(kReadAheadLimit, size);
    size_t window = forwards || backwards ? std::min(file.readAheadWindow * 2, limit) : size;
    window = std::max(window, size);
    uint64_t start = offset;
    if (backwards) start = offset + size > window ? offset + size - window : 0;
    if (start + window > uint64_t{INT32_MAX} + 1) window = size; // offsets stay 32-bit
    if (file.readAhead.size() < window) file.readAhead.resize(limit);
    file.readAheadLength = 0;
    file.readAheadWindow = window;
    if (!platform::seekTo(file.recordFile, static_cast<int32_t>(start))) return false;
    file.readAheadOffset = start;
    file.readAheadLength = std::fread(file.readAhead.data(), 1, window, file.recordFile);
    if (offset + size > start + file.readAheadLength) return false;
    record = file.readAhead.data() + (offset - start);
    return true;
}

} // namespace

int32_t openRecordedFile(LibraryState& state, std::u16string_view path) {
    ensureDescriptionLoaded();
    std::FILE* stream = platform::openSharedForReading(platform::pathFromUtf16(path));
    if (!stream) return kOpenFailed;

    state.files.push_back(FileStruct{});
    FileStruct& file = state.files.back();
    // The two last values would read as the failure results -1 and -2: wrap before them.
    uint32_t id = state.nextFileId;
    if (id >= 0xFFFFFFFEu) id = 256;
    state.nextFileId = id + 1;
    if (state.nextFileId < 256) state.nextFileId = 256;
    file.fileId = id;
    file.recordFile = stream;

    readOpeningFields(stream, file.state);
    // A layout with a record size of 0 could never be stepped through: treat it as unknown.
    if (!file.selectLayout(state.description) || file.layout.recordSize == 0) {
        closeRecordedFile(state, id);
        return kNoDescription;
    }
    file.recordBuffer.assign(file.layout.recordSize, 0);
    stepToRecord(state, file, 0);
    return static_cast<int32_t>(id);
}

uint32_t recordCount(FileStruct& file) {
    const int32_t size = platform::seekToEnd(file.recordFile);
    if (size <= 0 || file.layout.recordSize == 0) return 0;
    return static_cast<uint32_t>(size) / file.layout.recordSize;
}

bool stepToRecord(const LibraryState& state, FileStruct& file, int32_t number) {
    if (number < 0 || file.recordBuffer.empty()) return false;
    const uint64_t offset = static_cast<uint64_t>(number) * file.layout.recordSize;
    if (offset > INT32_MAX) return false;
    const size_t size = file.recordBuffer.size();
    const uint8_t* record = nullptr;
    if (!readRecordBytes(file, offset, size, record)) return false;
    std::memcpy(file.recordBuffer.data(), record, size);
    telemetry::decodeCheckedByTable(state.description, file.recordBuffer, file.rows, file.state);
    return true;
}

void closeRecordedFile(LibraryState& state, uint32_t id) {
    for (auto it = state.files.begin(); it != state.files.end(); ++it) {
        if (it->fileId != id) continue;
        if (it->recordFile) std::fclose(it->recordFile);
        state.files.erase(it);
        return;
    }
}

} // namespace zs::frame
