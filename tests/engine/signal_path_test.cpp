#include "engine/signal_path.h"
#include "sim_signal.h"

#include <atomic>
#include <cmath>
#include <gtest/gtest.h>
#include <numbers>
#include <thread>
#include <vector>

namespace zs::test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr double kB0 = 0.9996298282940682;
constexpr uint16_t kTwoChannelType = 200;
// Trailer: type, program, range, sequence, overflow, underrange (2 bytes each), seconds (4).
const std::vector<uint32_t> kTrailer = {0x201B0000, 0x201C0000, 0x20210000, 0x20250000,
                                        0x40130000, 0x40140000, 0x50080000};

telemetry::SignalLayout layout(uint32_t streamConfig) {
    telemetry::SignalLayout s;
    s.samplingRateHigh = 51200.0;
    s.samplingRateNormal = 25600.0;
    s.streamConfigHigh = s.streamConfigNormal = streamConfig;
    s.unitText = {u'P', u'a'};
    s.fallbackFactor = 0.5;
    s.initialFactor = 2.0;
    s.rangeFactors = {1.0, 0.1, 0.01, 0.001};
    s.trailerWords = kTrailer;
    return s;
}

// Types 210..214: one channel in sample format 0..4.
telemetry::DescriptionTable table() {
    telemetry::DescriptionTable t;
    t.signalLayouts[kTwoChannelType] = layout(0x02);
    for (uint32_t f = 0; f < 5; ++f) t.signalLayouts[210 + f] = layout(f << 4 | 1);
    t.signalLayouts[220] = layout(0x71); // a format without samples
    return t;
}

// The trailer's range item 2 selects the first range (factor 1).
Bytes block(Bytes samples, uint16_t type, uint16_t range = 2) {
    for (uint16_t w : {type, uint16_t(77), range, uint16_t(1), uint16_t(0), uint16_t(0),
                       uint16_t(5), uint16_t(0)}) {
        samples.push_back(static_cast<uint8_t>(w));
        samples.push_back(static_cast<uint8_t>(w >> 8));
    }
    return samples;
}

Bytes words(std::initializer_list<int16_t> values) {
    Bytes b;
    for (int16_t v : values) {
        b.push_back(static_cast<uint8_t>(v));
        b.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
    }
    return b;
}

class SignalPath : public ::testing::Test {
  protected:
    SignalPath() {
        d.dataLock = std::make_unique<std::mutex>();
        d.settleCount = engine::kSettleFrames; // fade-in over
    }
    void process(const Bytes& b) { engine::processSignalBlock(d, t, b); }
    void unity() {
        for (int c = 0; c < 8; ++c) d.channelGain[c] = d.channelFactor[c] = d.channelScale[c] = 1;
    }

    telemetry::DescriptionTable t = table();
    frame::DevStruct d;
};

TEST(SignalHelpers, FadeInWeights) {
    EXPECT_EQ(engine::fadeIn(0), 0.0);
    EXPECT_NEAR(engine::fadeIn(250), 1.0 - std::cos(std::numbers::pi / 4), 1e-15);
    EXPECT_NEAR(engine::fadeIn(499), 0.9969, 1e-4);
}

TEST(SignalHelpers, RoundSignificant5) {
    const struct {
        double in, out;
    } cases[] = {{123456.7, 123460.0}, {0.000123456789, 0.00012346}, {1.0, 1.0},
                 {99999.5, 100000.0},  {-123456.7, -123456.7},       {0.0, 0.0}};
    for (const auto& c : cases) {
        double v = c.in;
        engine::roundSignificant5(v);
        EXPECT_NEAR(v, c.out, std::abs(c.out) * 1e-15) << c.in;
    }
}

TEST(SignalHelpers, SampleFormats) {
    const struct {
        uint32_t format;
        Bytes bytes;
        int32_t value;
    } cases[] = {
        {0, {0xFF, 0x7F}, 32767},
        {0, {0x00, 0x80}, -32768},
        {1, {0x80, 0x00, 0x00}, 128},
        {1, {0xFF, 0xFF, 0xFF}, -1},
        {1, {0x00, 0x00, 0x80}, -8388608},
        {2, {0xFF, 0xFF, 0xFF, 0x7F}, INT32_MAX},
        {2, {0x00, 0x00, 0x00, 0x80}, INT32_MIN},
        {3, {0x80, 0x00, 0x00}, -128},
        {3, {0xFF, 0xFF, 0xFF}, -257},
        {4, {0x01, 0x00}, 128},
        {4, {0xFF, 0xFF}, -128},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(engine::sampleSize(c.format), c.bytes.size());
        EXPECT_EQ(engine::sampleValue(c.format, c.bytes.data()), c.value) << c.format;
    }
    for (uint32_t f = 5; f < 16; ++f) EXPECT_EQ(engine::sampleSize(f), 0u);
}

TEST_F(SignalPath, FilterFirstOutputAndDecay) {
    unity();
    uint32_t channel = 0;
    // The decimal product, to the last place a double resolves.
    EXPECT_DOUBLE_EQ(engine::highPassSample(d, 1000.0, channel, 1), 999.6298282940682);
    EXPECT_EQ(channel, 0u);
    double y = 0;
    for (int i = 0; i < 100000; ++i) y = engine::highPassSample(d, 1000.0, channel, 1);
    EXPECT_LT(std::abs(y), 1.0); // the constant is removed
}

