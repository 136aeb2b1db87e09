// Arbitrary layout words and record bytes through selectLayout and every decoder entry.
// Input: flags, stat blocks, type selector, word count, the words, then the record. The
// description table and the records are reused between inputs.
#include "telemetry/description_file.h"
#include "telemetry/record_decoder.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

using namespace zs::telemetry;

namespace {

struct Shape {
    std::array<std::array<std::vector<size_t>, 3>, kRowCount> cells;
    std::array<std::vector<size_t>, kRowCount> blocks;
    std::array<size_t, 3> frequencies{};

    explicit Shape(const CDataProcessor& p) {
        for (size_t r = 0; r < kRowCount; ++r) {
            for (size_t s = 0; s < 3; ++s)
                for (const auto& cells_ : p.rows[r].values[s]) cells[r][s].push_back(cells_.size());
            for (const auto& block : p.rows[r].statBlocks) {
                blocks[r].push_back(block.items.size());
                blocks[r].push_back(block.histogram.size());
            }
        }
        for (size_t s = 0; s < 3; ++s) frequencies[s] = p.state.bandFrequencies[s].size();
    }
    bool operator==(const Shape&) const = default;
};

} // namespace

// The tables of one layout reach megabytes: a small quarantine keeps a campaign of millions
// of reshapes flat in memory.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    static constexpr uint16_t kTypes[8] = {28, 29, 38, 43, 118, 132, 141, 143};
    const uint8_t flags = data[0];
    const uint32_t statBlocks = data[1] & 7;
    const uint16_t type = kTypes[data[2] & 7];
    const size_t wordCount = std::min<size_t>(data[3] & 63, (size - 4) / 4);
    static std::vector<uint32_t> words;
    words.resize(wordCount);
    if (wordCount) std::memcpy(words.data(), data + 4, wordCount * 4);
    const std::span<const uint8_t> record(data + 4 + wordCount * 4, size - 4 - wordCount * 4);

    // The table and the records live from input to input, as a device's do from record to
    // record, each type with a record of its own. A record is reshaped only when its layout
    // changed, as a device's is only when its instrument changes program: most inputs then
    // cost only their decoding, and no storage is churned.
    static DescriptionTable table;
    struct Shaped {
        CDataProcessor processor;
        std::vector<uint32_t> words;
        uint32_t statBlocks = ~0u;
        uint32_t wideColumns = ~0u;
        std::optional<Shape> shape;
    };
    static std::array<Shaped, std::size(kTypes)> records; // one per type
    Shaped& r = records[data[2] & 7];
    CDataProcessor& p = r.processor;
    if (!r.shape || r.words != words || r.statBlocks != statBlocks ||
        r.wideColumns != (flags & 1u)) {
        StreamLayout& layout = table.layouts[type];
        layout.words.assign(words.begin(), words.end());
        layout.statBlocks = statBlocks;
        layout.wideColumns = flags & 1;
        layout.typeOffset = layoutItemOffset(table, type, kTypeWord);
        table.signalLayouts[type].trailerWords.assign(words.begin(), words.end());
        p.state.deviceType = type;
        p.selectLayout(table); // a refused layout leaves partly shaped tables: decode them anyway
        r.words.assign(words.begin(), words.end());
        r.statBlocks = statBlocks;
        r.wideColumns = flags & 1;
        r.shape.emplace(p);
    }
    p.state.deviceType = type;
    p.layout.sensorCount = (flags >> 1) & 15;
    const Shape& shaped = *r.shape;
    for (int pass = 0; pass < 2; ++pass) {
        decodeRecord(record, p.rows, p.state, words, p.layout.sensorCount, p.layout.wideColumns);
        decodeCheckedByTable(table, record, p.rows, p.state);
        decodeCheckedByDevice(record, p.rows, p.state, p.layout);
        decodeSignalTrailer(table, record, (flags & 0x20) != 0, p.rows, p.state);
    }
    // The decoder writes cells; it never reshapes the tables.
    if (!(Shape(p) == shaped)) std::abort();
    return 0;
}
