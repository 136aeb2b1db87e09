#include "telemetry/description_builder.h"
#include "telemetry/description_file.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

namespace zs::telemetry {
namespace {

using test::buildDescription;
using test::DescriptionImage;
using test::LayoutEntry;

const std::u16string kRu = u"Русский";
const std::u16string kEn = u"English";

bool parse(DescriptionTable& table, const DescriptionImage& image, std::u16string_view lang = kRu) {
    return parseTelemetryDescription(table, buildDescription(image), lang);
}

// A file that uses every section, so that each one is both read and cut short.
DescriptionImage fullImage(uint32_t version = 13) {
    DescriptionImage f;
    f.version = version;
    LayoutEntry l;
    l.typeCode = 28;
    l.words = {0xF0030000, 0x50040000, 0x201B0000, 0x01100000};
    l.valueFlags = {1, 2, 3, 4};
    l.bandNameBase1 = 7;
    l.bandNameBase2 = 40;
    l.bandNameBase3 = 60;
    l.statBlocks = 2;
    l.recordSize = 24;
    l.wideColumns = 1;
    l.reserved6 = 9;
    l.textSets = {{kEn, {u"e1", u"e2", u"e3", u"e4", u"e5", u"e6"}},
                  {kRu, {u"р1", u"р2", u"р3", u"р4", u"р5", u"р6"}}};
    l.averagingSets = {{kRu, {{0, u"Fast"}, {1, u"Slow"}, {0, u"Быстро"}}}, {kEn, {{5, u"Other"}}}};
    f.layouts.push_back(l);
    f.channelSets = {{42,
                      {{kEn, u"Title", {u"a", u"b", u"c", u"d"}, {u"X", u"Y", u"Z", u"W"}},
                       {kRu, u"Заголовок", {u"а", u"б", u"в", u"г"}, {u"Мик", u"А", u"Б", u"В"}}}}};
    f.bandNames = {u"31.5", u"63", u"125"};
    f.signals = {
        {28, 51200.0, 25600.0, 0x13, 0x12, u"Pa", 1.5, 2.5, {1, 10, 100, 1000}, {0x20110000}}};
    f.oldParameters = {{u"", u"old", u"", 1, 2, 3}};
    f.parameterBlocks = {{kRu, {{u"a", u"b", u"c", 4, 5, 6}}},
                         {kEn, {{u"x", u"y", u"z", 7, 8, 9}}}};
    f.codePairs = {{1, 10}, {2, 20}, {1, 99}};
    f.overrides = {{kRu, {{1, u"63 Гц"}, {3, u"past the end"}}}, {kEn, {{0, u"ignored"}}}};
    return f;
}

TEST(DescriptionFile, FullFileStoresEveryFieldOfTheLoadLanguage) {
    DescriptionTable t;
    ASSERT_TRUE(parse(t, fullImage()));

    ASSERT_EQ(t.layouts.size(), 1u);
    const StreamLayout& l = t.layouts.at(28);
    EXPECT_EQ(l.words, (std::vector<uint32_t>{0xF0030000, 0x50040000, 0x201B0000, 0x01100000}));
    EXPECT_EQ(l.valueFlags, (std::vector<uint16_t>{1, 2, 3, 4}));
    EXPECT_EQ(l.bandNameBase1, 7u);
    EXPECT_EQ(l.bandNameBase2, 40u);
    EXPECT_EQ(l.bandNameBase3, 60u);
    EXPECT_EQ(l.statBlocks, 2u);
    EXPECT_EQ(l.reservedReal1, 0.5);
    EXPECT_EQ(l.reservedReal2, 2.0);
    EXPECT_EQ(l.recordSize, 24u);
    EXPECT_EQ(l.wideColumns, 1u);
    EXPECT_EQ(l.reserved6, 9u);
    EXPECT_EQ(l.texts[0], u"р1");
    EXPECT_EQ(l.texts[5], u"р6");
    // A repeated key within the matching set keeps its last name; other languages are dropped.
    EXPECT_EQ(l.averagingNames, (std::map<uint32_t, std::u16string>{{0, u"Быстро"}, {1, u"Slow"}}));
    EXPECT_EQ(l.typeOffset, 14); // after a 10-byte and a 4-byte item
    EXPECT_EQ(l.sensorCount, 0u);
    EXPECT_EQ(l.channelCount, 0u);

    const ChannelNameSet& names = t.channelNameSets.at(42);
    EXPECT_EQ(names.title, u"Заголовок");
    EXPECT_EQ(names.captions[3], u"г");
    EXPECT_EQ(names.channelNames, (std::array<std::u16string, 4>{u"Мик", u"А", u"Б", u"В"}));

    EXPECT_EQ(t.bandNames, (std::vector<std::u16string>{u"31.5", u"63 Гц", u"125"}));

    const SignalLayout& s = t.signalLayouts.at(28);
    EXPECT_EQ(s.samplingRateHigh, 51200.0);
    EXPECT_EQ(s.samplingRateNormal, 25600.0);
    EXPECT_EQ(s.streamConfigHigh, 0x13u);
    EXPECT_EQ(s.streamConfigNormal, 0x12u);
    EXPECT_EQ(std::u16string(s.unitText.data()), u"Pa");
    EXPECT_EQ(s.unitText[15], 0);
    EXPECT_EQ(s.fallbackFactor, 1.5);
    EXPECT_EQ(s.initialFactor, 2.5);
    EXPECT_EQ(s.rangeFactors, (std::array<double, 4>{1, 10, 100, 1000}));
    EXPECT_EQ(s.trailerWords, std::vector<uint32_t>{0x20110000});

    ASSERT_EQ(t.parameters.size(), 1u);
    EXPECT_EQ(t.parameters[0], (ParameterText{u"a", u"b", u"c", 4, 5, 6}));
    EXPECT_EQ(t.codePairs, (std::map<uint32_t, uint32_t>{{1, 10}, {2, 20}}));
}

TEST(DescriptionFile, HeaderOnlyFileLoadsButMatchesNothing) {
    DescriptionTable t;
    t.bandNames = {u"old"};
    DescriptionImage f;
    f.version = 0;
    EXPECT_FALSE(parse(t, f));
    EXPECT_TRUE(t.bandNames.empty()); // the file was read: the name table is cut to its 0
}

TEST(DescriptionFile, FieldsAppearByVersion) {
    struct Case {
        uint32_t version;
        std::vector<uint16_t> flags;
        uint32_t base2;
        uint32_t wideColumns;
        uint32_t reserved6;
        std::u16string channelName0;
        std::u16string parameterA;
        std::u16string parameterC;
    };
    const Case cases[] = {
        {0, {0xFFFF, 0xFFFF}, 6, 0, 0, u"", u"", u""},
        {2, {0xFFFF, 0xFFFF}, 6, 0, 0, u"", u"", u""},
        {3, {0xFFFF, 0xFFFF}, 6, 1, 0, u"", u"", u""},
        {4, {1, 2}, 6, 1, 0, u"", u"", u""},
        {7, {1, 2}, 6, 1, 0, u"Мик", u"", u""},
        {8, {1, 2}, 6, 1, 0, u"Мик", u"a", u""},
        {10, {1, 2}, 6, 1, 0, u"Мик", u"a", u"c"},
        {11, {1, 2}, 40, 1, 0, u"Мик", u"a", u"c"},
        {13, {1, 2}, 40, 1, 9, u"Мик", u"a", u"c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        DescriptionImage f;
        f.version = c.version;
        LayoutEntry l;
        l.typeCode = 5;
        l.words = {0x00010000, 0x00020000};
        l.valueFlags = {1, 2};
        l.bandNameBase1 = 7;
        l.bandNameBase2 = 40;
        l.wideColumns = 1;
        l.reserved6 = 9;
        f.layouts = {l};
        f.channelSets = {{3, {{kRu, u"t", {}, {u"Мик", u"", u"", u""}}}}};
        f.oldParameters = {{u"", u"b", u"", 1, 2, 3}};
        f.parameterBlocks = {{kRu, {{u"a", u"b", u"c", 1, 2, 3}}}};
        f.codePairs = {{1, 2}};
        DescriptionTable t;
        t.codePairs = {{7, 7}};
        EXPECT_TRUE(parse(t, f));
        const StreamLayout& got = t.layouts.at(5);
        EXPECT_EQ(got.valueFlags, c.flags);
        EXPECT_EQ(got.bandNameBase2, c.base2);
        EXPECT_EQ(got.wideColumns, c.wideColumns);
        EXPECT_EQ(got.reserved6, c.reserved6);
        EXPECT_EQ(t.channelNameSets.at(3).channelNames[0], c.channelName0);
        ASSERT_EQ(t.parameters.size(), 1u);
        EXPECT_EQ(t.parameters[0].textA, c.parameterA);
        EXPECT_EQ(t.parameters[0].textB, u"b");
        EXPECT_EQ(t.parameters[0].textC, c.parameterC);
        // The pair map exists from version 6; before it the old map is kept.
        EXPECT_EQ(t.codePairs, c.version >= 6 ? (std::map<uint32_t, uint32_t>{{1, 2}})
                                              : (std::map<uint32_t, uint32_t>{{7, 7}}));
    }
}

TEST(DescriptionFile, BandNameBase2OfOldVersionsWrapsBelowZero) {
    DescriptionImage f;
    f.version = 10;
    LayoutEntry l;
    l.typeCode = 1;
    l.words = {0};
    f.layouts = {l};
    DescriptionTable t;
    parse(t, f);
    EXPECT_EQ(t.layouts.at(1).bandNameBase2, 0xFFFFFFFFu);
}

TEST(DescriptionFile, RejectedHeadersChangeNothing) {
    DescriptionTable before;
    ASSERT_TRUE(parse(before, fullImage()));
    for (uint32_t version : {14u, 15u, 0x80000000u}) {
        DescriptionImage f = fullImage();
        f.version = version;
        DescriptionTable t = before;
        EXPECT_FALSE(parse(t, f)) << version;
        EXPECT_EQ(t, before) << version;
    }
    DescriptionImage f = fullImage();
    f.magic = 0x44545047;
    DescriptionTable t = before;
    EXPECT_FALSE(parse(t, f));
    EXPECT_EQ(t, before);
}

TEST(DescriptionFile, EveryTruncationLeavesTheTableAsItWas) {
    DescriptionTable before;
    DescriptionImage first;
    first.layouts = {{.typeCode = 99, .words = {0x00010000}}};
    first.bandNames = {u"keep"};
    first.codePairs = {{5, 5}};
    first.parameterBlocks = {{kRu, {{u"p", u"q", u"r", 0, 0, 0}}}};
    ASSERT_FALSE(parse(before, first));
    for (uint32_t version : {2u, 6u, 13u}) {
        const std::vector<uint8_t> bytes = buildDescription(fullImage(version));
        for (size_t cut = 0; cut < bytes.size(); ++cut) {
            DescriptionTable t = before;
            const std::span<const uint8_t> prefix(bytes.data(), cut);
            ASSERT_FALSE(parseTelemetryDescription(t, prefix, kRu)) << version << " at " << cut;
            ASSERT_EQ(t, before) << version << " at " << cut;
        }
    }
}

TEST(DescriptionFile, ImpossibleCountsAndLengthsFailBeforeAllocating) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    auto header = [](test::ByteWriter& w) { w.u32(kDescriptionMagic).u32(13); };
    std::vector<Case> cases;
    {
        test::ByteWriter w;
        header(w);
        w.u32(0xFFFFFFFF); // layouts
        cases.push_back({"layout count", w.bytes});
    }
    {
        test::ByteWriter w;
        header(w);
        w.u32(1).u32(28).u32(0x40000000); // one layout with a billion words
        cases.push_back({"word count", w.bytes});
    }
    for (uint32_t length : {0xFFFFFFFFu, 0xFFFFFFFEu, 0x80000000u, 3u}) {
        test::ByteWriter w;
        header(w);
        w.u32(0).u32(0).u32(1).u32(length).u16('a'); // one band name, too long
        cases.push_back({"string length", w.bytes});
    }
    for (const Case& c : cases) {
        DescriptionTable t;
        t.bandNames = {u"kept"};
        EXPECT_FALSE(parseTelemetryDescription(t, c.bytes, kRu)) << c.what;
        EXPECT_EQ(t.bandNames, std::vector<std::u16string>{u"kept"}) << c.what;
    }
}

TEST(DescriptionFile, TrailingBytesAreIgnored) {
    std::vector<uint8_t> bytes = buildDescription(fullImage());
    bytes.insert(bytes.end(), {1, 2, 3});
    DescriptionTable t;
    EXPECT_TRUE(parseTelemetryDescription(t, bytes, kRu));
    EXPECT_EQ(t.layouts.size(), 1u);
}

TEST(DescriptionFile, LaterLayoutOfOneTypeWinsAndTypeOffsetsFollowTheirWords) {
    DescriptionImage f;
    f.layouts = {{.typeCode = 7, .words = {0x201B0000}},
                 {.typeCode = 7, .words = {0x00010000, 0x201B0000}},
                 {.typeCode = 8, .words = {0x00010000, 0x50040000}},
                 {.typeCode = 9, .words = {0xF02F2810, 0x201B0000}}};
    DescriptionTable t;
    parse(t, f);
    EXPECT_EQ(t.layouts.at(7).words, (std::vector<uint32_t>{0x00010000, 0x201B0000}));
    EXPECT_EQ(t.layouts.at(7).typeOffset, 2);
    EXPECT_EQ(t.layouts.at(8).typeOffset, -1);
    EXPECT_EQ(t.layouts.at(9).typeOffset, 82);
}

TEST(DescriptionFile, OtherLanguagesLeaveTextsAndNamesEmpty) {
    DescriptionTable t;
    EXPECT_FALSE(parse(t, fullImage(), u"Deutsch"));
    const StreamLayout& l = t.layouts.at(28);
    for (const auto& text : l.texts) EXPECT_TRUE(text.empty());
    EXPECT_TRUE(l.averagingNames.empty());
    EXPECT_TRUE(t.channelNameSets.empty());
    EXPECT_TRUE(t.parameters.empty());
    EXPECT_EQ(t.bandNames[1], u"63"); // no override in this language
}

TEST(DescriptionFile, LanguageTagsCompareUnitByUnit) {
    for (std::u16string_view lang : {u"русский", u"Русски", u"Русский ", u""}) {
        DescriptionTable t;
        EXPECT_FALSE(parse(t, fullImage(), lang));
        EXPECT_TRUE(t.channelNameSets.empty());
    }
    DescriptionTable t;
    EXPECT_TRUE(parse(t, fullImage(), kEn));
    EXPECT_EQ(t.channelNameSets.at(42).channelNames[0], u"X");
    EXPECT_EQ(t.bandNames[0], u"ignored");
    EXPECT_EQ(t.layouts.at(28).averagingNames.at(5), u"Other");
}

TEST(DescriptionFile, ReloadMergesEntryByEntry) {
    DescriptionImage first = fullImage();
    first.layouts.push_back({.typeCode = 30, .words = {0x201B0000}});
    first.channelSets.push_back({43, {{kRu, u"t", {}, {u"n", u"", u"", u""}}}});
    first.signals.push_back({.typeCode = 31});
    first.bandNames = {u"a", u"b", u"c", u"d", u"e"};

    DescriptionImage second;
    second.layouts = {{.typeCode = 28, .words = {0x00010000, 0x201B0000}}};
    second.channelSets = {{42, {{kRu, u"new", {}, {u"N", u"", u"", u""}}}}};
    second.bandNames = {u"x", u"y"};
    second.signals = {{.typeCode = 28, .samplingRateHigh = 1.0}};
    second.parameterBlocks = {{kEn, {{u"", u"en", u"", 0, 0, 0}}}};
    second.codePairs = {{3, 3}};

    DescriptionTable t;
    ASSERT_TRUE(parse(t, first));
    ASSERT_TRUE(parse(t, second));
    EXPECT_EQ(t.layouts.size(), 2u);
    EXPECT_EQ(t.layouts.at(28).words.size(), 2u);
    EXPECT_EQ(t.layouts.at(28).typeOffset, 2);
    EXPECT_EQ(t.layouts.at(30).typeOffset, 0); // kept, offset computed again
    EXPECT_EQ(t.channelNameSets.at(42).title, u"new");
    EXPECT_EQ(t.channelNameSets.at(43).channelNames[0], u"n");
    EXPECT_EQ(t.bandNames, (std::vector<std::u16string>{u"x", u"y"}));
    EXPECT_EQ(t.signalLayouts.at(28).samplingRateHigh, 1.0);
    EXPECT_TRUE(t.signalLayouts.contains(31));
    EXPECT_TRUE(t.parameters.empty()); // emptied, and the new block is in another language
    EXPECT_EQ(t.codePairs, (std::map<uint32_t, uint32_t>{{3, 3}}));
}

TEST(DescriptionFile, BandNameOverridesStayInsideTheTable) {
    DescriptionImage f;
    f.bandNames = {u"a", u"b"};
    f.overrides = {{kRu, {{2, u"at size"}, {0xFFFFFFFF, u"far"}, {1, u"B"}}}, {kRu, {{0, u"A"}}}};
    DescriptionTable t;
    parse(t, f);
    EXPECT_EQ(t.bandNames, (std::vector<std::u16string>{u"A", u"B"}));
}

TEST(DescriptionFile, LaterMatchingSetsReplaceEarlierOnes) {
    DescriptionImage f;
    LayoutEntry l;
    l.typeCode = 1;
    l.words = {0};
    l.textSets = {{kRu, {u"1", u"", u"", u"", u"", u""}}, {kRu, {u"2", u"", u"", u"", u"", u""}}};
    l.averagingSets = {{kRu, {{0, u"a"}, {1, u"b"}}}, {kRu, {{2, u"c"}}}};
    f.layouts = {l};
    f.channelSets = {{1, {{kRu, u"first", {}, {}}, {kRu, u"second", {}, {}}}}};
    DescriptionTable t;
    EXPECT_TRUE(parse(t, f));
    EXPECT_EQ(t.layouts.at(1).texts[0], u"2");
    EXPECT_EQ(t.layouts.at(1).averagingNames, (std::map<uint32_t, std::u16string>{{2, u"c"}}));
    EXPECT_EQ(t.channelNameSets.at(1).title, u"second");
}

TEST(DescriptionFile, ItemSizes) {
    const std::pair<uint32_t, uint32_t> cases[] = {
        {0x00000000, 2},   {0x40130000, 2},  {0x60160000, 2},  {0xC1100000, 8},
        {0xF0030000, 10},  {0xF0050000, 66}, {0xF02F2810, 82}, {0xF02F0000, 2},
        {0xF02FFF00, 512}, {0xF01A0000, 6},  {0xF0370005, 6},  {0x50040000, 4},
        {0x70200FFF, 4},   {0xA1100000, 4},  {0xD0000000, 4},  {0xE0000000, 4},
    };
    for (auto [word, size] : cases) EXPECT_EQ(itemSize(word), size) << std::hex << word;
}

TEST(DescriptionFile, LayoutItemOffset) {
    DescriptionTable t;
    t.layouts[3].words = {0xF0030000, 0x50040000, 0x201B0000, 0x201B0000};
    EXPECT_EQ(layoutItemOffset(t, 3, 0x201B0000), 14);
    EXPECT_EQ(layoutItemOffset(t, 3, 0xF0030000), 0);
    EXPECT_EQ(layoutItemOffset(t, 3, 0x201C0000), -1);
    EXPECT_EQ(layoutItemOffset(t, 4, 0x201B0000), -1);
}

TEST(DescriptionFile, LoadsFromAFileAndFailsQuietlyWithoutOne) {
    const auto dir = std::filesystem::temp_directory_path() / "zs_description_file_test";
    std::filesystem::create_directories(dir);
    const auto path = dir / "TeleDescFile.bin";
    {
        const auto bytes = buildDescription(fullImage());
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    DescriptionTable t;
    EXPECT_TRUE(loadTelemetryDescription(t, path, kRu));
    EXPECT_TRUE(t.layouts.contains(28));
    DescriptionTable missing;
    EXPECT_FALSE(loadTelemetryDescription(missing, dir / "absent.bin", kRu));
    EXPECT_EQ(missing, DescriptionTable{});
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace zs::telemetry
