#pragma once
#include "telemetry/data_processor.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace zs::frame {

inline constexpr double kNoResult = -1.0;

// One value of the result tables: rows[row].values[group][averagingIndex][column]; a column
// past the values reads on into the group's band frequencies. kNoResult when out of range.
// `dataLock`, when given, is held around the copy of the value only.
double readResult(const telemetry::CDataProcessor& record, uint32_t row, uint32_t group,
                  uint32_t averagingIndex, uint32_t column, std::mutex* dataLock);

// The name of an averaging index of a group; false when there is none. The layout and the
// table shapes are read under `dataLock`, when given, like a value.
bool averagingName(const telemetry::CDataProcessor& record, uint32_t group, uint32_t averagingIndex,
                   std::u16string& name, std::mutex* dataLock);

// The label of a band column: its frequency ("%.2lf") when the group's band frequencies are
// known, else its name from the description's band-name table; false when there is none.
// Read under `dataLock` as averagingName is.
bool bandLabel(const telemetry::DescriptionTable& table, const telemetry::CDataProcessor& record,
               uint32_t group, uint32_t averagingIndex, uint32_t band, std::u16string& label,
               std::mutex* dataLock);

} // namespace zs::frame