TEST_F(SignalPath, FadeInAppliesToFramesNotSamples) {
    unity();
    d.settleCount = 0;
    uint32_t channel = 0;
    EXPECT_EQ(engine::highPassSample(d, 1000.0, channel, 2), 0.0);
    EXPECT_EQ(channel, 1u);
    EXPECT_EQ(d.settleCount, 0u); // the frame is not over yet
    EXPECT_EQ(engine::highPassSample(d, 1000.0, channel, 2), 0.0);
    EXPECT_EQ(channel, 0u);
    EXPECT_EQ(d.settleCount, 1u);

    frame::DevStruct fresh;
    fresh.settleCount = 250;
    for (int c = 0; c < 8; ++c)
        fresh.channelGain[c] = fresh.channelFactor[c] = fresh.channelScale[c] = 1;
    EXPECT_EQ(engine::highPassSample(fresh, 1000.0, channel, 1),
              kB0 * (engine::fadeIn(250) * 1000.0));
    fresh.settleCount = 499;
    engine::highPassSample(fresh, 0.0, channel, 1);
    engine::highPassSample(fresh, 0.0, channel, 1);
    EXPECT_EQ(fresh.settleCount, 500u); // and stays there
}

TEST_F(SignalPath, EverySampleFormatReachesTheRing) {
    const double values[5] = {-12345, 1000000, -100000000, -1000000, -12800};
    for (uint32_t f = 0; f < 5; ++f) {
        frame::DevStruct r;
        r.settleCount = engine::kSettleFrames;
        double ring[4] = {};
        engine::bindSignalBuffer(r, ring, 4);
        Bytes samples;
        sim::appendSample(samples, f, values[f]);
        engine::processSignalBlock(r, t, block(samples, static_cast<uint16_t>(210 + f)));
        // Gain and factor 1, the layout's initial scale 2.
        EXPECT_EQ(ring[0], kB0 * values[f] * 2.0) << "format " << f;
        EXPECT_EQ(r.signalWritePtr.load(), ring + 1);
    }
}

TEST_F(SignalPath, TwoChannelBlocksStartAtChannelZero) {
    d.rows[0].factor500D = 1.0;
    d.rows[1].factor500D = 10.0;
    double ring[16] = {};
    engine::bindSignalBuffer(d, ring, 16);
    process(block(words({1, 2, 3, 4, 5}), kTwoChannelType));
    EXPECT_EQ(d.signalWritePtr.load(), ring + 5);
    EXPECT_EQ(d.filterX1[0], 5.0);
    EXPECT_EQ(d.filterX2[0], 3.0);
    EXPECT_EQ(d.filterX1[1], 40.0);
    EXPECT_EQ(d.filterX2[1], 20.0);
    process(block(words({7, 8}), kTwoChannelType));
    EXPECT_EQ(d.filterX1[0], 7.0);
    EXPECT_EQ(d.filterX1[1], 80.0);
    EXPECT_EQ(d.signalWritePtr.load(), ring + 7);
    // Scale: the layout's initial factor 2; the first output of channel 0 is b0 * 1 * 2.
    EXPECT_EQ(ring[0], kB0 * 2.0);
}

TEST_F(SignalPath, ConditioningFromRowsRangeAndLayout) {
    d.state.deviceType = kTwoChannelType;
    d.state.streamConfig = 0x02;
    const struct {
        uint16_t rangeWord;
        double gain;
    } ranges[] = {{0, 1.0}, {2, 0.01}, {3, 0.001}, {0x3FFF, 1.0}, {4, 1.0}};
    for (const auto& r : ranges) {
        d.state.rangeWord = r.rangeWord;
        engine::conditionChannels(d, t);
        EXPECT_EQ(d.channelGain[0], r.gain) << r.rangeWord;
        EXPECT_EQ(d.channelGain[7], r.gain) << r.rangeWord;
    }

    d.rows[0].factor500D = 3.5;
    d.rows[0].correction = 1.236;
    d.rows[1].correctionFactor = 0.75;
    d.rows[1].inverseSensitivity = 0.000123456789;
    d.rows[1].kBaseCopy = 2e-5;
    d.rows[4].correction = 6.0; // beyond the two channels: no correction
    engine::conditionChannels(d, t);
    EXPECT_EQ(d.channelGain[0], 3.5);
    EXPECT_EQ(d.channelCorrection[0], 1.24);
    EXPECT_DOUBLE_EQ(d.channelFactor[0], std::pow(10.0, 1.24 / -20.0));
    EXPECT_EQ(d.channelScale[0], 2.0);
    EXPECT_DOUBLE_EQ(d.baseLevel[0], 0.5);
    EXPECT_EQ(d.channelFactor[1], 0.75);
    EXPECT_NEAR(d.channelScale[1], 0.00012346, 1e-19);
    EXPECT_DOUBLE_EQ(d.baseLevel[1], 2e-5);
    EXPECT_EQ(d.channelCorrection[4], 0.0);
    EXPECT_EQ(d.channelFactor[4], 1.0);
    EXPECT_EQ(d.channelScale[4], 1.0);
    EXPECT_EQ(d.baseLevel[4], 1.0);
    EXPECT_EQ(d.channelUnits[4][0], u'P');
}

