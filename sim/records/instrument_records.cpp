#include "instrument_records.h"

#include "description_json.h"
#include "record_encoder.h"

#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace zs::sim {

const zsdesc::Description& referenceDescription(const std::filesystem::path& folder) {
    static std::once_flag once;
    static zsdesc::Description description;
    std::call_once(once, [&] {
        std::ifstream in(folder / "TeleDescFile.json");
        if (!in) throw std::runtime_error("TeleDescFile.json not found");
        description = zsdesc::descriptionFromJson(nlohmann::json::parse(in));
    });
    return description;
}

std::vector<uint8_t> identificationRecord(const zsdesc::Description& description, uint16_t type,
                                          uint16_t program, uint32_t serial) {
    for (const auto& layout : description.layouts) {
        if (layout.typeCode != type) continue;
        RecordContent content;
        content.deviceType = type;
        content.programNumber = program;
        content.serialNumber = serial;
        content.sequence = 1;
        content.value = [](int channel, int, int index, int column) {
            return 30.0 + channel + 0.5 * index + 0.25 * column;
        };
        return encodeRecord(layout.words, layout.wideColumns, content,
                            layout.recordSize.value_or(0));
    }
    throw std::runtime_error("no layout for the instrument type");
}

} // namespace zs::sim
