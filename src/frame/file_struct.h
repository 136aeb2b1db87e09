#pragma once
#include "telemetry/data_processor.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace zs::frame {

// One open recorded file, held by value in the file list. Copying copies the base deeply;
// the stream is closed by whoever removes the record from the list, not by the record.
struct FileStruct : telemetry::CDataProcessor {
    std::FILE* recordFile = nullptr;
    uint32_t fileId = 0;
    std::vector<uint8_t> recordBuffer; // one record
    // Bytes read ahead of (or behind) the current record, so stepping through the file costs
    // one read per window instead of one per record.
    std::vector<uint8_t> readAhead;
    uint64_t readAheadOffset = 0;
    size_t readAheadLength = 0;
    size_t readAheadWindow = 0; // bytes the next read asks for
};

} // namespace zs::frame
