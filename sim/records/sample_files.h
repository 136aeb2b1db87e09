#pragma once
// The recorded sample files of the simulated noise logger: which layout each uses, what its
// records hold, and the file bytes. Tests compute their expectations from the same content.
#include "description_source.h"
#include "record_encoder.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zs::sim {

struct SampleFile {
    const char* fileName;
    uint16_t deviceType;
    uint16_t programNumber;
    uint32_t serialNumber; // the current layout's serial sits where the layout test looks
    int records;
};

// The analyser of type 28 in the current layout: type and program first, the serial number
// (0x0003xxxx) at offset 4 where the layout test looks.
inline constexpr SampleFile kSampleCurrent{"sample-current.bin", 28, 40, 0x00031001, 6};
// The recorder of the older layout: program 5548 at offset 18, device type 5548 - 5536 = 12.
inline constexpr SampleFile kSampleOlder{"sample-older.bin", 12, 5548, 0, 4};

// One record's content: a noise spectrum that changes a little from record to record.
RecordContent sampleContent(const SampleFile& file, int record);

// The layout the file's records follow; throws when the description lacks it.
const zsdesc::Layout& sampleLayout(const zsdesc::Description& description, const SampleFile& file);

std::vector<uint8_t> sampleRecord(const zsdesc::Description& description, const SampleFile& file,
                                  int record);
std::vector<uint8_t> sampleFileBytes(const zsdesc::Description& description,
                                     const SampleFile& file);

} // namespace zs::sim
