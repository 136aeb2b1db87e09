#include "api/file_fixture.h"
#include "platform/clock.h"
#include "platform/local_time.h"
#include "zentrel_signal.h"

#include <atomic>
#include <cmath>
#include <gtest/gtest.h>
#include <thread>

using namespace zs;
using namespace zs::test;

namespace {

std::shared_ptr<frame::DevStruct> addDevice() {
    auto d = std::make_shared<frame::DevStruct>();
    frame::lib().devices.push_back(d);
    return d;
}

std::u16string text(const ZS_WCHAR* buffer) {
    std::u16string s;
    for (; *buffer; ++buffer) s += static_cast<char16_t>(*buffer);
    return s;
}

std::atomic<int> g_calls{0};
void ZS_CDECL countingCallback(uint8_t*, int32_t, int32_t) {
    ++g_calls;
}

} // namespace

TEST_F(LibraryTest, EveryQueryGivesItsBadIndexResultWithoutDevices) {
    for (int32_t index : {0, 1, -1, 255, 256, 1000}) {
        EXPECT_EQ(K427_GetDeviceType(index), 0);
        EXPECT_EQ(K427_GetDeviceRange(index), 0);
        EXPECT_EQ(K427_GetDeviceVIN(index), 0);
        EXPECT_EQ(K427_GetStartStopState(index), 0);
        EXPECT_EQ(K427_GetOverflowState(index, 0), 0);
        EXPECT_EQ(K427_GetUnderrangeState(index, 0), 0);
        EXPECT_EQ(K427_IsDeviceOnLine(index), 0);
        EXPECT_EQ(K427_IsDeviceHighSpeed(index), 0);
        EXPECT_EQ(K427_GetChannelN(index), 0);
        EXPECT_EQ(K427_GetFSampling(index), 0.0);
        EXPECT_EQ(K427_GetCorrection(index, 0), 0.0);
        EXPECT_EQ(K427_GetSensor(index, 0), 0.0);
        EXPECT_EQ(K427_GetKBase(index, 0), 0.0);
        EXPECT_EQ(K427_GetBaseLevel(index, 0), 0.0);
        EXPECT_EQ(K427_GetDateTime(index), 0.0);
        EXPECT_EQ(K427_WaitForTelePacket(index, 0), 0);
        EXPECT_EQ(K427_GetWPtr(index), nullptr);
        K427_RegisterCallbackForSignalSend(index, countingCallback, 1);
        EXPECT_EQ(K427_GetData(index, 0, 0, 0, 0), -1.0);
        ZS_WCHAR buffer[8] = {'x', 'x'};
        EXPECT_EQ(K427_GetAverName(index, 0, 0, buffer, 8), 0);
        EXPECT_EQ(buffer[0], 0);
        buffer[0] = 'x';
        EXPECT_EQ(K427_GetBandName(index, 0, 0, 0, buffer, 8), 0);
        EXPECT_EQ(buffer[0], 0);
    }
    double out[4] = {7, 7, 7, 7};
    EXPECT_EQ(GetSpectrum(out, 1), 0);
    EXPECT_EQ(out[0], 7.0);
}

TEST_F(LibraryTest, FreshDeviceRecordAnswersItsInitialValues) {
    auto d = addDevice();
    EXPECT_EQ(d->startCmd.load(), -1);
    EXPECT_EQ(d->sigRegModeCmd.load(), -1);
    EXPECT_EQ(d->sigRegParam.load(), -1);
    EXPECT_EQ(d->requestedProgram, 0xFFFFu);
    EXPECT_EQ(d->ioThread, nullptr);
    EXPECT_NE(d->dataLock, nullptr); // the locks live as long as the record
    EXPECT_FALSE(d->hasFtdi() || d->hasTcp() || d->hasUdp() || d->hasWinUsb());
    EXPECT_EQ(K427_GetDeviceVIN(0), -1); // not known yet
    EXPECT_EQ(K427_IsDeviceOnLine(0), 1);
    EXPECT_EQ(K427_IsDeviceHighSpeed(0), 0);
    EXPECT_EQ(GetTeleType(), 0);
    // Rule P does not reach files, rule M does not treat 256 as a position.
    EXPECT_EQ(K427_IsDeviceHighSpeed(256), 0);
    EXPECT_EQ(K427_GetDeviceType(256), 0);
}

