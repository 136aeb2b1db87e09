#include "platform/local_time.h"
#include "telemetry/description_file.h"
#include "telemetry/record_builder.h"
#include "telemetry/record_decoder.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <tuple>

namespace zs::telemetry {
namespace {

using test::RecordBuilder;

constexpr uint32_t kStatus = 0x00060000; // a 2-byte item whose value shows where the walk was

class Decoder : public ::testing::Test {
  protected:
    // Shapes the tables for `words` as the layout of device type `type`.
    void shape(std::vector<uint32_t> words, uint32_t statBlocks = 0, uint32_t wide = 0,
               uint16_t type = 28) {
        StreamLayout& l = table.layouts[type];
        l.words = std::move(words);
        l.statBlocks = statBlocks;
        l.wideColumns = wide;
        l.typeOffset = layoutItemOffset(table, type, 0x201B0000);
        p.state.deviceType = type;
        ASSERT_TRUE(p.selectLayout(table));
    }
    uint16_t decode(const std::vector<uint8_t>& bytes) {
        return decodeRecord(bytes, p.rows, p.state, p.layout.words, p.layout.sensorCount,
                            p.layout.wideColumns);
    }
    uint16_t decode(const std::vector<uint32_t>& words, const std::vector<uint8_t>& bytes) {
        return decodeRecord(bytes, p.rows, p.state, words, p.layout.sensorCount,
                            p.layout.wideColumns);
    }
    double cell(uint32_t row, uint32_t set, uint32_t idx, uint32_t col) const {
        return p.rows[row].values[set][idx][col];
    }

