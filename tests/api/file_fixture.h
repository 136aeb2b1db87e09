#pragma once
// A small description with two record types and recorded files built byte by byte, for the
// recorded-file and query tests.
#include "frame/library.h"
#include "support/library_fixture.h"
#include "telemetry/description_builder.h"
#include "telemetry/description_file.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace zs::test {

// Type 28, opening fields in the current layout (word 3 at offset 6).
inline constexpr uint32_t kTypeA = 28;
inline constexpr uint32_t kRecordSizeA = 50;
// Type 100: older layout, program 5636 at offset 18.
inline constexpr uint32_t kTypeB = 100;
inline constexpr uint32_t kRecordSizeB = 26;

struct RecordA {
    uint16_t program = 7;
    uint16_t packedDate = (2010 - 1980) << 9 | 3 << 5 | 15;
    uint32_t packedTime = 13 << 12 | 45 << 6 | 30;
    uint32_t serial = 123456;
    uint16_t range = 0x0102; // only the low two bits travel
    uint16_t startStop = 1;
    uint16_t overflow1 = 0x0005;
    int32_t values[4] = {65536, 2 * 65536, 3 * 65536, -65536}; // ch0 col0/1, ch1 col0/1
    uint32_t frequencies[2] = {1000, 2000};
    int32_t set3 = 5 * 65536; // ch0, band set 3, column 0
};

class Bytes {
  public:
    Bytes& u16(uint32_t v) {
        b.push_back(static_cast<uint8_t>(v));
        b.push_back(static_cast<uint8_t>(v >> 8));
        return *this;
    }
    Bytes& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    std::vector<uint8_t> b;
};

inline std::vector<uint8_t> encodeA(const RecordA& r) {
    Bytes w;
    w.u16(kTypeA).u16(r.program).u16(0).u16(3);
    w.u16(r.packedDate).u16(r.packedTime / 2).u32(r.serial).u16(r.range).u16(r.startStop);
    w.u16(r.overflow1);
    for (int32_t v : r.values) w.u32(static_cast<uint32_t>(v));
    w.u32(r.frequencies[0]).u32(r.frequencies[1]).u32(static_cast<uint32_t>(r.set3));
    return w.b;
}

inline std::vector<uint8_t> encodeB(int32_t value) {
    Bytes w;
    w.u16(0).u16(0).u16(0).u16(6); // 6 at offset 6: not the current layout
    for (int i = 0; i < 5; ++i) w.u16(0);
    w.u16(kTypeB + 5536).u32(static_cast<uint32_t>(value)).u16(0);
    return w.b;
}

inline DescriptionImage fixtureDescription() {
    DescriptionImage f;
    LayoutEntry a;
    a.typeCode = kTypeA;
    a.words = {0x201B0000, 0x201C0000, 0,          0,          0x00010000, 0x00020000,
               0x50040000, 0x20110000, 0x40100000, 0x40130001, 0x51100000, 0x51100001,
               0x51110000, 0x51110001, 0x70201000, 0x70201001, 0x51300000};
    a.recordSize = kRecordSizeA;
    a.bandNameBase1 = 0;
    a.bandNameBase3 = 1;
    a.averagingSets = {{u"Русский", {{0, u"Fast, A-weighted"}}}};
    LayoutEntry b;
    b.typeCode = kTypeB;
    b.words = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x201C0000, 0x51100000, 0};
    b.recordSize = kRecordSizeB;
    f.layouts = {a, b};
    f.bandNames = {u"31.5 Hz", u"Lin", u"A", u"C"};
    f.channelSets = {{7, {{u"Русский", u"t", {}, {u"Mic", u"Acc", u"", u""}}}}};
    return f;
}

// Every test starts with the fixture description loaded and no reload pending.
class FileTest : public LibraryTest {
  protected:
    void SetUp() override {
        LibraryTest::SetUp();
        auto& s = frame::lib();
        s.description = {};
        ASSERT_TRUE(telemetry::parseTelemetryDescription(
            s.description, buildDescription(fixtureDescription()), telemetry::kLoadLanguage));
        s.descriptionLoaded = 1;
        dir_ = std::filesystem::temp_directory_path() /
               ("zs-files-" + std::to_string(reinterpret_cast<uintptr_t>(this)));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        LibraryTest::TearDown();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // Writes `bytes` to a file in the test's folder and returns its path as UTF-16.
    std::u16string write(const std::string& name, const std::vector<uint8_t>& bytes) {
        const auto path = dir_ / std::filesystem::u8path(name);
        std::ofstream out(path, std::ios::binary); // wide names on Windows too
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return path.u16string();
    }

    std::filesystem::path dir_;
};

inline const ZS_WCHAR* wide(const std::u16string& s) {
    return reinterpret_cast<const ZS_WCHAR*>(s.c_str());
}

} // namespace zs::test
