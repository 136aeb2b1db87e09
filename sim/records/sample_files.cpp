#include "sample_files.h"

#include <cmath>
#include <stdexcept>

namespace zs::sim {

RecordContent sampleContent(const SampleFile& file, int record) {
    RecordContent c;
    c.deviceType = file.deviceType;
    c.programNumber = file.programNumber;
    c.sequence = static_cast<uint16_t>(100 + record);
    c.packedDate = (2024 - 1980) << 9 | 5 << 5 | 17;
    const int seconds = 30 + 2 * record;
    c.packedTime = 10u << 12 | 20u << 6 | static_cast<uint32_t>(seconds);
    c.serialNumber = file.serialNumber;
    c.range = 1; // range 1 under either range code (0x2021 sends 2 - range)
    c.startStop = 1;
    c.overflow = record % 2 ? 0x0003 : 0;
    c.untagged = {0, 0};
    // Band levels of a pink-ish noise: louder at low bands, a few dB apart per channel and
    // averaging, drifting slowly from record to record.
    c.value = [record](int channel, int set, int index, int column) {
        return 62.0 + 4.0 * set - 0.9 * column + 4.0 * std::sin(0.9 * column + channel) +
               2.5 * channel + 0.8 * index + 0.25 * record;
    };
    // One-third-octave mid frequencies around 1 kHz.
    c.bandFrequency = [](int, int column) {
        return std::round(1000.0 * std::pow(10.0, (column - 4) / 10.0) * 100.0) / 100.0;
    };
    return c;
}

const zsdesc::Layout& sampleLayout(const zsdesc::Description& d, const SampleFile& file) {
    for (const auto& layout : d.layouts)
        if (layout.typeCode == file.deviceType) return layout;
    throw std::runtime_error("the description has no layout for type " +
                             std::to_string(file.deviceType));
}

std::vector<uint8_t> sampleRecord(const zsdesc::Description& d, const SampleFile& file,
                                  int record) {
    const auto& layout = sampleLayout(d, file);
    return encodeRecord(layout.words, layout.wideColumns, sampleContent(file, record),
                        layout.recordSize.value_or(0));
}

std::vector<uint8_t> sampleFileBytes(const zsdesc::Description& d, const SampleFile& file) {
    std::vector<uint8_t> bytes;
    for (int r = 0; r < file.records; ++r) {
        const auto record = sampleRecord(d, file, r);
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    return bytes;
}

} // namespace zs::sim
