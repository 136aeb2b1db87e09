#include "description_json.h"

#include <cmath>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

namespace zsdesc {
namespace {

using nlohmann::json;

// Every section and field, two languages, texts that need more than plain ASCII.
const char* const kRichSource = R"({
  "version": 13,
  "layouts": [
    {"typeCode": 28, "name": "analyser",
     "words": ["0x201B0000", "0x201C0000", {"first": "0x01100000", "count": 3},
               {"first": "0x01100100", "count": 2, "step": "0x10000"}, "0xF02F0210", 0],
     "valueFlags": [1, 2, 3, 4, 5, 6, 7, 8, 9],
     "bandNameBase1": 4, "bandNameBase2": 7, "bandNameBase3": 9, "reserved": [1, 2, 3],
     "statBlocks": 2, "reservedReal1": 0.1, "reservedList": [5, 6], "reservedReal2": -0.0,
     "texts": [{"language": "Русский", "texts": ["а", "б", "в", "г", "д", "е"]},
               {"language": "English", "texts": ["a", "b", "c", "d", "e", "f"]}],
     "recordSize": 40, "wideColumns": 1, "reserved6": 3,
     "averagingNames": [{"language": "Русский", "names": [[0, "Быстро"], [1, "Медленно"], [0, "Ещё"]]},
                        {"language": "English", "names": [[0, "Fast"]]}]},
    {"typeCode": 29, "words": ["0x50040000", "0xF0030000"], "bandNameBase1": 0}
  ],
  "channelNameSets": [
    {"key": 40, "blocks": [{"language": "Русский", "title": "Звук", "captions": ["1", "2", "3", "4"],
                            "channelNames": ["Мик", "A", "B", "C"]},
                           {"language": "English", "title": "Sound", "captions": ["", "", "", ""],
                            "channelNames": ["Mic", "", "", ""]}]}
  ],
  "bandNames": ["20 Гц", "25 Гц", [55357, 56832], [55296], "𝄞"],
  "signalLayouts": [
    {"typeCode": 118, "samplingRateHigh": 51200.0, "samplingRateNormal": 25600.0,
     "streamConfigHigh": "0x00000041", "streamConfigNormal": "0x00000011", "unitText": "Па",
     "fallbackFactor": 1.5, "initialFactor": "0x7FF8000000000001", "rangeFactors": [1, 10, 100, 1e300],
     "trailerWords": ["0x201B0000", "0x20250000"]},
    {"typeCode": 119, "unitText": [80, 0, 97, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0]}
  ],
  "parameterList": [{"textB": "old", "x": 1, "y": 2, "z": 3}],
  "parameters": [{"language": "Русский", "items": [{"textA": "А", "textB": "Б", "textC": "В", "x": 4, "y": 5, "z": 6}]},
                 {"language": "English", "items": []}],
  "codePairs": [[1, 2], [1, 3], ["0xFFFFFFFF", 0]],
  "bandNameOverrides": [{"language": "Русский", "items": [[1, "25 Герц"], [99, "далеко"]]}],
  "trailing": "00FF7A"
})";

std::vector<uint8_t> compileAt(const char* source, uint32_t version) {
    Description d = descriptionFromJson(json::parse(source));
    d.version = version;
    return writeDescription(d);
}

std::vector<uint8_t> viaDump(const std::vector<uint8_t>& bytes) {
    const std::string text = descriptionToJson(readDescription(bytes)).dump(2);
    return writeDescription(descriptionFromJson(json::parse(text)));
}

TEST(Zsdesc, DumpThenCompileGivesTheSameBytesAtEveryVersion) {
    for (uint32_t version = 0; version <= kMaxVersion; ++version) {
        SCOPED_TRACE(version);
        const std::vector<uint8_t> bytes = compileAt(kRichSource, version);
        EXPECT_EQ(writeDescription(readDescription(bytes)), bytes);
        EXPECT_EQ(viaDump(bytes), bytes);
    }
}

TEST(Zsdesc, FieldsOfEachVersionAreWrittenInPlace) {
    // Version 0 without entries: the header and five zero counts.
    const std::vector<uint8_t> empty = compileAt("{}", 0);
    EXPECT_EQ(empty, (std::vector<uint8_t>{0x46, 0x50, 0x54, 0x44, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                           0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    // Each version adds its sections: 6 the code pairs, 12 the overrides.
    EXPECT_EQ(compileAt("{}", 5).size(), 28u);
    EXPECT_EQ(compileAt("{}", 6).size(), 32u);
    EXPECT_EQ(compileAt("{}", 12).size(), 36u);

    const char* one = R"({"layouts": [{"typeCode": 7, "words": ["0xF0030000", "0x50040000"],
                                        "bandNameBase1": 0}]})";
    const Layout v3 = readDescription(compileAt(one, 3)).layouts.at(0);
    EXPECT_FALSE(v3.valueFlags.has_value());
    EXPECT_FALSE(v3.bandNameBase2.has_value());
    const Layout v13 = readDescription(compileAt(one, 13)).layouts.at(0);
    EXPECT_EQ(v13.valueFlags, (std::vector<uint16_t>{0xFFFF, 0xFFFF}));
    EXPECT_EQ(v13.bandNameBase2, 0xFFFFFFFFu); // the loader's rule for files without it
    EXPECT_EQ(v13.recordSize, 14u);            // 10 + 4 when no size is given
}

