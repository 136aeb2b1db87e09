#include "api/file_fixture.h"
#include "zentrel_signal.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace zs;
using namespace zs::test;

namespace {
std::vector<uint8_t> recordsA(std::initializer_list<RecordA> records, size_t extraBytes = 0) {
    std::vector<uint8_t> out;
    for (const auto& r : records) {
        auto b = encodeA(r);
        out.insert(out.end(), b.begin(), b.end());
    }
    out.insert(out.end(), extraBytes, 0xEE);
    return out;
}

RecordA second() {
    RecordA r;
    r.values[0] = 10 * 65536;
    r.overflow1 = 0;
    r.serial = 99;
    return r;
}

} // namespace

TEST_F(FileTest, IdentifiersCountAndSteppingThroughRecords) {
    const auto a = write("a.bin", recordsA({RecordA{}, second()}, kRecordSizeA / 2));
    const auto unknown = write("unknown.bin", std::vector<uint8_t>(64, 0x11));
    const int32_t first = K427_OpenFile(wide(a));
    EXPECT_EQ(first, 256);
    EXPECT_EQ(K427_OpenFile(wide(unknown)), -2); // uses up 257
    const int32_t third = K427_OpenFile(wide(a));
    EXPECT_EQ(third, 258);
    EXPECT_EQ(K427_GetDeviceCount(), 0);

    EXPECT_EQ(K427_GetNumRecords(first), 2); // 2.5 records
    EXPECT_EQ(K427_GetData(first, 0, 0, 0, 0), 1.0);
    EXPECT_EQ(K427_SetToRecord(first, 1), 1);
    EXPECT_EQ(K427_GetData(first, 0, 0, 0, 0), 10.0);
    EXPECT_EQ(K427_GetDeviceVIN(first), 99);
    // Past the last whole record, or a negative number: refused, values kept.
    EXPECT_EQ(K427_SetToRecord(first, 2), 0);
    EXPECT_EQ(K427_SetToRecord(first, -1), 0);
    EXPECT_EQ(K427_GetData(first, 0, 0, 0, 0), 10.0);
    EXPECT_EQ(K427_SetToRecord(first, 0), 1);
    EXPECT_EQ(K427_GetData(first, 0, 0, 0, 0), 1.0);
    EXPECT_EQ(K427_GetOverflowState(first, 1), 5);
    // The second open of the same file is independent.
    EXPECT_EQ(K427_SetToRecord(third, 1), 1);
    EXPECT_EQ(K427_GetData(first, 0, 0, 0, 0), 1.0);

    EXPECT_EQ(K427_IsDeviceOnLine(first), 1);
    K427_CloseFile(first);
    EXPECT_EQ(K427_IsDeviceOnLine(first), 0);
    EXPECT_EQ(K427_GetNumRecords(first), 0);
    EXPECT_EQ(K427_SetToRecord(first, 0), 0);
    EXPECT_EQ(K427_GetDeviceType(first), 0);
    EXPECT_EQ(K427_GetDeviceType(third), static_cast<int32_t>(kTypeA)); // the other stays
    K427_CloseFile(first);                                              // closing twice is harmless
    K427_CloseFile(third);
    EXPECT_TRUE(frame::lib().files.empty());
}

TEST_F(FileTest, DateTimeOfTheCurrentRecord) {
    RecordA later;
    later.packedDate = (2026 - 1980) << 9 | 12 << 5 | 10;
    later.packedTime = 16 << 12 | 5 << 6 | 20;
    RecordA invalid;
    invalid.packedDate = (2026 - 1980) << 9 | 13 << 5 | 10; // month 13
    const int32_t id =
        K427_OpenFile(wide(write("dated.bin", recordsA({RecordA{}, later, invalid}))));
    ASSERT_GE(id, 256);
    const double march2010 = 40252.0 + (13 * 3600 + 45 * 60 + 30) / 86400.0;
    const double december2026 = 46366.0 + (16 * 3600 + 5 * 60 + 20) / 86400.0;
    EXPECT_NEAR(K427_GetDateTime(id), march2010, 1e-9); // record 0 is decoded on open
    ASSERT_EQ(K427_SetToRecord(id, 1), 1);
    EXPECT_NEAR(K427_GetDateTime(id), december2026, 1e-9);
    ASSERT_EQ(K427_SetToRecord(id, 2), 1);
    EXPECT_EQ(K427_GetDateTime(id), 0.0);
    ASSERT_EQ(K427_SetToRecord(id, 0), 1);
    EXPECT_NEAR(K427_GetDateTime(id), march2010, 1e-9);
    K427_CloseFile(id);
    EXPECT_EQ(K427_GetDateTime(id), 0.0);
}

TEST_F(FileTest, OpeningFieldLayouts) {
    auto older = encodeB(7 * 65536);
    const int32_t b = K427_OpenFile(wide(write("b.bin", older)));
    ASSERT_GE(b, 256);
    EXPECT_EQ(K427_GetDeviceType(b), static_cast<int32_t>(kTypeB)); // program 5636 - 5536
    EXPECT_EQ(K427_GetData(b, 0, 0, 0, 0), 7.0);
    EXPECT_EQ(frame::lib().files.back().state.programNumber, 5636);

    // Word 6 = 3 is the current layout; with word 6 = 0 the same bytes read as the older one.
    auto current = encodeA(RecordA{});
    EXPECT_GE(K427_OpenFile(wide(write("c.bin", current))), 256);
    current[6] = 0;
    EXPECT_EQ(K427_OpenFile(wide(write("c0.bin", current))), -2);
    // Shorter than the test word: the older layout, whose program field is missing too.
    EXPECT_EQ(K427_OpenFile(wide(write("short.bin", {1, 2, 3}))), -2);
}

