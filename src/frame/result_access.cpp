#include "frame/result_access.h"

#include <cstdio>

namespace zs::frame {

double readResult(const telemetry::CDataProcessor& r, uint32_t row, uint32_t group,
                  uint32_t averagingIndex, uint32_t column, std::mutex* dataLock) {
    if (row >= 8 || group > 2) return kNoResult;
    // The shape is read under the lock too: the I/O thread may reshape the tables (the
    // first record of a network instrument selects its layout) and move the cells.
    std::unique_lock<std::mutex> lock;
    if (dataLock) lock = std::unique_lock(*dataLock);
    if (static_cast<int32_t>(row) >= static_cast<int32_t>(r.layout.channelCount)) return kNoResult;
    const auto& byIndex = r.rows[row].values[group];
    if (averagingIndex >= byIndex.size()) return kNoResult;
    const auto& values = byIndex[averagingIndex];
    const double* cell = nullptr;
    if (column < values.size()) {
        cell = &values[column];
    } else {
        const auto& frequencies = r.state.bandFrequencies[group];
        const size_t k = column - values.size();
        if (k >= frequencies.size()) return kNoResult;
        cell = &frequencies[k];
    }
    return *cell;
}

bool averagingName(const telemetry::CDataProcessor& r, uint32_t group, uint32_t averagingIndex,
                   std::u16string& name, std::mutex* dataLock) {
    if (group > 2) return false;
    std::unique_lock<std::mutex> lock;
    if (dataLock) lock = std::unique_lock(*dataLock);
    if (averagingIndex >= r.rows[0].values[group].size()) return false; // row 0 decides
    const auto it = r.layout.averagingNames.find(averagingIndex);
    if (it == r.layout.averagingNames.end()) return false;
    name = it->second;
    return true;
}

bool bandLabel(const telemetry::DescriptionTable& table, const telemetry::CDataProcessor& r,
               uint32_t group, uint32_t averagingIndex, uint32_t band, std::u16string& label,
               std::mutex* dataLock) {
    if (group > 2) return false;
    std::unique_lock<std::mutex> lock;
    if (dataLock) lock = std::unique_lock(*dataLock);
    const auto& byIndex = r.rows[0].values[group];
    if (averagingIndex >= byIndex.size()) return false;
    const size_t columns = byIndex[averagingIndex].size();
    const auto& frequencies = r.state.bandFrequencies[group];
    uint64_t nameIndex = 0;
    switch (group) {
    case 0:
        if (band >= columns) return false;
        nameIndex = uint64_t{band} * 3 + r.layout.bandNameBase1; // every third name
        break;
    case 1:
        if (band >= columns && band >= frequencies.size()) return false;
        nameIndex = uint64_t{r.layout.bandNameBase2} + band;
        break;
    default:
        if (band >= columns) return false;
        nameIndex = uint64_t{r.layout.bandNameBase3} + band;
        break;
    }
    if (!frequencies.empty()) {
        if (band >= frequencies.size()) return false;
        char text[64];
        std::snprintf(text, sizeof text, "%.2lf", frequencies[band]);
        label.assign(text, text + std::char_traits<char>::length(text));
        return true;
    }
    if (nameIndex >= table.bandNames.size()) return false;
    label = table.bandNames[nameIndex];
    return true;
}

} // namespace zs::frame
