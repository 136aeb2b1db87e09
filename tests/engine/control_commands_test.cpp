#include "engine/command_engine.h"
#include "engine/control_commands.h"
#include "engine/stream_fixture.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace zs::test {
namespace {

using K = transport::LinkKind;

using sim::Command;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class ControlCommands : public StreamDevices {
  protected:
    // A listed device without any link: it never gets a thread, so nothing is served.
    DevicePtr silentDevice(transport::LinkKind linkKind = transport::LinkKind::FtdiDirect,
                           uint16_t type = 28, uint16_t program = 40) {
        return list(newRecord(linkKind, type, program));
    }
    static std::vector<frame::GeneratorQueue::Item> drain(frame::DevStruct& d) {
        std::vector<frame::GeneratorQueue::Item> items;
        frame::GeneratorQueue::Item item;
        while (d.generatorQueue->pop(item)) items.push_back(item);
        return items;
    }
};

// Each mailbox command reaches the instrument on the thread's next pass, and the export
// returns once the thread has taken it (the mailbox is idle again, not timed out).
TEST_F(ControlCommands, MailboxCommandsReachTheInstrumentOnEveryLink) {
    struct Export {
        const char* name;
        std::function<void(int32_t)> call;
        std::atomic<int32_t> frame::DevStruct::*box;
        Command overBytes, overFrames; // FTDI/TCP two-byte form, WinUSB/UDP payload form
    };
    const Export exports[] = {
        {"reset",
         K427_SendResetCmd,
         &frame::DevStruct::resetCmd,
         {"reset", {}, {}},
         {"reset", {0}, {}}},
        {"startStop",
         K427_SendStartStopCmd,
         &frame::DevStruct::startStopCmd,
         {"startStop", {}, {}},
         {"startStop", {0}, {}}},
        {"start",
         K427_SendStartCmd,
         &frame::DevStruct::startCmd,
         {"start", {}, {}},
         {"start", {}, {}}},
        {"stop", K427_SendStopCmd, &frame::DevStruct::stopCmd, {"stop", {}, {}}, {"stop", {}, {}}},
        {"range",
         [](int32_t i) { K427_SendRangeCmd(i, 2); },
         &frame::DevStruct::rangeCmd,
         {"rangeByte", {0}, {}},
         {"range", {2}, {}}},
        {"polarity",
         [](int32_t i) { K427_SendPolCmd(i, 1); },
         &frame::DevStruct::polCmd,
         {"polarity", {1}, {}},
         {"polarity", {1}, {}}},
        {"icp",
         [](int32_t i) { K427_SendIcpModeCmd(i, 1); },
         &frame::DevStruct::icpModeCmd,
         {"icpMode", {1}, {}},
         {"icpMode", {1}, {}}},
        {"zero channel",
         [](int32_t i) { K427_SendZChModeCmd(i, 7); },
         &frame::DevStruct::zChModeCmd,
         {"zeroChannelMode", {1}, {}},
         {"zeroChannelMode", {1}, {}}},
    };
    auto f = addFtdi(K::FtdiDirect, 28, 40, 10);
    auto t = addTcp(K::TcpChannel0, 28, 40, 10);
    auto w = addWinUsb(132, 132, 10);
    auto u = addUdp(38, 38, 10);
    engine::startIoThreads();
    const sim::StreamState* instruments[] = {f.instrument.get(), t.instrument, w.instrument.get(),
                                             u.instrument};
    for (const sim::StreamState* s : instruments) ASSERT_TRUE(s->log.waitFor("streamMode", 2000));
    for (const auto& e : exports) {
        for (int32_t i = 0; i < 4; ++i) {
            SCOPED_TRACE(testing::Message() << e.name << " on device " << i);
            const Command& want = i < 2 ? e.overBytes : e.overFrames;
            const size_t before = instruments[i]->log.named(want.name).size();
            e.call(i);
            auto& d = **std::next(frame::lib().devices.begin(), i);
            EXPECT_EQ((d.*e.box).load(), -1);
            const auto got = instruments[i]->log.waitFor(want.name, 2000, before);
            ASSERT_TRUE(got.has_value());
            // Commands over datagrams are padded to whole 32-bit words.
            auto values = got->values;
            if (i == 3 && values.size() > want.values.size()) values.resize(want.values.size());
            EXPECT_EQ(values, want.values);
        }
    }
}

TEST_F(ControlCommands, SetDateTimeSendsTheClockWordAndItsComplement) {
    auto f = addFtdi(K::FtdiDirect, 28, 40, 10);
    engine::startIoThreads();
    K427_SetDateTime(0);
    const auto c = f.instrument->log.waitFor("dateTime", 2000);
    ASSERT_TRUE(c.has_value());
    ASSERT_EQ(c->values.size(), 2u);
    EXPECT_EQ(c->values[1], static_cast<int64_t>(~static_cast<uint32_t>(c->values[0])));
    const auto now = engine::dateTimeValue(platform::localTimeNow());
    EXPECT_NEAR(static_cast<double>(c->values[0] >> 17), static_cast<double>(now >> 17), 1.0);
}

TEST_F(ControlCommands, SilentDeviceLeavesTheCommandPendingAfterHalfASecond) {
    auto d = silentDevice();
    engine::startIoThreads();
    ASSERT_EQ(d->ioThread, nullptr);
    const uint32_t start = platform::tickMs();
    K427_SendStartCmd(0);
    const uint32_t took = platform::tickMs() - start;
    EXPECT_GE(took, 490u);
    EXPECT_LT(took, 3000u);
    EXPECT_EQ(d->startCmd.load(), 1);
    K427_SendRangeCmd(0, -1); // a negative value is an idle mailbox: no wait
    EXPECT_EQ(d->rangeCmd.load(), -1);
    K427_SendStartCmd(5); // no such device: nothing to wait for
}

TEST_F(ControlCommands, SigRegModeRateGainMaskAndDeviceChecks) {
    struct Case {
        double rate, gain;
        uint32_t mask;
        uint16_t type;
        std::optional<std::vector<int64_t>> sent; // mode, gain code, mask
    };
    const Case cases[] = {
        {48050, 3.0, 5, 118, std::vector<int64_t>{5, 6, 5}},
        {48000, 2.74, 1, 121, std::vector<int64_t>{5, 5, 1}},
        {1230000 + 99999, 0.5, 15, 119, std::vector<int64_t>{0, 1, 15}},
        {93.8, 1, 2, 120, std::vector<int64_t>{14, 2, 2}},
        {48100, 3.0, 5, 118, std::nullopt},
        {1330000, 3.0, 5, 118, std::nullopt},
        {48000, 3.0, 0, 118, std::nullopt},
        {48000, 3.0, 16, 118, std::nullopt},
        {48000, 3.0, 5, 28, std::nullopt},
        {kNaN, 3.0, 5, 118, std::nullopt},
        {48000, kNaN, 5, 118, std::nullopt},
        {48000, 1e300, 5, 118, std::nullopt},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.rate << " " << c.gain << " " << c.mask << " " << c.type);
        const std::string serial = "ZS2" + std::to_string(n);
        auto f = addFtdi(K::FtdiDirect, c.type, c.type, 10, serial.c_str());
        engine::startIoThreads();
        ASSERT_TRUE(f.instrument->log.waitFor("streamMode", 2000));
        K427_SendSigRegModeCmd(n++, &c.rate, &c.gain, c.mask);
        if (c.sent) {
            const auto got = f.instrument->log.waitFor("sigRegMode", 2000);
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(got->values, *c.sent);
        } else {
            EXPECT_EQ(f.record->sigRegModeCmd.load(), -1);
            EXPECT_EQ(f.record->sigRegParam.load(), -1);
        }
    }
    K427_SendSigRegModeCmd(0, nullptr, nullptr, 1);
}

