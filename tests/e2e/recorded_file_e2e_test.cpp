// The recorded sample files through the shipped library, loaded by name. Expectations come
// from the simulator's record content and the description beside the library.
#include "../../tools/hostlib/zs_host.h"
#include "description_json.h"
#include "sample_files.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using zs::host::Library;
using namespace zs::sim;

namespace {

const std::u16string kLanguage = u"Русский";

zsdesc::Description builtDescription() {
    std::ifstream in("TeleDescFile.json");
    return zsdesc::descriptionFromJson(nlohmann::json::parse(in));
}

// The band-name table as the library stores it for its load language.
std::vector<std::u16string> bandNames(const zsdesc::Description& d) {
    std::vector<std::u16string> names = d.bandNames;
    for (const auto& block : d.bandNameOverrides)
        if (block.language == kLanguage)
            for (const auto& [index, text] : block.names)
                if (index < names.size()) names[index] = text;
    return names;
}

std::u16string averagingName(const zsdesc::Layout& layout, uint32_t key) {
    std::u16string name;
    for (const auto& set : layout.averagingNames)
        if (set.language == kLanguage)
            for (const auto& [k, n] : set.names)
                if (k == key) name = n;
    return name;
}

std::u16string text(const ZS_WCHAR* buffer) {
    std::u16string s;
    for (; *buffer; ++buffer) s += static_cast<char16_t>(*buffer);
    return s;
}

std::u16string label(double frequency) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", frequency);
    return std::u16string(buf, buf + std::char_traits<char>::length(buf));
}

// Band-frequency columns of band set `set` (1..3) in a layout (0x8020 items: 1/256 Hz).
std::vector<int> frequencyColumns(const zsdesc::Layout& layout, int set) {
    std::vector<int> columns;
    for (uint32_t w : layout.words)
        if ((w >> 16) == 0x8020 && static_cast<int>((w >> 12) & 0xF) == set)
            columns.push_back(w & 0xFFF);
    return columns;
}

struct Host {
    Library lib;
    decltype(&K427_OpenFile) open = ZS_HOST_GET(lib, K427_OpenFile);
    decltype(&K427_GetNumRecords) count = ZS_HOST_GET(lib, K427_GetNumRecords);
    decltype(&K427_SetToRecord) step = ZS_HOST_GET(lib, K427_SetToRecord);
    decltype(&K427_CloseFile) close = ZS_HOST_GET(lib, K427_CloseFile);
    decltype(&K427_GetData) data = ZS_HOST_GET(lib, K427_GetData);
    decltype(&K427_GetAverName) averName = ZS_HOST_GET(lib, K427_GetAverName);
    decltype(&K427_GetBandName) bandName = ZS_HOST_GET(lib, K427_GetBandName);
    decltype(&K427_GetDeviceType) type = ZS_HOST_GET(lib, K427_GetDeviceType);
    decltype(&K427_GetDeviceRange) range = ZS_HOST_GET(lib, K427_GetDeviceRange);
    decltype(&K427_GetDeviceVIN) vin = ZS_HOST_GET(lib, K427_GetDeviceVIN);
    decltype(&K427_GetDateTime) dateTime = ZS_HOST_GET(lib, K427_GetDateTime);
    decltype(&K427_GetStartStopState) startStop = ZS_HOST_GET(lib, K427_GetStartStopState);
    decltype(&K427_GetOverflowState) overflow = ZS_HOST_GET(lib, K427_GetOverflowState);
    decltype(&K427_GetUnderrangeState) underrange = ZS_HOST_GET(lib, K427_GetUnderrangeState);
    decltype(&K427_IsDeviceOnLine) online = ZS_HOST_GET(lib, K427_IsDeviceOnLine);
    decltype(&K427_GetDeviceCount) devices = ZS_HOST_GET(lib, K427_GetDeviceCount);

    int32_t openPath(const std::filesystem::path& p) {
        const std::u16string s = p.u16string();
        return open(reinterpret_cast<const ZS_WCHAR*>(s.c_str()));
    }

    // Every value item of the layout reads back as the sample content wrote it.
    void expectValues(int32_t id, const zsdesc::Layout& layout, const RecordContent& content) {
        for (const auto& item : valueItems(layout.words, layout.wideColumns))
            ASSERT_EQ(data(id, item.channel, item.set - 1, item.index, item.column),
                      representable(item.word >> 28,
                                    content.value(item.channel, item.set, item.index, item.column)))
                << std::hex << item.word;
    }
};

} // namespace