    DescriptionTable table;
    CDataProcessor p;
};

TEST_F(Decoder, TypeItemGatesTheRestOfTheRecord) {
    const std::vector<uint8_t> record = {0x1C, 0x00, 0x00, 0x02};
    shape({0x201B0000, 0x01100000});
    EXPECT_EQ(decode(record), 28);
    EXPECT_EQ(cell(0, 0, 0, 0), 2.0);

    shape({0x201B0000, 0x01100000}, 0, 0, 29);
    EXPECT_EQ(decode(record), 28);
    EXPECT_EQ(cell(0, 0, 0, 0), kNoValue);
    EXPECT_EQ(p.state.decodeCount, 2u); // a record of another type still counts as decoded
}

TEST_F(Decoder, TheRecordEndStopsTheWalk) {
    shape({0x00010000, kStatus, 0x50040000});
    const auto bytes = RecordBuilder().u16(0x1234).u16(7).u32(99).bytes;
    struct Case {
        size_t length;
        uint16_t date, status;
        uint32_t serial;
    };
    // The serial number starts at 0 after selectLayout and is only ever taken from its item.
    const Case cases[] = {{0, 0, 0, 0},      {2, 0x1234, 0, 0}, {3, 0x1234, 0, 0},
                          {4, 0x1234, 7, 0}, {7, 0x1234, 7, 0}, {8, 0x1234, 7, 99}};
    for (const Case& c : cases) {
        p.state.serialNumber = 0;
        decodeRecord(std::span(bytes.data(), c.length), p.rows, p.state, p.layout.words, 1, 0);
        EXPECT_EQ(p.state.packedDate, c.date) << c.length;
        EXPECT_EQ(p.state.status06, c.status) << c.length;
        EXPECT_EQ(p.state.serialNumber, c.serial) << c.length;
    }
}

TEST_F(Decoder, ValueEncodings) {
    struct Case {
        uint32_t e;
        std::vector<uint8_t> bytes;
        double value;
    };
    const double date = 36892.0 + (12 * 3600 + 30 * 60 + 15) / 86400.0;
    const uint32_t packedDate = 366u << 17 | 12u << 12 | 30u << 6 | 15u;
    const Case cases[] = {
        {0, RecordBuilder().u16(0x0280).bytes, 2.5},
        {1, RecordBuilder().u16(0xFFFF).bytes, 0.0},
        {2, RecordBuilder().u16(0xFFFE).bytes, 65534.0},
        {3, RecordBuilder().u16(1).bytes, 0.0},
        {4, RecordBuilder().u16(1).bytes, 0.0},
        {5, RecordBuilder().i32(-0x18000).bytes, -1.5},
        {6, RecordBuilder().u16(1).bytes, 0.0},
        {7, RecordBuilder().u32(0xFFFFFFFF).bytes, 4294967295.0},
        {8, RecordBuilder().u32(1).bytes, 0.0},
        {9, RecordBuilder().u32(1).bytes, 0.0},
        {10, RecordBuilder().u32(packedDate).bytes, date},
        {11, RecordBuilder().f32(-0.25f).bytes, -0.25},
        {12, RecordBuilder().f64(1e300).bytes, 1e300},
        {13, RecordBuilder().u32(1).bytes, 0.0},
        {14, RecordBuilder().u32(1).bytes, 0.0},
        {15, RecordBuilder().u32(1).bytes, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.e);
        const uint32_t word = c.e << 28 | 0x01100000;
        shape({word, kStatus});
        std::vector<uint8_t> record = c.bytes;
        record.insert(record.end(), {0x2A, 0x00});
        decode(record);
        if (c.e == 10)
            EXPECT_NEAR(cell(0, 0, 0, 0), c.value, 1e-9);
        else
            EXPECT_EQ(cell(0, 0, 0, 0), c.value);
        EXPECT_EQ(p.state.status06, 0x2A); // the walk advanced by exactly the item's size
    }
}

TEST_F(Decoder, ValueItemsFindTheirCells) {
    shape({0x01100203, 0x22320105, 0x01210000}, 0, 0);
    decode({0x01100203, 0x22320105, 0x01210000, 0x01180000, 0x01100909},
           RecordBuilder().u16(0x100).u16(7).u16(0x200).u16(1).u16(1).bytes);
    EXPECT_EQ(cell(0, 0, 2, 3), 1.0);
    EXPECT_EQ(cell(2, 2, 1, 5), 7.0);
    EXPECT_EQ(cell(1, 1, 0, 0), 2.0);
    // Channel 8 and a cell outside the shape are read over and written nowhere.
    for (const auto& row : p.rows)
        for (const auto& set : row.values)
            for (const auto& cells : set)
                for (double v : cells)
                    EXPECT_TRUE(v == kNoValue || v == 1.0 || v == 7.0 || v == 2.0);

    shape({0x01103205}, 0, 1);
    decode(RecordBuilder().u16(0x300).bytes);
    EXPECT_EQ(cell(0, 0, 3, 0x205), 3.0);
}

TEST_F(Decoder, UnknownCodesAreSkippedByTheirSizeClass) {
    struct Case {
        uint32_t word;
        size_t skipped;
    };
    const Case cases[] = {{0x00990000, 2}, {0x40990000, 2}, {0x60990000, 2}, {0x50990000, 4},
                          {0x70990000, 4}, {0xC0990000, 8}, {0xD0990000, 0}, {0xE0990000, 4},
                          {0xF0990000, 4}, {0xF0370003, 6}, {0xF0370000, 0}};
    for (const Case& c : cases) {
        shape({0x01100000});
        decode({c.word, kStatus}, RecordBuilder().zeros(c.skipped).u16(0x55).bytes);
        EXPECT_EQ(p.state.status06, 0x55) << std::hex << c.word;
    }
}

TEST_F(Decoder, StateItems) {
    struct Case {
        uint32_t word;
        std::vector<uint8_t> bytes;
        std::function<bool(const DecoderState&)> check;
    };
    using B = RecordBuilder;
    const Case cases[] = {
        {0x00010000, B().u16(0x2A21).bytes, [](auto& s) { return s.packedDate == 0x2A21; }},
        {0x00020000, B().u16(0x6000).bytes, [](auto& s) { return s.packedTime == 0xC000; }},
        {0x00060000, B().u16(9).bytes, [](auto& s) { return s.status06 == 9; }},
        {0x00280000, B().u16(9).bytes, [](auto& s) { return s.word0028 == 9; }},
        {0x200E0000, B().u16(0x8012).bytes, [](auto& s) { return s.streamConfig == 0x8012u; }},
        {0x20110000, B().u16(6).bytes, [](auto& s) { return s.rangeWord == 2; }},
        {0x20190000, B().u8(3).u8(9).bytes, [](auto& s) { return s.byte2019 == 3; }},
        {0x201C0000, B().u16(42).bytes, [](auto& s) { return s.programNumber == 42; }},
        {0x20220000, B().u16(9).bytes, [](auto& s) { return s.word2022 == 9; }},
        {0x202E0000, B().u16(0x4321).bytes, [](auto& s) { return s.channelNameCodes == 0x4321; }},
        {0x20300000, B().u16(9).bytes, [](auto& s) { return s.word2030 == 9; }},
        {0x20320000, B().u16(9).bytes, [](auto& s) { return s.word2032 == 9; }},
        {0x20360003, B().u16(9).bytes, [](auto& s) { return s.words2036[2] == 9; }},
        {0x20360007, B().u16(9).bytes,
         [](auto& s) { return s.words2036 == std::array<uint16_t, 6>{}; }},
        {0x40100000, B().u16(9).bytes, [](auto& s) { return s.startStopState == 9; }},
        {0x40120000, B().u16(9).bytes, [](auto& s) { return s.word4012 == 9; }},
        {0x401E0000, B().u16(9).bytes, [](auto& s) { return s.word401E == 9; }},
        {0x50040000, B().u32(0xABCDEF).bytes, [](auto& s) { return s.serialNumber == 0xABCDEFu; }},
        {0x50080000, B().i32(-7).bytes, [](auto& s) { return s.secondsCount == -7; }},
        {0x502C0000, B().u32(77).bytes,
         [](auto& s) { return s.serialNumber2 == 77u && s.serialNumber == 77u; }},
        // BCD 23:59:58 in bytes 1..3
        {0x50330000, B().u8(0xFF).u8(0x58).u8(0x59).u8(0x23).bytes,
         [](auto& s) { return s.packedTime == (23u << 12 | 59u << 6 | 58u); }},
        {0x700E0000, B().u32(0x10013).bytes, [](auto& s) { return s.streamConfig == 0x10013u; }},
        {0x701D0000, B().u32(5).bytes, [](auto& s) { return s.value701D == 5u; }},
        {0x800F0000, B().i32(25600 * 256 + 128).bytes,
         [](auto& s) { return s.samplingRate == 25600.5; }},
        {0x80310000, B().u32(640).bytes, [](auto& s) { return s.real8031 == 2.5f; }},
        {0xB0340000, B().f32(1.25f).bytes, [](auto& s) { return s.realB034 == 1.25f; }},
        {0xB0352003, B().f32(4.5f).bytes,
         [](auto& s) {
             return s.lists[1] == std::vector<float>{0, 0, 0, 4.5f};
         }},
        {0xB0355003, B().f32(4.5f).bytes,
         [](auto& s) { return s.lists[3].empty() && s.lists[1].empty(); }},
        {0xF01A0000, B().u16(0x105).u16(2).u16(3).bytes,
         [](auto& s) { return s.secondsCount == 5 + 60 * (2 + 60 * 3); }},
        {0xF01A0000, B().u16(5).u16(2).u16(256).bytes,
         [](auto& s) { return s.secondsCount == -1; }},
    };
    for (const Case& c : cases) {
        shape({0x01100000});
        p.state.deviceType = 28;
        decode({c.word}, c.bytes);
        EXPECT_TRUE(c.check(p.state)) << std::hex << c.word;
    }
}

TEST_F(Decoder, RangeWord) {
    struct Case {
        std::vector<uint32_t> words;
        std::vector<uint8_t> bytes;
        uint16_t range;
    };
    using B = RecordBuilder;
    const uint32_t oddSecond = 12u << 12 | 30u << 6 | 15u, evenSecond = 12u << 12 | 30u << 6 | 14u;
    const Case cases[] = {
        {{0x20210000}, B().u16(3).bytes, 3},
        {{0x20210000}, B().u16(0x3FFF).bytes, 0x3FFF},
        {{0x20210000}, B().u16(0).bytes, 2},
        {{0x20210000}, B().u16(1).bytes, 1},
        {{0x20210000}, B().u16(2).bytes, 0},
        {{0x20210000}, B().u16(7).bytes, 0xFFFF}, // 2 - 3 in 16 bits
        {{0x50070000, 0x20110000}, B().u32(oddSecond).u16(1).bytes, 0x8001},
        {{0x50070000, 0x20110000}, B().u32(evenSecond).u16(1).bytes, 0x0001},
        {{0x50330000, 0x20110000}, B().u8(0).u8(0x15).u8(0).u8(0).u16(2).bytes, 0x8002},
        {{0x50070000, 0x00020000, 0x20110000}, B().u32(oddSecond).u16(0).u16(1).bytes, 0x0001},
        {{0x50070000}, B().u32(oddSecond).bytes, 0x3FFF}, // no range item: the default
        {{0x50070000, 0x20110000}, B().u32(24u << 12).u16(0).bytes, 0x8000},
    };
    for (const Case& c : cases) {
        p.state.rangeWord = 0;
        decode(c.words, c.bytes);
        EXPECT_EQ(p.state.rangeWord, c.range) << testing::PrintToString(c.bytes);
    }
}

TEST_F(Decoder, PackedDateTimes) {
    struct Case {
        uint32_t days;
        int year, month, day;
    };
    const Case cases[] = {{0, 2000, 1, 1},         {30, 2000, 1, 31},        {59, 2000, 2, 29},
                          {60, 2000, 3, 1},        {365, 2000, 12, 31},      {366, 2001, 1, 1},
                          {366 + 58, 2001, 2, 28}, {366 + 59, 2001, 3, 1},   {1460, 2003, 12, 31},
                          {1461, 2004, 1, 1},      {1461 + 59, 2004, 2, 29}, {32767, 2089, 9, 17}};
    for (const Case& c : cases) {
        const InstrumentDateTime t =
            unpackInstrumentDateTime(c.days << 17 | 5u << 12 | 6u << 6 | 7u);
        EXPECT_EQ(t.year, c.year) << c.days;
        EXPECT_EQ(t.month, c.month) << c.days;
        EXPECT_EQ(t.day, c.day) << c.days;
        EXPECT_EQ(t.hour, 5);
        EXPECT_EQ(t.minute, 6);
        EXPECT_EQ(t.second, 7);
        EXPECT_TRUE(t.valid);
    }
    EXPECT_FALSE(unpackInstrumentDateTime(24u << 12).valid);
    EXPECT_FALSE(unpackInstrumentDateTime(60u << 6).valid);
    EXPECT_FALSE(unpackInstrumentDateTime(60u).valid);
    EXPECT_TRUE(unpackInstrumentDateTime(23u << 12 | 59u << 6 | 59u).valid);
}

TEST_F(Decoder, DateTimeItemsFillThePackedFields) {
    const uint32_t packed = 366u << 17 | 12u << 12 | 30u << 6 | 15u;
    shape({0xA1100000});
    decode({0x50070000, 0xA1100000}, RecordBuilder().u32(packed).u32(packed).bytes);
    EXPECT_EQ(p.state.packedDate, (21 << 9) | (1 << 5) | 1);
    EXPECT_EQ(p.state.packedTime, (12u << 12) | (30u << 6) | 15u);
    platform::CalendarTime t;
    ASSERT_TRUE(platform::calendarFromOleDate(cell(0, 0, 0, 0), t));
    EXPECT_EQ(std::tie(t.year, t.month, t.day, t.hour, t.minute, t.second),
              std::make_tuple(2001, 1, 1, 12, 30, 15));

    const uint32_t impossible = 366u << 17 | 25u << 12;
    decode({0x50070000, 0xA1100000}, RecordBuilder().u32(impossible).u32(impossible).bytes);
    EXPECT_EQ(p.state.packedDate, 0xFFFF);
    EXPECT_EQ(p.state.packedTime, 0xFFFFFFFFu);
    EXPECT_EQ(cell(0, 0, 0, 0), kNoValue);
}

TEST_F(Decoder, SequenceCountsLostRecords) {
    shape({0x20250000});
    p.state.nextSequence = 5;
    for (uint16_t v : {5, 6, 9}) decode(RecordBuilder().u16(v).bytes);
    EXPECT_EQ(p.state.lostRecords, 2u);
    EXPECT_EQ(p.state.nextSequence, 10);

    p.state.nextSequence = 0xFFFF;
    decode(RecordBuilder().u16(1).bytes); // 0xFFFF and 0 were lost across the wrap
    EXPECT_EQ(p.state.lostRecords, 4u);
    EXPECT_EQ(p.state.nextSequence, 2);
}

TEST_F(Decoder, TextItems) {
    shape({0x01100000, 0x01110000});
    const std::u16string long41 = u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmno";
    ASSERT_EQ(long41.size(), 41u);
    decode({0xF02F2811, kStatus}, RecordBuilder().units(long41).u16(0x77).bytes);
    EXPECT_EQ(std::u16string(p.rows[1].name.data()), long41.substr(0, 15));
    EXPECT_EQ(p.state.status06, 0x77); // advanced 82 bytes

    struct Case {
        uint32_t word;
        std::u16string expected;
        std::function<std::u16string(const CDataProcessor&)> read;
    };
    const Case cases[] = {
        {0xF02F0200, u"ABC", [](auto& d) { return std::u16string(d.state.deviceText.data()); }},
        {0xF02F2800, long41.substr(0, 33),
         [](auto& d) { return std::u16string(d.state.deviceText.data()); }},
        {0xF02F0321, u"ABCD", [](auto& d) { return std::u16string(d.rows[1].subNames[0].data()); }},
        {0xF02F0950, u"ABCDEFG",
         [](auto& d) { return std::u16string(d.rows[0].subNames[3].data()); }},
        // Channel 9 has no row and sub-kind 6 no field: read over, stored nowhere.
        {0xF02F0319, u"", [](auto& d) { return std::u16string(d.rows[1].name.data()); }},
        {0xF02F0361, u"", [](auto& d) { return std::u16string(d.rows[1].name.data()); }},
    };
    for (const Case& c : cases) {
        p.rows[1].name[0] = 0;
        RecordBuilder record;
        record.units(long41.substr(0, ((c.word >> 8) & 0xFF) + 1));
        record.u16(0x66);
        decode({c.word, kStatus}, record.bytes);
        EXPECT_EQ(c.read(p), c.expected) << std::hex << c.word;
        EXPECT_EQ(p.state.status06, 0x66);
    }
}

TEST_F(Decoder, DeviceTextFromCharacterPagesAndUnits) {
    shape({0x01100000});
    const auto bytes = RecordBuilder()
                           .u8(0x20)
                           .u8(0x21)
                           .u8(0x41)
                           .u8(0x7F)
                           .u8(0xB0)
                           .u8(0xF5)
                           .u8(0x10)
                           .u8(0x3F)
                           .u8(0x5A)
                           .u8(0xFF)
                           .bytes;
    decode({0x20190000, 0xF0030000}, RecordBuilder().u8(3).u8(0).raw(bytes).bytes);
    EXPECT_EQ(std::u16string(p.state.deviceText.data()), u"ABA g0 fZ ");
    decode({0x20190000, 0xF0030000}, RecordBuilder().u8(1).u8(0).raw(bytes).bytes);
    EXPECT_EQ(std::u16string(p.state.deviceText.data()), u"АБA Я0 ЮZ ");
    // Without a page item the record uses page 1.
    decode({0xF0030000}, bytes);
    EXPECT_EQ(std::u16string(p.state.deviceText.data()), u"АБA Я0 ЮZ ");
    decode({0x20190000, 0xF0030000}, RecordBuilder().u8(7).u8(0).raw(bytes).bytes);
    EXPECT_EQ(std::u16string(p.state.deviceText.data()), u"          ");

    std::u16string long40(40, u'w');
    decode({0xF0050000}, RecordBuilder().units(long40).bytes);
    EXPECT_EQ(std::u16string(p.state.deviceText.data()), long40.substr(0, 33));
    decode({0x00010000}, RecordBuilder().u16(1).bytes);
    EXPECT_EQ(p.state.deviceText[0], 0); // no text item: the text is cleared
}

TEST_F(Decoder, StartAndEndOfRecordDefaults) {
    shape({0x01100000});
    DecoderState& s = p.state;
    s.realB034 = 1;
    s.byte2019 = 3;
    s.secondsCount = 9;
    s.word0028 = s.word2022 = s.word401E = s.word2030 = 9;
    s.lists[0] = {1.0f};
    s.words2036[0] = 9;
    s.real8031 = 1;
    s.status06 = s.startStopState = s.packedDate = 9;
    s.packedTime = 9;
    s.deviceText[0] = u'x';
    s.rangeWord = 0x8001;
    s.serialNumber = 0x1234;
    s.serialNumber2 = 9;
    s.channelNameCodes = s.word2032 = s.word4012 = 9;
    s.value701D = 9;
    decode({}, {});
    EXPECT_EQ(s.realB034, 0.0f);
    EXPECT_EQ(s.byte2019, 1);
    EXPECT_EQ(s.secondsCount, -1);
    EXPECT_EQ(s.word0028 | s.word2022 | s.word401E | s.word2030, 0);
    EXPECT_TRUE(s.lists[0].empty());
    EXPECT_EQ(s.words2036[0], 0);
    EXPECT_EQ(s.real8031, 0.0f);
    EXPECT_EQ(s.status06 | s.startStopState | s.packedDate, 0);
    EXPECT_EQ(s.packedTime, 0u);
    EXPECT_EQ(s.deviceText[0], 0);
    EXPECT_EQ(s.rangeWord, 0x3FFF);
    EXPECT_EQ(s.serialNumber2, 0u);
    EXPECT_EQ(s.serialNumber, 0x1234u); // no serial item at all: kept
    EXPECT_EQ(s.channelNameCodes, 0xFFFF);
    EXPECT_EQ(s.word2032, 0xFFFF);
    EXPECT_EQ(s.word4012, 0xFFFE);
    EXPECT_EQ(s.value701D, 9u); // not a defaulted field
}

TEST_F(Decoder, SerialNumbers) {
    struct Case {
        uint16_t type;
        std::vector<uint32_t> words;
        std::vector<uint8_t> bytes;
        uint32_t serial, serial2;
    };
    using B = RecordBuilder;
    const Case cases[] = {
        {28, {0x502C0000}, B().u32(9).bytes, 9, 9},
        {28, {0x50040000, 0x502C0000}, B().u32(7).u32(9).bytes, 7, 9},
        {28, {0x50040000, 0x502C0000}, B().u32(0).u32(9).bytes, 9, 9},
        {28, {0x502C0000}, B().u32(0).bytes, 0, 0},
        {141, {0x502C0000}, B().u32(9).bytes, 0x20000, 9},
        {143, {}, {}, 0x20000, 0},
        {142, {}, {}, 0x1234, 0},
    };
    for (const Case& c : cases) {
        p.state.deviceType = c.type;
        p.state.serialNumber = 0x1234;
        decode(c.words, c.bytes);
        EXPECT_EQ(p.state.serialNumber, c.serial) << c.type;
        EXPECT_EQ(p.state.serialNumber2, c.serial2) << c.type;
    }
}

TEST_F(Decoder, UntaggedWordsRestartAtZero) {
    shape({0, 0, 0});
    decode(RecordBuilder().u16(1).u16(2).u16(3).bytes);
    decode({0}, RecordBuilder().u16(9).bytes);
    EXPECT_EQ(p.state.untaggedWords, (std::vector<uint16_t>{9, 2, 3}));
}

TEST_F(Decoder, CoefficientsGoToChannelsOrSensors) {
    struct Case {
        const char* what;
        uint32_t sensors;
        uint32_t word;
        int32_t raw;
        std::function<bool(const CDataProcessor&)> check;
    };
    const int32_t twenty = 20 * 65536, one = 65536, two = 2 * 65536;
    const Case cases[] = {
        {"own channel", 1, 0x500A0001, twenty,
         [](auto& d) {
             return d.rows[1].correction == 20.0 && d.rows[1].correctionFactor == 10.0;
         }},
        {"sensor 2 with factor for the channel", 3, 0x500A0200, twenty,
         [](auto& d) {
             return d.rows[1].correction == 20.0 && d.rows[0].correctionFactor == 10.0 &&
                    d.rows[1].correctionFactor == 0.0 && d.rows[0].correction == 0.0;
         }},
        {"sensor 3 without factor", 3, 0x500A0300, twenty,
         [](auto& d) { return d.rows[2].correction == 20.0 && d.rows[0].correctionFactor == 0.0; }},
        {"sensor beyond the count", 3, 0x500A0401, twenty,
         [](auto& d) {
             return d.rows[1].correction == 20.0 && d.rows[1].correctionFactor == 10.0;
         }},
        {"kBase of a channel", 1, 0x500B0002, two,
         [](auto& d) { return d.rows[2].kBase == 100.0 && d.rows[2].kBaseCopy == 100.0; }},
        {"kBase of sensor 2", 2, 0x500B0200, two,
         [](auto& d) {
             return d.rows[1].kBase == 100.0 && d.rows[0].kBaseCopy == 100.0 &&
                    d.rows[1].kBaseCopy == 0.0;
         }},
        {"kBase of sensor 1", 2, 0x500B0100, two,
         [](auto& d) { return d.rows[0].kBase == 100.0 && d.rows[0].kBaseCopy == 0.0; }},
        {"kBase beyond the count", 2, 0x500B0300, two,
         [](auto& d) {
             for (auto& r : d.rows)
                 if (r.kBase != 0.0 || r.kBaseCopy != 0.0) return false;
             return true;
         }},
        {"sensitivity", 1, 0x500C0003, one,
         [](auto& d) {
             return d.rows[3].sensitivity == 10.0 && d.rows[3].inverseSensitivity == 0.1;
         }},
        {"factor", 1, 0x500D0004, two, [](auto& d) { return d.rows[4].factor500D == 100.0; }},
        {"short correction", 1, 0x30180005, 0xFE00,
         [](auto& d) { return d.rows[5].correction == -2.0; }},
        {"channel past the rows", 1, 0x500A0009, twenty,
         [](auto& d) {
             for (auto& r : d.rows)
                 if (r.correction != 0.0 || r.correctionFactor != 0.0) return false;
             return true;
         }},
    };
    for (const Case& c : cases) {
        CDataProcessor fresh;
        p.rows = fresh.rows;
        RecordBuilder record;
        if (c.word >> 16 == 0x3018)
            record.u16(static_cast<uint16_t>(c.raw));
        else
            record.i32(c.raw);
        decodeRecord(record.bytes, p.rows, p.state, std::vector<uint32_t>{c.word}, c.sensors, 0);
        EXPECT_TRUE(c.check(p)) << c.what;
    }
}

TEST_F(Decoder, PendingFactorsAreWrittenOnceTheRecordEnds) {
    // The later item for a row replaces the earlier; a record cut short still writes them.
    const std::vector<uint32_t> words = {0x500C0002, 0x500C0002, 0x500D0002, 0x500A0002};
    const auto bytes = RecordBuilder().i32(65536).i32(2 * 65536).i32(0).i32(20 * 65536).bytes;
    decodeRecord(std::span(bytes.data(), 12), p.rows, p.state, words, 1, 0);
    EXPECT_EQ(p.rows[2].inverseSensitivity, 0.01);
    EXPECT_EQ(p.rows[2].sensitivity, 100.0);
    EXPECT_EQ(p.rows[2].factor500D, 1.0);
    EXPECT_EQ(p.rows[2].correctionFactor, 0.0);
}

TEST_F(Decoder, BandFrequencies) {
    shape({0x70201FFE, 0x70201FFF, 0x01100003, 0x901F5000, 0x901F5001, 0x80209000, 0x01200001,
           0x01300001});
    using B = RecordBuilder;
    decode({0x70201FFE, 0x70201FFF, 0x901F5000, 0x901F5001, 0x80209000, 0x90205000, kStatus},
           B().u32(100).u32(400).u32(0x80000000).u32(0xFFFFFFFF).u32(640).u32(1).u16(3).bytes);
    EXPECT_EQ(p.state.bandFrequencies[0], (std::vector<double>{100, 200, 300, 400}));
    EXPECT_EQ(p.state.bandFrequencies[1], (std::vector<double>{48000, 0}));
    EXPECT_EQ(p.state.bandFrequencies[2], (std::vector<double>{2.5}));
    EXPECT_EQ(p.state.status06, 3); // 0x9020 is no band item: skipped as 4 bytes

    // The three clocks of the period form.
    struct Case {
        uint32_t word;
        size_t set;
        double value;
    };
    const Case clocks[] = {
        {0x901F2000, 1, 576000}, {0x901F5000, 1, 48000}, {0x901F8000, 1, 614400}};
    for (const Case& c : clocks) {
        decode({c.word}, B().u32(0x80000000).bytes);
        EXPECT_EQ(p.state.bandFrequencies[c.set][0], c.value) << std::hex << c.word;
    }
}

TEST_F(Decoder, InterpolationNeedsTwoEntries) {
    // Both ends but no columns: selectLayout leaves the set empty, the record cannot fill it.
    shape({0x70201FFE, 0x70201FFF});
    ASSERT_TRUE(p.state.bandFrequencies[0].empty());
    decode(RecordBuilder().u32(100).u32(400).bytes);
    EXPECT_TRUE(p.state.bandFrequencies[0].empty());
    // One column: the end items have nowhere to go past entry 0, and nothing is spread.
    shape({0x70201FFE, 0x70201FFF, 0x01100000});
    decode(RecordBuilder().u32(100).u32(400).bytes);
    EXPECT_EQ(p.state.bandFrequencies[0], std::vector<double>{100});
}

TEST_F(Decoder, StatisticsLevelsNamesAndHistograms) {
    // Two value channels, three blocks of two items each.
    shape({0x01100000, 0x01110000, 0x00170005}, 3);
    using B = RecordBuilder;
    decode({0x00171003, 0x00170005, 0x00170006, 0x60160001, 0x60160004},
           B().u16(0x0180).u16(0x0280).u16(0x0380).u16(0x8000).u16(0x4000).bytes);
    EXPECT_EQ(p.rows[1].statBlocks[1].items[1].level, 1.5);
    EXPECT_EQ(p.rows[0].statBlocks[2].items[1].level, 2.5);
    for (const auto& row : p.rows)
        for (const auto& block : row.statBlocks) {
            EXPECT_EQ(block.items[1].name, u"L50");
            EXPECT_EQ(block.items[0].name, u"L25");
        }

    struct Case {
        int32_t position;
        size_t row, block, at;
    };
    // Four entries per group, 256 groups per block; groups alternate between the channels.
    const Case cases[] = {{0, 0, 0, 0}, {300, 1, 0, 176}, {600, 0, 1, 352}, {1535, 1, 2, 1020}};
    for (const Case& c : cases) {
        CDataProcessor fresh = p;
        decodeRecord(B().u32(c.position).i32(10).i32(11).i32(12).i32(13).u16(0).u16(0).bytes,
                     fresh.rows, fresh.state,
                     std::vector<uint32_t>{0x70230000, 0x70240000, 0x70240001, 0x70240002,
                                           0x70240003, 0x01100000, 0x01110000},
                     1, 0);
        const auto& h = fresh.rows[c.row].statBlocks[c.block].histogram;
        EXPECT_EQ(std::vector<int32_t>(h.begin() + c.at, h.begin() + c.at + 4),
                  (std::vector<int32_t>{10, 11, 12, 13}))
            << c.position;
        EXPECT_EQ(std::count(h.begin(), h.end(), -1), 1020) << c.position;
    }
}

TEST_F(Decoder, HistogramsWithoutWhereToGoAreDropped) {
    shape({0x01100000, 0x00170001}, 1);
    using B = RecordBuilder;
    const std::vector<std::pair<std::vector<uint32_t>, std::vector<uint8_t>>> records = {
        {{0x70230000, 0x01100000}, B().u32(3).u16(0).bytes},                     // no entries
        {{0x70230000, 0x70240000}, B().u32(3).i32(5).bytes},                     // no value channel
        {{0x70230000, 0x70240000, 0x01100000}, B().i32(-5).i32(5).u16(0).bytes}, // negative
        {{0x70230000, 0x70240000, 0x01100000}, B().i32(4096).i32(5).u16(0).bytes}, // no block
        {{0x701F0000, 0x70240000, 0x01100000}, B().i32(0).i32(5).u16(0).bytes},    // no position
    };
    for (const auto& [words, bytes] : records) {
        decode(words, bytes);
        for (const auto& row : p.rows)
            for (const auto& block : row.statBlocks)
                EXPECT_EQ(std::count(block.histogram.begin(), block.histogram.end(), -1), 1024);
    }
    // Statistics items without any blocks are read over.
    shape({0x01100000}, 0);
    decode({0x00170003, 0x60160003, kStatus}, B().u16(1).u16(2).u16(3).bytes);
    EXPECT_EQ(p.state.status06, 3);
}

TEST_F(Decoder, PercentileNames) {
    const std::pair<uint16_t, const char16_t*> cases[] = {{0, u"L0"},       {0x8000, u"L50"},
                                                          {0x4000, u"L25"}, {0xFFFF, u"L100"},
                                                          {0x0148, u"L1"},  {0x0147, u"L0"}};
    shape({0x01100000, 0x00160000}, 1);
    for (auto [v, name] : cases) {
        decode({0x60160000}, RecordBuilder().u16(v).bytes);
        EXPECT_EQ(p.rows[7].statBlocks[0].items[0].name, name) << v;
    }
}

TEST_F(Decoder, CheckedEntries) {
    table.layouts[28].words = {0x00010000, 0x201B0000, kStatus};
    table.layouts[28].typeOffset = 2;
    table.layouts[40].words = {kStatus};
    p.state.deviceType = 28;
    ASSERT_TRUE(p.selectLayout(table));
    using B = RecordBuilder;

    EXPECT_EQ(decodeCheckedByTable(table, B().u16(1).u16(28).u16(5).bytes, p.rows, p.state), 28);
    EXPECT_EQ(p.state.status06, 5);
    EXPECT_EQ(p.state.decodeCount, 1u);
    // Another type: its type word comes back and nothing is decoded.
    EXPECT_EQ(decodeCheckedByTable(table, B().u16(1).u16(30).u16(6).bytes, p.rows, p.state), 30);
    EXPECT_EQ(p.state.decodeCount, 1u);
    // Too short to hold the type word.
    EXPECT_EQ(decodeCheckedByTable(table, B().u16(1).u8(28).bytes, p.rows, p.state), 0);
    EXPECT_EQ(p.state.decodeCount, 1u);
    // No layout for the type.
    p.state.deviceType = 41;
    EXPECT_EQ(decodeCheckedByTable(table, B().u16(6).bytes, p.rows, p.state), 0);
    // A layout without a type item decodes anything.
    p.state.deviceType = 40;
    EXPECT_EQ(decodeCheckedByTable(table, B().u16(6).bytes, p.rows, p.state), 40);
    EXPECT_EQ(p.state.status06, 6);

    p.state.deviceType = 28;
    decodeCheckedByDevice(B().u16(1).u16(29).u16(7).bytes, p.rows, p.state, p.layout);
    EXPECT_EQ(p.state.status06, 6);
    decodeCheckedByDevice(B().u16(1).u16(28).bytes, p.rows, p.state, p.layout);
    EXPECT_EQ(p.state.status06, 0);
    EXPECT_EQ(p.state.packedDate, 1);
    decodeCheckedByDevice(B().u16(1).bytes, p.rows, p.state, p.layout);
    EXPECT_EQ(p.state.decodeCount, 3u);
}

TEST_F(Decoder, SignalTrailer) {
    SignalLayout& s = table.signalLayouts[28];
    s.samplingRateHigh = 51200;
    s.samplingRateNormal = 25600;
    s.streamConfigHigh = 0x13;
    s.streamConfigNormal = 0x12;
    s.trailerWords = {0x20110000, 0x40130001, 0x50040000};
    p.state.deviceType = 28;
    using B = RecordBuilder;
    const auto block = B().zeros(12).u16(1).u16(0x00F0).u32(4711).bytes;

    EXPECT_EQ(decodeSignalTrailer(table, block, true, p.rows, p.state), 8u);
    EXPECT_EQ(p.state.streamConfig, 0x13u);
    EXPECT_EQ(p.state.samplingRate, 51200.0);
    EXPECT_EQ(p.state.rangeWord, 1);
    EXPECT_EQ(p.rows[1].overflowFlags, 0xF0);
    EXPECT_EQ(p.state.serialNumber, 4711u);

    // A block shorter than the trailer sets the speed's values only.
    p.state.serialNumber = 0;
    EXPECT_EQ(decodeSignalTrailer(table, std::span(block.data(), 6), false, p.rows, p.state), 8u);
    EXPECT_EQ(p.state.streamConfig, 0x12u);
    EXPECT_EQ(p.state.samplingRate, 25600.0);
    EXPECT_EQ(p.state.serialNumber, 0u);

    p.state.deviceType = 29;
    p.state.streamConfig = 5;
    EXPECT_EQ(decodeSignalTrailer(table, block, true, p.rows, p.state), 0u);
    EXPECT_EQ(p.state.streamConfig, 5u);
}

} // namespace
} // namespace zs::telemetry