TEST_F(ControlCommands, CalibrationGoesThroughTheRing) {
    auto f = addFtdi(K::FtdiDirect, 28, 40, 10);
    engine::startIoThreads();
    const double correction = 1.5, sensitivity = 10, kBase = 1;
    K427_SendCalibrationCmd(0, 3, &correction, &sensitivity, &kBase);
    EXPECT_EQ(f.record->ringReadIndex.load(), f.record->ringWriteIndex.load());
    const auto got = f.instrument->log.waitFor("calibration", 2000);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->values, (std::vector<int64_t>{3, 98304, 65536, 0}));

    const double nan = kNaN, zero = 0;
    K427_SendCalibrationCmd(0, 3, &nan, &sensitivity, &kBase); // refused
    K427_SendCalibrationCmd(0, 4, &correction, &zero, &kBase); // log10(0): clamped
    const auto clamped = f.instrument->log.waitFor("calibration", 2000, 1);
    ASSERT_TRUE(clamped.has_value());
    EXPECT_EQ(clamped->values, (std::vector<int64_t>{4, 98304, INT32_MIN, 0}));
    EXPECT_EQ(f.instrument->log.named("calibration").size(), 2u);
}

TEST_F(ControlCommands, FullRingDropsTheEntryAndWaitsItsHalfSecond) {
    auto d = silentDevice();
    engine::startIoThreads();
    d->ringWriteIndex = 31; // 31 entries pending, none taken
    const double correction = 1.5, sensitivity = 10, kBase = 1;
    const uint32_t start = platform::tickMs();
    K427_SendCalibrationCmd(0, 0, &correction, &sensitivity, &kBase);
    EXPECT_GE(platform::tickMs() - start, 490u);
    EXPECT_EQ(d->ringWriteIndex.load(), 31u);
    // The entry was written into the slot, uncommitted, to be overwritten by the next one.
    EXPECT_EQ(d->commandRing[31].bytes[0], 17);
}

