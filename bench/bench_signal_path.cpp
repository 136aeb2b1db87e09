// Raw-signal conversion: samples per second through processSignalBlock for each sample
// format (four channels, blocks of 1024 frames as an instrument sends them, into a ring of
// 131072 doubles), beside the bare decode-and-store of the same samples, so the cost of
// conditioning and filtering shows as the ratio.
#include "engine/signal_path.h"
#include "sim_signal.h"

#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

using zs::frame::DevStruct;
using zs::telemetry::DescriptionTable;
using zs::telemetry::SignalLayout;

constexpr uint32_t kChannels = 4;
constexpr uint32_t kFrames = 1024;

DescriptionTable table(uint32_t format) {
    DescriptionTable t;
    SignalLayout s;
    s.streamConfigHigh = s.streamConfigNormal = format << 4 | kChannels;
    s.initialFactor = 1.0;
    s.fallbackFactor = 1.0;
    s.rangeFactors = {1.0, 0.1, 0.01, 0.001};
    s.trailerWords = {0x201B0000, 0x201C0000, 0x20210000, 0x20250000,
                      0x40130000, 0x40140000, 0x50080000};
    t.signalLayouts[200] = s;
    return t;
}

std::vector<uint8_t> block(uint32_t format) {
    zs::sim::SignalModel m;
    m.deviceType = 200;
    m.channels = kChannels;
    m.format = format;
    m.framesPerBlock = kFrames;
    m.tones = {{1000.0, 4000.0, 0.0}, {5000.0, 1000.0, 0.0}};
    return zs::sim::SignalBlockSource(m).nextBlock();
}

void processSignalBlock(benchmark::State& state) {
    const auto format = static_cast<uint32_t>(state.range(0));
    const DescriptionTable t = table(format);
    const std::vector<uint8_t> b = block(format);
    std::vector<double> ring(131072);
    DevStruct d;
    zs::engine::bindSignalBuffer(d, ring.data(), static_cast<int32_t>(ring.size()));
    for (auto _ : state) {
        zs::engine::processSignalBlock(d, t, b);
        benchmark::DoNotOptimize(ring.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kFrames * kChannels);
}

// The reference: the same samples decoded and stored, with no trailer, filter or scaling.
void decodeOnly(benchmark::State& state) {
    const auto format = static_cast<uint32_t>(state.range(0));
    const std::vector<uint8_t> b = block(format);
    const uint32_t size = zs::engine::sampleSize(format);
    std::vector<double> ring(131072);
    size_t at = 0;
    for (auto _ : state) {
        for (uint32_t i = 0; i < kFrames * kChannels; ++i) {
            ring[at] = zs::engine::sampleValue(format, b.data() + i * size);
            if (++at == ring.size()) at = 0;
        }
        benchmark::DoNotOptimize(ring.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kFrames * kChannels);
}

BENCHMARK(processSignalBlock)->DenseRange(0, 4)->ArgName("format");
BENCHMARK(decodeOnly)->DenseRange(0, 4)->ArgName("format");

} // namespace

BENCHMARK_MAIN();