TEST(Zsdesc, RunsExpandToWords) {
    const Description d = descriptionFromJson(json::parse(kRichSource));
    EXPECT_EQ(d.layouts[0].words,
              (std::vector<uint32_t>{0x201B0000, 0x201C0000, 0x01100000, 0x01100001, 0x01100002,
                                     0x01100100, 0x01110100, 0xF02F0210, 0}));
}

TEST(Zsdesc, TextsAndRealsThatJsonCannotSpellSurvive) {
    const Description d = readDescription(compileAt(kRichSource, 13));
    EXPECT_EQ(d.bandNames[2], (std::u16string{char16_t(55357), char16_t(56832)}));
    EXPECT_EQ(d.bandNames[3], std::u16string(1, char16_t(0xD800)));
    EXPECT_EQ(d.bandNames[4], u"𝄞");
    EXPECT_TRUE(std::signbit(d.layouts[0].reservedReal2));
    EXPECT_TRUE(std::isnan(d.signalLayouts[0].initialFactor));

    const auto j = descriptionToJson(d);
    EXPECT_EQ(j["bandNames"][2], "😀"); // a valid pair becomes text
    EXPECT_EQ(j["bandNames"][3], nlohmann::ordered_json::array({0xD800}));
    EXPECT_EQ(j["signalLayouts"][0]["initialFactor"], "0x7FF8000000000001");
    EXPECT_EQ(j["signalLayouts"][0]["unitText"], "Па");
    EXPECT_EQ(j["signalLayouts"][1]["unitText"].size(), 16u); // a unit after a zero: kept as units
}

TEST(Zsdesc, MalformedSourcesAreRejectedWithTheirPlace) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"layout": []})", "unknown field \"layout\""},
        {R"({"version": 14})", "source.version"},
        {R"({"layouts": [{"words": []}]})", "needs \"typeCode\""},
        {R"({"layouts": [{"typeCode": 1, "words": ["0x1G"]}]})", "layouts[0].words[0]"},
        {R"({"layouts": [{"typeCode": 4294967296}]})", "out of range"},
        {R"({"layouts": [{"typeCode": -1}]})", "layouts[0].typeCode"},
        {R"({"layouts": [{"typeCode": 1, "words": [{"first": "0xFFFFFFFF", "count": 2}]}]})",
         "passes 0xFFFFFFFF"},
        {R"({"channelNameSets": [{"key": 1, "blocks": [{"captions": ["a"]}]}]})",
         "exactly 4 entries"},
        {R"({"signalLayouts": [{"typeCode": 1, "unitText": "seventeen letters"}]})", "at most 16"},
        {R"({"codePairs": [[1]]})", "exactly 2"},
        {R"({"trailing": "ABC"})", "two hexadecimal digits"},
    };
    for (const auto& [source, message] : cases) {
        try {
            descriptionFromJson(json::parse(source));
            ADD_FAILURE() << "accepted " << source;
        } catch (const FormatError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos)
                << source << " -> " << e.what();
        }
    }
}

TEST(Zsdesc, MalformedFilesAreRejected) {
    const std::vector<uint8_t> good = compileAt(kRichSource, 13);
    // Every cut inside the sections fails; only the trailing bytes may go.
    for (size_t cut = 0; cut + 3 < good.size(); ++cut)
        EXPECT_THROW(readDescription(std::span(good.data(), cut)), FormatError) << cut;
    std::vector<uint8_t> magic = good;
    magic[0] ^= 1;
    EXPECT_THROW(readDescription(magic), FormatError);
    std::vector<uint8_t> version = good;
    version[4] = 14;
    EXPECT_THROW(readDescription(version), FormatError);
}

TEST(Zsdesc, TheBuiltReferenceSurvivesDumpAndCompile) {
    std::ifstream in("TeleDescFile.bin", std::ios::binary);
    ASSERT_TRUE(in) << "the reference description is built beside the tests";
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>()};
    EXPECT_EQ(viaDump(bytes), bytes);
}

} // namespace
} // namespace zsdesc
