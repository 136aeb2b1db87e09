// Arbitrary bytes as a description file image, merged into a table that already holds
// entries, then every loaded layout shaped and named.
#include "telemetry/data_processor.h"
#include "telemetry/description_file.h"

#include <cstdlib>

using namespace zs::telemetry;

namespace {

DescriptionTable startingTable() {
    DescriptionTable t;
    t.layouts[28].words = {kTypeWord, 0x01100000};
    t.layouts[28].typeOffset = 0;
    t.channelNameSets[40].channelNames = {u"Mic", u"", u"", u""};
    t.bandNames = {u"20", u"25"};
    t.signalLayouts[118].trailerWords = {kTypeWord};
    t.parameters.push_back({u"a", u"b", u"c", 1, 2, 3});
    t.codePairs[1] = 2;
    return t;
}

void check(bool condition) {
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const DescriptionTable before = startingTable();
    DescriptionTable table = before;
    const bool matched = parseTelemetryDescription(table, {data, size}, kLoadLanguage);
    if (!matched) check(table.channelNameSets == before.channelNameSets);
    for (const auto& [type, layout] : table.layouts)
        check(layout.typeOffset == layoutItemOffset(table, type, kTypeWord));

    // A second load in another language merges into the first.
    parseTelemetryDescription(table, {data, size}, u"English");

    for (const auto& [type, layout] : table.layouts) {
        // Shaping is the slow part: keep the runs quick and the histograms (4 KiB per block
        // and row) small.
        if (layout.statBlocks > 8 || layout.words.size() > 128) continue;
        CDataProcessor record;
        record.state.deviceType = static_cast<uint16_t>(type);
        record.state.programNumber = static_cast<uint16_t>(type >> 16);
        record.selectLayout(table);
        for (uint32_t i = 0; i < 9; ++i) record.channelName(table, i);
    }
    return 0;
}