TEST_F(LibraryTest, DeviceFieldQueries) {
    auto d = addDevice();
    d->state.deviceType = 43;
    d->state.rangeWord = 0x0102;
    d->state.startStopState = 0xABCD;
    d->state.samplingRate = 51200.0;
    d->rows[7].overflowFlags = 3;
    d->rows[2].underrangeFlags = 9;
    d->layout.channelCount = 2;
    d->layout.sensorCount = 4;
    for (int c = 0; c < 8; ++c) {
        d->rows[c].correction = c + 0.5;
        d->rows[c].sensitivity = c + 0.25;
        d->rows[c].kBase = c + 0.125;
        d->baseLevel[c] = 90.0 + c;
    }
    EXPECT_EQ(K427_GetDeviceType(0), 43);
    EXPECT_EQ(K427_GetDeviceRange(0), 2);
    EXPECT_EQ(K427_GetStartStopState(0), 0xABCD);
    EXPECT_EQ(K427_GetFSampling(0), 51200.0);
    EXPECT_EQ(K427_GetChannelN(0), 2);
    EXPECT_EQ(K427_GetOverflowState(0, 7), 3);
    EXPECT_EQ(K427_GetOverflowState(0, 8), 0);
    EXPECT_EQ(K427_GetUnderrangeState(0, 2), 9);
    EXPECT_EQ(K427_GetUnderrangeState(0, -1), 0);
    // Coefficients exist for the larger of the sensor and channel counts (4 here).
    EXPECT_EQ(K427_GetCorrection(0, 3), 3.5);
    EXPECT_EQ(K427_GetSensor(0, 3), 3.25);
    EXPECT_EQ(K427_GetKBase(0, 3), 3.125);
    EXPECT_EQ(K427_GetCorrection(0, 4), 0.0);
    EXPECT_EQ(K427_GetKBase(0, -1), 0.0);
    EXPECT_EQ(K427_GetBaseLevel(0, 7), 97.0);
    EXPECT_EQ(K427_GetBaseLevel(0, 8), 0.0);
    d->highSpeed = 1;
    EXPECT_EQ(K427_IsDeviceHighSpeed(0), 1);
    d->online = 0;
    EXPECT_EQ(K427_IsDeviceOnLine(0), 0);
    double sample = 0;
    d->signalWritePtr = &sample;
    EXPECT_EQ(K427_GetWPtr(0), &sample);
}

TEST_F(LibraryTest, DateTimeOfThePackedFields) {
    auto d = addDevice();
    struct Case {
        uint16_t date;
        uint32_t time;
        platform::CalendarTime expected; // year 0: no valid date
    } cases[] = {
        {(2010 - 1980) << 9 | 3 << 5 | 15, 13 << 12 | 45 << 6 | 30, {2010, 3, 15, 13, 45, 30}},
        {(1980 - 1980) << 9 | 1 << 5 | 1, 0, {1980, 1, 1, 0, 0, 0}},
        {(2024 - 1980) << 9 | 2 << 5 | 29, 23 << 12 | 59 << 6 | 59, {2024, 2, 29, 23, 59, 59}},
        {0, 0, {0}},                                       // month 0
        {(2023 - 1980) << 9 | 2 << 5 | 29, 0, {0}},        // no 29 February in 2023
        {(2010 - 1980) << 9 | 3 << 5 | 15, 24 << 12, {0}}, // hour 24
    };
    for (const auto& c : cases) {
        d->state.packedDate = c.date;
        d->state.packedTime = c.time;
        const double expected = c.expected.year ? platform::oleDateFromCalendar(c.expected) : 0.0;
        EXPECT_DOUBLE_EQ(K427_GetDateTime(0), expected) << c.date << " " << c.time;
    }
    d->state.packedDate = (2010 - 1980) << 9 | 3 << 5 | 15;
    d->state.packedTime = 13 << 12 | 45 << 6 | 30;
    EXPECT_NEAR(K427_GetDateTime(0), 40252.573263888889, 1e-9); // 15 March 2010 13:45:30
}

