// The reference description beside the library: loaded at start-up, and together its layouts
// reach every item code and branch of the decoder.
#include "frame/description_guard.h"
#include "support/library_fixture.h"
#include "telemetry/description_file.h"
#include "telemetry/record_builder.h"
#include "telemetry/record_decoder.h"

#include <gtest/gtest.h>
#include <set>

namespace zs::test {
namespace {

using namespace telemetry;

class ReferenceDescription : public LibraryTest {
  protected:
    const DescriptionTable& table() { return frame::lib().description; }
};

bool isValue(uint32_t word) {
    return ((word >> 24) & 0xF) == 1 || ((word >> 24) & 0xF) == 2;
}

TEST_F(ReferenceDescription, StartUpLoadsItInTheLoadLanguage) {
    const DescriptionTable& t = table();
    for (uint32_t type : {5, 12, 28, 29, 38, 43, 45, 118, 119, 120, 121, 132, 141, 143})
        EXPECT_TRUE(t.layouts.contains(type)) << type;
    for (uint32_t type : {28, 118, 119, 120, 121}) EXPECT_TRUE(t.signalLayouts.contains(type));
    EXPECT_EQ(t.layouts.at(28).averagingNames.at(0), u"Быстро");
    EXPECT_EQ(t.layouts.at(28).texts[1], u"Анализатор шума и вибрации");
    EXPECT_EQ(t.channelNameSets.at(42).channelNames[0], u"Верт.");
    const uint32_t weightings = t.layouts.at(28).bandNameBase2;
    EXPECT_EQ(t.bandNames.at(weightings), u"УЗД A"); // the Russian override of "LA"
    EXPECT_FALSE(t.parameters.empty());

    // The first list build reads the same file again and gets back what was lost.
    const DescriptionTable atStartUp = t;
    frame::lib().description.layouts.clear();
    frame::ensureDescriptionLoaded();
    EXPECT_EQ(table(), atStartUp);
}

TEST_F(ReferenceDescription, EveryLayoutShapesAndSizesItsRecords) {
    for (const auto& [type, layout] : table().layouts) {
        SCOPED_TRACE(type);
        CDataProcessor p;
        p.state.deviceType = static_cast<uint16_t>(type);
        ASSERT_TRUE(p.selectLayout(table()));
        uint32_t size = 0;
        for (uint32_t w : layout.words) size += itemSize(w);
        EXPECT_EQ(layout.recordSize, size);
        if (type == 12) {
            // Older files: no type item, the program word at offset 18.
            EXPECT_EQ(layout.typeOffset, -1);
            EXPECT_EQ(layoutItemOffset(table(), type, 0x201C0000), 18);
        } else {
            EXPECT_EQ(layout.typeOffset, 0);
        }
    }
    // Recorded files of the current layout hold a serial number of 0x2xxxx..0x5xxxx at offset 4.
    for (uint32_t type : {28, 29, 38, 43, 45, 118, 119, 120, 121, 132}) {
        const auto& words = table().layouts.at(type).words;
        EXPECT_EQ(words[1], 0x201C0000u) << type;
        EXPECT_TRUE(words[2] == 0x50040000u || words[2] == 0x502C0000u) << type;
    }
    // A raw-signal block ends with a 16-byte trailer that starts with the type word.
    for (const auto& [type, signal] : table().signalLayouts) {
        uint32_t length = 0;
        for (uint32_t w : signal.trailerWords) length += itemSize(w);
        EXPECT_EQ(length, 16u) << type;
        EXPECT_EQ(signal.trailerWords.at(0), kTypeWord) << type;
    }
}

TEST_F(ReferenceDescription, TogetherTheLayoutsReachEveryItemAndBranch) {
    std::set<uint32_t> codes, encodings, textKinds, frequencyForms;
    std::set<int> setsWithFrequencies, setsWithNames;
    bool wide = false, narrow = false, sensors = false, interpolated = false, untagged = false;
    bool statistics = false;
    for (const auto& [type, layout] : table().layouts) {
        CDataProcessor p;
        p.state.deviceType = static_cast<uint16_t>(type);
        ASSERT_TRUE(p.selectLayout(table()));
        (layout.wideColumns ? wide : narrow) = true;
        sensors = sensors || p.layout.sensorCount > 1;
        statistics =
            statistics || (layout.statBlocks > 0 && !p.rows[0].statBlocks[0].items.empty());
        for (uint32_t w : layout.words) {
            if (w == 0) {
                untagged = true;
            } else if (isValue(w)) {
                encodings.insert(w >> 28);
            } else {
                codes.insert(w >> 16);
                if (w >> 16 == 0xF02F) textKinds.insert((w >> 4) & 0xF);
                if ((w & 0xFFF) == 0xFFF) interpolated = true;
            }
        }
        for (int s = 0; s < 3; ++s) {
            if (p.layout.indexCount[s] == 0) continue;
            if (!p.state.bandFrequencies[s].empty())
                setsWithFrequencies.insert(s);
            else
                setsWithNames.insert(s);
        }
    }
    for (const auto& [type, signal] : table().signalLayouts)
        for (uint32_t w : signal.trailerWords) codes.insert(w >> 16);

    const uint32_t decoderCodes[] = {
        0x0001, 0x0002, 0x0006, 0x0017, 0x0028, 0x200E, 0x2011, 0x2019, 0x201B, 0x201C,
        0x2021, 0x2022, 0x2025, 0x202E, 0x2030, 0x2032, 0x2036, 0x3018, 0x4010, 0x4012,
        0x4013, 0x4014, 0x401E, 0x5004, 0x5007, 0x5008, 0x500A, 0x500B, 0x500C, 0x500D,
        0x502C, 0x5033, 0x6016, 0x700E, 0x701D, 0x7020, 0x7023, 0x7024, 0x800F, 0x8020,
        0x8031, 0x901F, 0xB034, 0xB035, 0xF003, 0xF005, 0xF01A, 0xF02F, 0xF037};
    for (uint32_t code : decoderCodes) EXPECT_TRUE(codes.contains(code)) << std::hex << code;
    for (uint32_t e : {0u, 2u, 5u, 7u, 10u, 11u, 12u}) EXPECT_TRUE(encodings.contains(e)) << e;
    EXPECT_EQ(textKinds, (std::set<uint32_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(setsWithFrequencies, (std::set<int>{0, 1, 2}));
    EXPECT_EQ(setsWithNames, (std::set<int>{0, 1, 2}));
    EXPECT_TRUE(wide && narrow && sensors && interpolated && untagged && statistics);
}

TEST_F(ReferenceDescription, DecodesAnAnalyserRecord) {
    CDataProcessor p;
    p.state.deviceType = 28;
    p.state.programNumber = 40;
    ASSERT_TRUE(p.selectLayout(table()));
    RecordBuilder r;
    r.u16(28).u16(40).u32(0x00021234).u16(7).u32(366u << 17 | 12u << 12 | 30u << 6 | 15u);
    r.u16(0).u16(1).u16(0).u16(0xFFFE); // range, running, status, word 4012
    r.u8(3).u8(0).raw({'Z', 'S', 0xD0, 0xF9, 0xF7, 0xFD, 0, 0, 0, 0}); // "ZS-428", page 3
    r.zeros(8 * 2 + 12 * 4).i32(25600 * 256); // flags, coefficients, sampling rate
    r.u16(94 * 256);                          // channel 0, Fast, 20 Hz: 94 dB
    std::vector<uint8_t> record = r.bytes;
    record.resize(table().layouts.at(28).recordSize);
    EXPECT_EQ(decodeCheckedByTable(table(), record, p.rows, p.state), 28);
    EXPECT_EQ(p.rows[0].values[0][0][0], 94.0);
    EXPECT_EQ(p.state.serialNumber, 0x00021234u);
    EXPECT_EQ(p.state.samplingRate, 25600.0);
    EXPECT_EQ(std::u16string(p.state.deviceText.data()), u"ZS-428    ");
    EXPECT_EQ(p.channelName(table(), 0), u"Мик 1");
    EXPECT_EQ(p.state.bandFrequencies[2].size(), 10u);
}

} // namespace
} // namespace zs::test
