#include "telemetry/data_processor.h"

#include <gtest/gtest.h>

namespace zs::telemetry {
namespace {

struct Shaped : CDataProcessor {
    DescriptionTable table;

    bool select(uint16_t type, std::vector<uint32_t> words, uint32_t wideColumns = 0,
                uint32_t statBlocks = 0) {
        StreamLayout& l = table.layouts[type];
        l.words = std::move(words);
        l.wideColumns = wideColumns;
        l.statBlocks = statBlocks;
        state.deviceType = type;
        return selectLayout(table);
    }
};

void expectShape(const ChannelRow& row, size_t set, size_t indices, size_t columns) {
    ASSERT_EQ(row.values[set].size(), indices);
    for (const auto& cells : row.values[set]) {
        ASSERT_EQ(cells.size(), columns);
        for (double v : cells) EXPECT_EQ(v, kNoValue);
    }
}

TEST(DataProcessor, FreshBaseHoldsNothing) {
    CDataProcessor p;
    EXPECT_EQ(p.state.serialNumber, 0xFFFFFFFFu);
    EXPECT_EQ(p.state.deviceType, 0);
    EXPECT_EQ(p.layout.typeOffset, -1);
    EXPECT_EQ(p.layout.sensorCount, 0u);
    EXPECT_EQ(p.layout.reservedReal2, 1.0);
    for (const auto& row : p.rows) EXPECT_TRUE(row.values[0].empty());
}

TEST(DataProcessor, NarrowValueWordShapesEveryRow) {
    Shaped p;
    ASSERT_TRUE(p.select(28, {0x01100205}));
    EXPECT_EQ(p.layout.channelCount, 1u);
    EXPECT_EQ(p.layout.indexCount, (std::array<uint32_t, 3>{3, 0, 0}));
    EXPECT_EQ(p.layout.columnCount, (std::array<uint32_t, 3>{6, 0, 0}));
    EXPECT_EQ(p.layout.sensorCount, 1u);
    for (const auto& row : p.rows) {
        expectShape(row, 0, 3, 6);
        EXPECT_TRUE(row.values[1].empty());
        EXPECT_TRUE(row.statBlocks.empty());
    }
}

TEST(DataProcessor, WideColumnsSplitTheParameterDifferently) {
    Shaped p;
    ASSERT_TRUE(p.select(28, {0x01100205, 0x52331FFE}, 1));
    EXPECT_EQ(p.layout.indexCount, (std::array<uint32_t, 3>{1, 0, 2}));
    EXPECT_EQ(p.layout.columnCount, (std::array<uint32_t, 3>{0x206, 0, 0xFFF}));
    EXPECT_EQ(p.layout.channelCount, 4u);
    expectShape(p.rows[7], 0, 1, 0x206);
    expectShape(p.rows[0], 2, 2, 0xFFF);
}

TEST(DataProcessor, SensorCount) {
    struct Case {
        std::vector<uint32_t> words;
        uint32_t sensors;
    };
    const Case cases[] = {
        {{0x01100000}, 1},                         // no coefficient words
        {{0x01100000, 0x500A0300}, 3},             // one channel, three sensors
        {{0x01100000, 0x01110000, 0x500A0300}, 1}, // several channels: one sensor
        {{0x01100000, 0x30180C00}, 8},             // at most one per row
        {{0x01100000, 0x500A0200, 0x30180500}, 5}, // the largest request
    };
    for (const Case& c : cases) {
        Shaped p;
        ASSERT_TRUE(p.select(1, c.words));
        EXPECT_EQ(p.layout.sensorCount, c.sensors);
    }
}

TEST(DataProcessor, BandFrequencySetsAreSizedByTheirColumns) {
    Shaped p;
    // Set 1 interpolated across value columns 0..30; set 2 named directly up to column 9
    // (with the 96 kHz clock numbering); set 3 with both ends but no columns. Set numbers 0
    // and 4 name no set.
    ASSERT_TRUE(p.select(1, {0x70201FFE, 0x70201FFF, 0x0110001E, 0x90205009, 0x80206FFE, 0x80206FFF,
                             0x70200005, 0x7020A005}));
    EXPECT_EQ(p.state.bandFrequencies[0].size(), 31u);
    EXPECT_EQ(p.state.bandFrequencies[1].size(), 10u);
    EXPECT_EQ(p.layout.columnCount[1], 10u);
    EXPECT_EQ(p.state.bandFrequencies[2].size(), 0u); // interpolated to its 0 columns
    for (double f : p.state.bandFrequencies[0]) EXPECT_EQ(f, 0.0);
}

TEST(DataProcessor, StatisticsBlocks) {
    Shaped p;
    ASSERT_TRUE(p.select(1, {0x01100000, 0x00170005, 0x60160002}, 0, 3));
    for (const auto& row : p.rows) {
        ASSERT_EQ(row.statBlocks.size(), 3u);
        for (const auto& block : row.statBlocks) {
            EXPECT_EQ(block.items.size(), 2u); // 6 items over 3 blocks
            ASSERT_EQ(block.histogram.size(), kHistogramSize);
            for (int32_t h : block.histogram) ASSERT_EQ(h, -1);
        }
    }
    // Items without blocks: nothing to shape, and no division by zero.
    Shaped none;
    ASSERT_TRUE(none.select(1, {0x00170005}, 0, 0));
    EXPECT_TRUE(none.rows[0].statBlocks.empty());
}

TEST(DataProcessor, UnusableLayoutsClearTheResults) {
    Shaped p;
    ASSERT_TRUE(p.select(1, {0x01100203}));
    p.rows[2].correction = 5;
    p.rows[2].name[0] = u'x';
    p.state.serialNumber = 77;
    p.state.deviceType = 2; // no layout
    EXPECT_FALSE(p.selectLayout(p.table));
    EXPECT_TRUE(p.rows[0].values[0].empty());
    EXPECT_EQ(p.rows[2].correction, 0.0);
    EXPECT_EQ(p.rows[2].name[0], 0);
    EXPECT_EQ(p.state.serialNumber, 0u);
    EXPECT_EQ(p.layout.sensorCount, 1u);
    EXPECT_EQ(p.layout.channelCount, 0u);
    EXPECT_FALSE(p.select(3, {})); // present but empty
}

TEST(DataProcessor, ValueWordsTheTablesCannotHoldFail) {
    for (uint32_t bad : {0x01080000u, 0x010F0000u, 0x01000000u, 0x01400000u, 0x02F00000u}) {
        Shaped p;
        EXPECT_FALSE(p.select(1, {0x01100102, bad, 0x01200000})) << std::hex << bad;
        // Shaped as far as the walk came: the first word only.
        ASSERT_EQ(p.rows[0].values[0].size(), 2u);
        EXPECT_EQ(p.rows[0].values[0][1].size(), 3u);
        EXPECT_TRUE(p.rows[0].values[1].empty());
    }
}

TEST(DataProcessor, ChannelNames) {
    DescriptionTable table;
    table.channelNameSets[40].channelNames = {u"Mic", u"Acc", u"", u"Tacho"};
    CDataProcessor p;
    p.state.channelNameCodes = 0x4321;
    const std::u16string coded[] = {u"A", u"X", u"Y", u"Z", u"Mic", u"Mic", u"Mic", u"Mic"};
    for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(p.channelName(table, i), coded[i]);
    EXPECT_EQ(p.channelName(table, 8), u"");

    p.state.channelNameCodes = 0xFEDC;
    EXPECT_EQ(p.channelName(table, 0), u"NO");
    EXPECT_EQ(p.channelName(table, 1), u"K1");
    EXPECT_EQ(p.channelName(table, 3), u"K3");

    p.state.channelNameCodes = 0xFFFF;
    p.state.programNumber = 41;
    for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(p.channelName(table, i), u"");
    p.state.programNumber = 40;
    EXPECT_EQ(p.channelName(table, 1), u"Acc");
    EXPECT_EQ(p.channelName(table, 3), u"Tacho");
    EXPECT_EQ(p.channelName(table, 4), u"");
}

TEST(DataProcessor, CopiesAreDeep) {
    Shaped p;
    ASSERT_TRUE(p.select(1, {0x01100101}));
    CDataProcessor copy = p;
    copy.rows[0].values[0][1][1] = 3.0;
    copy.layout.words.push_back(0);
    EXPECT_EQ(p.rows[0].values[0][1][1], kNoValue);
    EXPECT_EQ(p.layout.words.size(), 1u);
}

} // namespace
} // namespace zs::telemetry