TEST_F(SignalPath, RangeFieldOfTheTrailerSelectsTheRangeFactor) {
    double ring[4] = {};
    engine::bindSignalBuffer(d, ring, 4);
    process(block(words({100}), kTwoChannelType, 0)); // trailer 0 is the third range
    EXPECT_EQ(d.state.rangeWord & 0xF, 2);
    EXPECT_EQ(d.channelGain[0], 0.01);
    EXPECT_EQ(d.channelGain[1], 0.01);
    EXPECT_EQ(ring[0], kB0 * (100 * 0.01) * 2.0);
}

TEST_F(SignalPath, NothingIsWrittenWithoutABuffer) {
    process(block(words({1, 2, 3}), kTwoChannelType));
    EXPECT_EQ(d.signalWritePtr.load(), nullptr);
    double ring[4] = {9, 9, 9, 9};
    engine::bindSignalBuffer(d, ring, 0);
    process(block(words({1, 2, 3}), kTwoChannelType));
    EXPECT_EQ(d.signalWritePtr.load(), ring);
    EXPECT_EQ(ring[0], 9.0);
}

TEST_F(SignalPath, RingWrapsAndPointerFollows) {
    const Bytes b = block(words({1, 2, 3, 4, 5}), kTwoChannelType);
    double ring[3] = {};
    engine::bindSignalBuffer(d, ring, 3);
    process(b);
    EXPECT_EQ(d.signalWritePtr.load(), ring + 2);

    frame::DevStruct wide;
    wide.settleCount = engine::kSettleFrames;
    double all[8] = {};
    engine::bindSignalBuffer(wide, all, 8);
    engine::processSignalBlock(wide, t, b);
    EXPECT_EQ(ring[0], all[3]);
    EXPECT_EQ(ring[1], all[4]);
    EXPECT_EQ(ring[2], all[2]);
}

TEST_F(SignalPath, BlocksTooShortForTheirTrailerAreDropped) {
    double ring[4] = {};
    engine::bindSignalBuffer(d, ring, 4);
    d.state.streamConfig = 0x55;
    process(Bytes(16, 0)); // no longer than the shortest block
    EXPECT_EQ(d.state.streamConfig, 0x55u);
    t.signalLayouts[kTwoChannelType].trailerWords.push_back(0x20220000); // 18 bytes
    process(block(words({}), kTwoChannelType));                          // 16 + 0 bytes
    process(block(words({1}), kTwoChannelType));                         // 18 bytes
    EXPECT_EQ(d.state.streamConfig, 0x55u);
    EXPECT_EQ(d.signalWritePtr.load(), ring);
    process(block(words({1, 2}), kTwoChannelType)); // 20: the trailer fits
    EXPECT_EQ(d.state.streamConfig, 0x02u);
}

TEST_F(SignalPath, FormatWithoutSamplesStillDecodesTheTrailer) {
    double ring[4] = {7, 7, 7, 7};
    engine::bindSignalBuffer(d, ring, 4);
    process(block(words({1, 2, 3, 4}), 220, 1)); // trailer 1 is the second range
    EXPECT_EQ(d.state.streamConfig, 0x71u);
    EXPECT_EQ(d.state.rangeWord & 0xF, 1);
    EXPECT_EQ(ring[0], 7.0);
    EXPECT_EQ(d.signalWritePtr.load(), ring);
}

// The host may rebind while the thread converts: every sample lands in the old or the new
// buffer, never beyond either.
TEST_F(SignalPath, RebindingWhileConvertingStaysInsideTheBuffers) {
    constexpr size_t kLength = 37, kGuard = 64;
    std::vector<double> a(kLength + 2 * kGuard, -1.0), b(kLength + 2 * kGuard, -1.0);
    engine::bindSignalBuffer(d, a.data() + kGuard, kLength);
    Bytes samples;
    for (int i = 0; i < 500; ++i) sim::appendSample(samples, 0, 100 + i);
    const Bytes blk = block(samples, kTwoChannelType);
    std::atomic<bool> done{false};
    std::thread io([&] {
        for (int i = 0; i < 400; ++i) process(blk);
        done = true;
    });
    for (int i = 0; !done; ++i) {
        auto& target = i % 2 ? a : b;
        engine::bindSignalBuffer(d, target.data() + kGuard, i % 2 ? kLength : kLength - 5);
    }
    io.join();
    for (auto* v : {&a, &b})
        for (size_t i = 0; i < kGuard; ++i) {
            EXPECT_EQ((*v)[i], -1.0);
            EXPECT_EQ((*v)[kGuard + kLength + i], -1.0);
        }
    EXPECT_EQ(b[kGuard + kLength - 1], -1.0); // b was always bound five short
}

} // namespace
} // namespace zs::test