TEST_F(FileTest, OpenFailures) {
    const uint32_t before = frame::lib().nextFileId;
    EXPECT_EQ(K427_OpenFile(nullptr), -1);
    EXPECT_EQ(K427_OpenFile(wide(u"/no/such/dir/rec.bin")), -1);
    EXPECT_EQ(K427_OpenFile(wide(dir_.u16string())), -1); // a folder is not a file
    EXPECT_EQ(frame::lib().nextFileId, before);           // failed opens use no identifier
    EXPECT_TRUE(frame::lib().files.empty());
}

TEST_F(FileTest, ZeroRecordSizeIsNoDescription) {
    auto& layout = frame::lib().description.layouts.at(kTypeA);
    layout.recordSize = 0;
    EXPECT_EQ(K427_OpenFile(wide(write("a.bin", recordsA({RecordA{}})))), -2);
    EXPECT_TRUE(frame::lib().files.empty());
}

TEST_F(FileTest, IdentifierWrapsBackTo256BeforeTheFailureValues) {
    frame::lib().nextFileId = 0xFFFFFFFDu;
    const auto a = write("a.bin", recordsA({RecordA{}}));
    EXPECT_EQ(K427_OpenFile(wide(a)), -3); // 0xFFFFFFFD: still a valid identifier
    EXPECT_EQ(K427_GetDeviceType(-3), static_cast<int32_t>(kTypeA));
    EXPECT_EQ(K427_OpenFile(wide(a)), 256); // never -2 or -1
    EXPECT_EQ(K427_OpenFile(wide(a)), 257);
}

TEST_F(FileTest, NonAsciiPath) {
    const auto path = write("Запись №1.bin", recordsA({RecordA{}}));
    EXPECT_EQ(K427_OpenFile(wide(path)), 256);
}

TEST_F(FileTest, SteppingInAnyOrderThroughAFileLargerThanOneRead) {
    // 3000 records of 50 bytes: several read windows; record r carries the value r.
    std::vector<uint8_t> bytes;
    constexpr int kRecords = 3000;
    for (int r = 0; r < kRecords; ++r) {
        RecordA record;
        record.values[0] = r * 65536;
        const auto b = encodeA(record);
        bytes.insert(bytes.end(), b.begin(), b.end());
    }
    const int32_t id = K427_OpenFile(wide(write("large.bin", bytes)));
    ASSERT_GE(id, 256);
    ASSERT_EQ(K427_GetNumRecords(id), kRecords);
    std::vector<int> order;
    for (int r = 0; r < kRecords; ++r) order.push_back(r);                     // forwards
    for (int r = kRecords - 1; r >= 0; --r) order.push_back(r);                // backwards
    for (int r = 0; r < kRecords; r += 997) order.push_back(kRecords - 1 - r); // jumps
    for (int r : {5, 4, 1500, 1501, 1499, 2999, 0}) order.push_back(r);
    for (int r : order) {
        ASSERT_EQ(K427_SetToRecord(id, r), 1) << r;
        ASSERT_EQ(K427_GetData(id, 0, 0, 0, 0), static_cast<double>(r)) << r;
    }
    K427_CloseFile(id);
}

TEST_F(FileTest, AFileStillBeingWrittenIsReadToItsCurrentEnd) {
    RecordA record;
    const auto path = write("growing.bin", recordsA({RecordA{}, second()}));
    const int32_t id = K427_OpenFile(wide(path));
    ASSERT_GE(id, 256);
    EXPECT_EQ(K427_SetToRecord(id, 1), 1);
    EXPECT_EQ(K427_SetToRecord(id, 2), 0); // not written yet

    // The writer adds half a record, then the rest of it and one more.
    record.values[0] = 30 * 65536;
    const auto third = encodeA(record);
    record.values[0] = 40 * 65536;
    const auto fourth = encodeA(record);
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::app);
    out.write(reinterpret_cast<const char*>(third.data()), kRecordSizeA / 2).flush();
    EXPECT_EQ(K427_GetNumRecords(id), 2);
    EXPECT_EQ(K427_SetToRecord(id, 2), 0);
    EXPECT_EQ(K427_GetData(id, 0, 0, 0, 0), 10.0); // values kept
    out.write(reinterpret_cast<const char*>(third.data() + kRecordSizeA / 2), kRecordSizeA / 2);
    out.write(reinterpret_cast<const char*>(fourth.data()), kRecordSizeA).flush();
    EXPECT_EQ(K427_GetNumRecords(id), 4);
    EXPECT_EQ(K427_SetToRecord(id, 2), 1);
    EXPECT_EQ(K427_GetData(id, 0, 0, 0, 0), 30.0);
    EXPECT_EQ(K427_SetToRecord(id, 3), 1);
    EXPECT_EQ(K427_GetData(id, 0, 0, 0, 0), 40.0);
    EXPECT_EQ(K427_SetToRecord(id, 0), 1);
    EXPECT_EQ(K427_GetData(id, 0, 0, 0, 0), 1.0);
    K427_CloseFile(id);
}