TEST(RecordedFileEndToEnd, CurrentLayoutSampleThroughTheExports) {
    const auto description = builtDescription();
    const auto& layout = sampleLayout(description, kSampleCurrent);
    Host h;
    const int32_t id = h.openPath("samples/sample-current.bin");
    ASSERT_GE(id, 256);
    EXPECT_EQ(h.devices(), 0);
    EXPECT_EQ(h.count(id), kSampleCurrent.records);
    EXPECT_EQ(h.type(id), kSampleCurrent.deviceType);
    EXPECT_EQ(h.vin(id), static_cast<int32_t>(kSampleCurrent.serialNumber));
    EXPECT_EQ(h.online(id), 1);

    // The band set with frequencies, and how many value columns its rows have.
    int freqSet = 0;
    for (int set = 1; set <= 3 && !freqSet; ++set)
        if (!frequencyColumns(layout, set).empty()) freqSet = set;
    ASSERT_NE(freqSet, 0);
    const auto freqColumns = frequencyColumns(layout, freqSet);
    // Every row of a set has as many columns as the set's widest item, frequencies included.
    int valueColumns = 0;
    for (const auto& item : valueItems(layout.words, layout.wideColumns))
        if (item.set == freqSet) valueColumns = std::max(valueColumns, item.column + 1);
    for (int column : freqColumns) valueColumns = std::max(valueColumns, column + 1);

    ZS_WCHAR buffer[64];
    for (int record : {3, 0, 5, 1}) { // back and forth
        SCOPED_TRACE(record);
        ASSERT_EQ(h.step(id, record), 1);
        const auto content = sampleContent(kSampleCurrent, record);
        EXPECT_EQ(h.range(id), content.range);
        EXPECT_EQ(h.startStop(id), content.startStop);
        EXPECT_EQ(h.overflow(id, 0), content.overflow);
        EXPECT_EQ(h.underrange(id, 0), content.underrange);
        // Each record's own time: 17 May 2024 (OLE day 45429), 10:20 and 30 + 2r seconds.
        const double seconds = 10 * 3600 + 20 * 60 + 30 + 2 * record;
        EXPECT_NEAR(h.dateTime(id), 45429.0 + seconds / 86400.0, 1e-9);
        h.expectValues(id, layout, content);
        // Past the values of a row: the band set's frequencies, also its band labels.
        for (size_t k = 0; k < freqColumns.size(); ++k) {
            const double f = std::round(content.bandFrequency(freqSet, freqColumns[k]) * 256) / 256;
            EXPECT_EQ(h.data(id, 0, freqSet - 1, 0, valueColumns + static_cast<int>(k)), f);
            ASSERT_GT(h.bandName(id, freqSet - 1, 0, static_cast<int32_t>(k), buffer, 64), 0);
            EXPECT_EQ(text(buffer), label(f));
        }
        EXPECT_EQ(
            h.data(id, 0, freqSet - 1, 0, valueColumns + static_cast<int>(freqColumns.size())),
            -1.0);
    }
    EXPECT_EQ(h.data(id, 8, 0, 0, 0), -1.0);
    // A band set without frequencies is labelled from the description's band names.
    const auto names = bandNames(description);
    const int32_t n = h.bandName(id, 1, 0, 2, buffer, 64);
    ASSERT_GT(n, 0);
    EXPECT_EQ(text(buffer), names.at(layout.bandNameBase2.value_or(0) + 2));
    const auto slow = averagingName(layout, 1);
    ASSERT_FALSE(slow.empty());
    EXPECT_EQ(h.averName(id, 0, 1, buffer, 64), static_cast<int32_t>(slow.size()));
    EXPECT_EQ(text(buffer), slow);
    EXPECT_EQ(h.averName(id, 0, 1, buffer, 3), static_cast<int32_t>(slow.size()));
    EXPECT_EQ(text(buffer), slow.substr(0, 2));
    EXPECT_EQ(h.step(id, kSampleCurrent.records), 0);
    h.close(id);
    EXPECT_EQ(h.online(id), 0);
    EXPECT_EQ(h.type(id), 0);
}

TEST(RecordedFileEndToEnd, OlderLayoutSampleAndIdentifiers) {
    const auto description = builtDescription();
    Host h;
    // The identifiers start at 256 in a fresh process; a library kept mapped between tests
    // (as under some sanitizers) goes on counting.
    const int32_t id = h.openPath("samples/sample-older.bin");
    ASSERT_GE(id, 256);
    EXPECT_EQ(h.type(id), kSampleOlder.programNumber - 5536);
    for (int record : {2, 0})
        ASSERT_EQ(h.step(id, record), 1),
            h.expectValues(id, sampleLayout(description, kSampleOlder),
                           sampleContent(kSampleOlder, record));

    // A file that matches no description uses up an identifier; the next open gets the one
    // after it. A file of 2.5 records counts 2 and refuses record 2.
    const auto dir = std::filesystem::temp_directory_path() / "zs-e2e-files";
    std::filesystem::create_directories(dir);
    {
        std::ofstream(dir / "unknown.bin", std::ios::binary) << std::string(64, '\x11');
        std::ifstream in("samples/sample-current.bin", std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t recordSize = bytes.size() / kSampleCurrent.records;
        std::ofstream(dir / "partial.bin", std::ios::binary) << bytes.substr(0, recordSize * 5 / 2);
    }
    EXPECT_EQ(h.openPath(dir / "unknown.bin"), -2);
    EXPECT_EQ(h.openPath(dir / "missing.bin"), -1);
    const int32_t partial = h.openPath(dir / "partial.bin");
    EXPECT_EQ(partial, id + 2);
    EXPECT_EQ(h.count(partial), 2);
    EXPECT_EQ(h.step(partial, 1), 1);
    EXPECT_EQ(h.step(partial, 2), 0);
    h.close(partial);
    h.close(id);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}