TEST_F(LibraryTest, WaitForTelePacket) {
    auto d = addDevice();
    d->lastPacketTick = 100;
    d->seenPacketTick = 100;
    EXPECT_EQ(K427_WaitForTelePacket(0, 0), 0);
    d->lastPacketTick = 200;
    EXPECT_EQ(K427_WaitForTelePacket(0, 0), 1);
    EXPECT_EQ(K427_WaitForTelePacket(0, 0), 0); // reported once

    const uint32_t t0 = platform::tickMs();
    EXPECT_EQ(K427_WaitForTelePacket(0, 100), 0); // silent device
    EXPECT_GE(platform::tickMs() - t0, 90u);

    std::thread io([&] {
        while (platform::tickMs() - t0 < 150) platform::sleepMs(5);
        d->lastPacketTick = 300;
    });
    EXPECT_EQ(K427_WaitForTelePacket(0, 5000), 1);
    io.join();
    EXPECT_EQ(d->seenPacketTick.load(), 200u); // the timed form leaves it alone
}

TEST_F(LibraryTest, RegisterCallbackStoresBothFields) {
    auto d = addDevice();
    K427_RegisterCallbackForSignalSend(0, countingCallback, 42);
    EXPECT_EQ(d->signalSendUser.load(), 42);
    ASSERT_EQ(d->signalSendCallback.load(), &countingCallback);
    K427_RegisterCallbackForSignalSend(0, nullptr, 0);
    EXPECT_EQ(d->signalSendCallback.load(), nullptr);
}

TEST_F(FileTest, DataAndLabelsOfARecordedFile) {
    const int32_t id = K427_OpenFile(wide(write("a.bin", encodeA(RecordA{}))));
    ASSERT_EQ(id, 256);
    struct Case {
        int32_t row, group, avg, column;
        double expected;
    } cases[] = {
        {0, 0, 0, 0, 1.0},    {0, 0, 0, 1, 2.0},  {1, 0, 0, 0, 3.0},  {1, 0, 0, 1, -1.0 * 1},
        {0, 0, 0, 2, 1000.0}, // past the values: the band frequencies
        {0, 0, 0, 3, 2000.0}, {0, 0, 0, 4, -1.0}, {0, 2, 0, 0, 5.0},  {2, 0, 0, 0, -1.0},
        {8, 0, 0, 0, -1.0},   {0, 3, 0, 0, -1.0}, {0, 0, 1, 0, -1.0}, {-1, 0, 0, 0, -1.0},
        {0, 1, 0, 0, -1.0}, // band set 2 has no values
    };
    for (const auto& c : cases)
        EXPECT_EQ(K427_GetData(id, c.row, c.group, c.avg, c.column), c.expected)
            << c.row << "," << c.group << "," << c.avg << "," << c.column;

    ZS_WCHAR buffer[32];
    EXPECT_EQ(K427_GetAverName(id, 0, 0, buffer, 32), 16);
    EXPECT_EQ(text(buffer), u"Fast, A-weighted");
    EXPECT_EQ(K427_GetAverName(id, 0, 0, buffer, 4), 16); // full length, cut copy
    EXPECT_EQ(text(buffer), u"Fas");
    EXPECT_EQ(K427_GetAverName(id, 0, 1, buffer, 32), 0);
    EXPECT_EQ(K427_GetAverName(id, 2, 0, buffer, 32), 16); // one map serves every band set
    EXPECT_EQ(K427_GetAverName(id, 1, 0, buffer, 32), 0);  // band set 2 has no index 0
    EXPECT_EQ(K427_GetAverName(id, 0, 0, nullptr, 32), 0);
    EXPECT_EQ(K427_GetAverName(id, 0, 0, buffer, 0), 0);

    // Band set 1 has frequencies: labelled with them; set 3 has none: the band names.
    EXPECT_EQ(K427_GetBandName(id, 0, 0, 1, buffer, 32), 7);
    EXPECT_EQ(text(buffer), u"2000.00");
    EXPECT_EQ(K427_GetBandName(id, 0, 0, 2, buffer, 32), 0);
    EXPECT_EQ(K427_GetBandName(id, 2, 0, 0, buffer, 32), 3);
    EXPECT_EQ(text(buffer), u"Lin"); // bandNameBase3 = 1
    EXPECT_EQ(K427_GetBandName(id, 3, 0, 0, buffer, 32), 0);
    EXPECT_EQ(K427_GetBandName(id, 2, 0, 0, buffer, 2), 3);
    EXPECT_EQ(text(buffer), u"L");

    EXPECT_EQ(K427_GetDeviceType(id), static_cast<int32_t>(kTypeA));
    EXPECT_EQ(K427_GetDeviceRange(id), 2);
    EXPECT_EQ(K427_GetDeviceVIN(id), 123456);
    EXPECT_EQ(K427_GetStartStopState(id), 1);
    EXPECT_EQ(K427_GetOverflowState(id, 1), 5);
    EXPECT_EQ(K427_IsDeviceOnLine(id), 1);
}

