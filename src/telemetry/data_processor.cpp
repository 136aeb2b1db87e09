#include "telemetry/data_processor.h"

#include <algorithm>

namespace zs::telemetry {
namespace {

constexpr std::u16string_view kChannelCodeNames[16] = {
    u"Mic", u"A",  u"X",  u"Y",  u"Z",  u"LF", u"HF", u"D",
    u"NO",  u"NO", u"NO", u"NO", u"NO", u"K1", u"K2", u"K3",
};

// Band set index 0..2 of a band-frequency word, -1 when it names none.
int bandFrequencySet(uint32_t word) {
    uint32_t k = (word & 0xFFFF) >> 12;
    if (k > 6)
        k -= 6;
    else if (k > 3)
        k -= 3;
    return k >= 1 && k <= 3 ? static_cast<int>(k) - 1 : -1;
}

} // namespace

void resetResults(std::span<ChannelRow> rows, DecoderState& state, StreamLayout& layout) {
    layout.channelCount = 0;
    layout.columnCount = {};
    layout.indexCount = {};
    for (auto& f : state.bandFrequencies) f.clear();
    state.serialNumber = 0;
    for (auto& row : rows) {
        row.overflowFlags = 0;
        row.underrangeFlags = 0;
        row.correction = 0.0;
        row.sensitivity = 0.0;
        row.kBase = 0.0;
        row.inverseSensitivity = 0.0;
        row.factor500D = 0.0;
        row.correctionFactor = 0.0;
        row.kBaseCopy = 0.0;
        row.name[0] = 0;
        for (auto& sub : row.subNames) sub[0] = 0;
        for (auto& v : row.values) v.clear();
    }
    layout.sensorCount = 1;
}

bool selectLayout(const DescriptionTable& table, std::span<ChannelRow> rows, DecoderState& state,
                  StreamLayout& layout) {
    const auto found = table.layouts.find(state.deviceType);
    if (found == table.layouts.end() || found->second.words.empty()) {
        resetResults(rows, state, layout);
        return false;
    }
    layout = found->second;
    resetResults(rows, state, layout);

    const size_t rowCount = rows.size();
    uint32_t statItemCount = 0;
    std::array<bool, 3> interpolated{};
    for (const uint32_t word : layout.words) {
        const uint32_t c = (word >> 16) & 0xFFF;
        const uint32_t low = word & 0xFFFF;
        if (c == 0x016 || c == 0x017) {
            statItemCount = std::max(statItemCount, (word & 0xFF) + 1);
        } else if (c == 0x018 || c == 0x00A) {
            layout.sensorCount = std::max(layout.sensorCount, low >> 8);
        } else if ((c >> 8) == 1 || (c >> 8) == 2) {
            const uint32_t ch = (word >> 16) & 0xF;
            const uint32_t set = (word >> 20) & 0xF;
            const uint32_t idx = layout.wideColumns == 0 ? low >> 8 : low >> 12;
            const uint32_t col = layout.wideColumns == 0 ? word & 0xFF : word & 0xFFF;
            if (ch >= rowCount || set < 1 || set > 3) return false;
            const uint32_t s = set - 1;
            layout.channelCount = std::max(layout.channelCount, ch + 1);
            layout.columnCount[s] = std::max(layout.columnCount[s], col + 1);
            layout.indexCount[s] = std::max(layout.indexCount[s], idx + 1);
            auto& values = rows[ch].values[s];
            if (values.size() < idx + 1) values.resize(idx + 1);
            if (values[idx].size() < col + 1) values[idx].resize(col + 1, kNoValue);
        } else if (c == 0x01F || c == 0x020) {
            const int t = bandFrequencySet(word);
            if (t < 0) continue;
            auto& frequencies = state.bandFrequencies[t];
            const uint32_t col = word & 0xFFF;
            if (col == 0xFFE || col == 0xFFF) {
                if (frequencies.size() < 2) frequencies.resize(2);
                if (col == 0xFFF) interpolated[t] = true;
            } else if (col >= frequencies.size()) {
                frequencies.resize(col + 1);
                layout.columnCount[t] = std::max(layout.columnCount[t], col + 1);
            }
        }
    }

    if (layout.channelCount > 1) layout.sensorCount = 1;
    if (layout.sensorCount > rowCount) layout.sensorCount = static_cast<uint32_t>(rowCount);
    for (size_t t = 0; t < 3; ++t)
        if (interpolated[t]) state.bandFrequencies[t].resize(layout.columnCount[t]);

    // Statistics items without blocks have nowhere to go: no items then.
    const uint32_t itemsPerBlock = layout.statBlocks ? statItemCount / layout.statBlocks : 0;
    for (auto& row : rows) {
        // Filled in place: a reshape to a layout no larger than one before allocates nothing.
        for (size_t s = 0; s < 3; ++s) {
            row.values[s].resize(layout.indexCount[s]);
            for (auto& cells : row.values[s]) cells.assign(layout.columnCount[s], kNoValue);
        }
        row.statBlocks.resize(layout.statBlocks);
        for (auto& block : row.statBlocks) {
            block.items.assign(itemsPerBlock, StatItem{});
            block.histogram.assign(kHistogramSize, -1);
        }
    }
    return true;
}

std::u16string channelName(const DescriptionTable& table, const DecoderState& state,
                           uint32_t index) {
    if (index > 7) return {};
    if (state.channelNameCodes != 0xFFFF) {
        // Indices 4 to 7 shift past the 16 bits and so read code 0.
        const uint32_t code = (uint32_t(state.channelNameCodes) >> (4 * index)) & 0xF;
        return std::u16string(kChannelCodeNames[code]);
    }
    const auto found = table.channelNameSets.find(state.programNumber);
    if (found == table.channelNameSets.end() || index >= 4) return {};
    return found->second.channelNames[index];
}

} // namespace zs::telemetry