TEST_F(ControlCommands, TaggedBandSetUsesTheDeviceClock) {
    struct Case {
        uint16_t type;
        double frequency;
        std::optional<int64_t> word;
    };
    const Case cases[] = {{28, 1000, 44739243},      {38, 1000, 3728270},
                          {132, 1000, 3495253},      {28, -1, std::nullopt},
                          {28, 96000, std::nullopt}, {28, kNaN, std::nullopt}};
    const int32_t ratios[6] = {1, 2, 3, 4, 5, 0x12345};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.type << " " << c.frequency);
        const std::string serial = "ZS3" + std::to_string(n);
        auto f = addFtdi(K::FtdiDirect, c.type, c.type == 28 ? 40 : c.type, 10, serial.c_str());
        engine::startIoThreads();
        ASSERT_TRUE(f.instrument->log.waitFor("streamMode", 2000));
        K427_SendSetBandsCmd(n++, &c.frequency, 0x10009, ratios);
        if (c.word) {
            {
                std::lock_guard lock(*f.record->bandLock);
                EXPECT_TRUE(f.record->bandBytes.empty());
            }
            const auto got = f.instrument->log.waitFor("bands", 2000);
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(got->values, (std::vector<int64_t>{*c.word, 1, 2, 3, 4, 5, 0x2345, 9}));
        } else {
            std::lock_guard lock(*f.record->bandLock);
            EXPECT_TRUE(f.record->bandBytes.empty());
        }
    }
}

TEST_F(ControlCommands, SyncBandSetsAndLowFrequencyBands) {
    auto f = addFtdi(K::FtdiDirectSync, 43, 42, 10);
    engine::startIoThreads();
    ASSERT_TRUE(f.instrument->log.waitFor("streamMode", 2000));
    const double frequency = 1000;
    const int32_t ratios[6] = {2, 3, 4, 5, 6, 7};
    K427_SendSetBandsCmd(0, &frequency, 3, ratios);
    auto got = f.instrument->log.waitFor("syncBands", 2000);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->values,
              (std::vector<int64_t>{67108864, 89478485, 111848107, 134217728, 156587349, 3}));
    const int32_t noFirst[6] = {0, 3, 4, 5, 6, 7};
    K427_SendSetBandsCmd(0, &frequency, 3, noFirst);

    // Bandwidth index 6 is 10 Hz: bands at 0, 20, 40, 60 and 80 Hz.
    const double centre = 40, tooLow = 39, nan = kNaN;
    K427_SendSetBandsCmdLF(0, &centre, 6);
    got = f.instrument->log.waitFor("syncBands", 2000, 1);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->values, (std::vector<int64_t>{0, 894785, 1789570, 2684355, 3579139, 6}));
    K427_SendSetBandsCmdLF(0, &tooLow, 6);
    K427_SendSetBandsCmdLF(0, &centre, 19);
    K427_SendSetBandsCmdLF(0, &centre, -1);
    K427_SendSetBandsCmdLF(0, &nan, 6);
    K427_SendSetBandsCmdLF(0, nullptr, 6);
    EXPECT_EQ(f.instrument->log.named("syncBands").size(), 2u);
    std::lock_guard lock(*f.record->bandLock);
    EXPECT_TRUE(f.record->bandBytes.empty());
}