TEST_F(FileTest, BandNamesOfTheFirstSetUseEveryThirdName) {
    auto& layout = frame::lib().description.layouts.at(kTypeA);
    layout.words.erase(layout.words.begin() + 14, layout.words.begin() + 16); // no frequencies
    layout.recordSize = kRecordSizeA - 8;
    auto bytes = encodeA(RecordA{});
    bytes.erase(bytes.begin() + 38, bytes.begin() + 46);
    auto& names = frame::lib().description.bandNames;
    names = {u"n0", u"n1", u"n2", u"n3", u"n4", u"n5"};
    layout.bandNameBase1 = 2;
    const int32_t id = K427_OpenFile(wide(write("a.bin", bytes)));
    ASSERT_EQ(id, 256);
    ZS_WCHAR buffer[8];
    EXPECT_EQ(K427_GetBandName(id, 0, 0, 0, buffer, 8), 2);
    EXPECT_EQ(text(buffer), u"n2");
    EXPECT_EQ(K427_GetBandName(id, 0, 0, 1, buffer, 8), 2);
    EXPECT_EQ(text(buffer), u"n5");                // band 1 * 3 + 2
    EXPECT_EQ(K427_GetData(id, 0, 0, 0, 2), -1.0); // no frequencies to read on into
}

TEST_F(LibraryTest, SpectrumNeedsTheTeleRingOfTheFirstDevice) {
    auto d = addDevice();
    std::vector<double> out(10650, 7.0);
    EXPECT_EQ(GetSpectrum(out.data(), 1), 0); // measurement mode
    d->sMode = 1;
    EXPECT_EQ(GetSpectrum(out.data(), 1), 0); // no write pointer
    std::vector<double> hostBuffer(131072);
    d->signalBuffer = hostBuffer.data();
    d->signalWritePtr = hostBuffer.data() + 100;
    EXPECT_EQ(GetSpectrum(out.data(), 1), 0); // a host buffer, not the tele ring
    EXPECT_EQ(out[0], 7.0);

    auto& s = frame::lib();
    s.teleRing.reset(new double[131072]);
    s.teleRingLength = 131072;
    const double kPi = 3.141592653589793;
    for (int i = 0; i < 131072; ++i) s.teleRing[i] = 0.5 * std::sin(2 * kPi * 2000 * i / 65536.0);
    d->signalBuffer = s.teleRing.get();
    d->signalWritePtr = s.teleRing.get() + 1000;
    EXPECT_EQ(GetSpectrum(out.data(), 1), 1);
    EXPECT_NEAR(out[2000 - 273], 10 * std::log10(0.25 / 2), 0.01);
    EXPECT_EQ(GetSpectrum(nullptr, 1), 0);
}