TEST_F(ControlCommands, LowFrequencyBandsOnlyForTheirAnalyser) {
    auto tagged = silentDevice(K::FtdiDirect, 43, 42);
    auto otherProgram = silentDevice(K::FtdiDirectSync, 43, 41);
    const double centre = 40;
    K427_SendSetBandsCmdLF(0, &centre, 6);
    K427_SendSetBandsCmdLF(1, &centre, 6);
    EXPECT_TRUE(tagged->bandBytes.empty());
    EXPECT_TRUE(otherProgram->bandBytes.empty());
}

TEST_F(ControlCommands, GeneratorValuesAreRangeChecked) {
    auto d = silentDevice();
    struct Case {
        decltype(&QM730_SetAmp) call;
        double value;
        int32_t result, code, word;
    };
    const Case cases[] = {
        {QM730_SetAmp, 100, 1, 33, 0xFFFF},
        {QM730_SetAmp, 50, 1, 33, 32768},
        {QM730_SetAmp, 1e12, 1, 33, 0xFFFF},
        {QM730_SetAmp, -5, 1, 33, 0},
        {QM730_SetAmp, kNaN, 0, 0, 0},
        {QM730_SetFrequency, 1000000, 1, 32, 1073741824},
        {QM730_SetFrequency, 3999999, 1, 32, static_cast<int32_t>(4294966222u)},
        {QM730_SetFrequency, 1e12, 0, 0, 0},
        {QM730_SetFrequency, -1, 0, 0, 0},
        {QM730_SetFrequency, kNaN, 0, 0, 0},
        {QM730_SetLevel, 1.5, 1, 34, 98304},
        {QM730_SetLevel, -2.25, 1, 34, -147456},
        {QM730_SetLevel, -1e12, 0, 0, 0},
        {QM730_SetLevel, 1e12, 0, 0, 0},
        {QM730_SetLevel, kNaN, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(c.call(0, c.value), c.result);
        const auto items = drain(*d);
        if (c.result) {
            ASSERT_EQ(items.size(), 1u);
            EXPECT_EQ(items[0].command, c.code);
            EXPECT_EQ(items[0].value, c.word);
        } else {
            EXPECT_TRUE(items.empty());
        }
    }
    EXPECT_EQ(QM730_SetAmp(1, 50), 0);
    EXPECT_EQ(QM730_SetFrequency(-1, 1000), 0);
}

TEST_F(ControlCommands, GeneratorItemsReachTheInstrumentInOrder) {
    auto f = addFtdi(K::FtdiDirect, 28, 40, 10);
    engine::startIoThreads();
    EXPECT_EQ(QM730_SetFrequency(0, 1000000), 1);
    EXPECT_EQ(QM730_SetAmp(0, 50), 1);
    EXPECT_EQ(QM730_SetLevel(0, 1.5), 1);
    ASSERT_TRUE(f.instrument->log.waitFor("generatorLevel", 2000));
    std::vector<Command> generatorCommands;
    for (const auto& c : f.instrument->log.all())
        if (c.name.rfind("generator", 0) == 0) generatorCommands.push_back(c);
    EXPECT_EQ(generatorCommands, (std::vector<Command>{{"generatorFrequency", {1073741824}, {}},
                                                       {"generatorAmplitude", {32768}, {}},
                                                       {"generatorLevel", {98304}, {}}}));
}

} // namespace
} // namespace zs::test
