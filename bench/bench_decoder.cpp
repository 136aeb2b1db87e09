// The record decoder on every layout of the reference description, in items (descriptor
// words) per second.
#include "bench_main.h"
#include "frame/library.h"
#include "record_encoder.h"
#include "telemetry/data_processor.h"
#include "telemetry/record_decoder.h"

#include <cmath>
#include <string>
#include <vector>

namespace {

struct Sample {
    uint16_t type;
    zs::telemetry::CDataProcessor processor;
    std::vector<uint8_t> record;
};

// One record per layout, with values in every item, decoded into its shaped tables.
std::vector<Sample>& samples() {
    static std::vector<Sample> all = [] {
        std::vector<Sample> out;
        zs::frame::libraryLoad(); // reads TeleDescFile.bin beside the benchmark
        if (!zs::frame::libraryLoaded()) return out;
        const auto& table = zs::frame::lib().description;
        for (const auto& [type, layout] : table.layouts) {
            Sample s;
            s.type = static_cast<uint16_t>(type);
            s.processor.state.deviceType = s.type;
            if (!s.processor.selectLayout(table) || layout.words.empty()) continue;
            zs::sim::RecordContent content;
            content.deviceType = s.type;
            content.value = [](int channel, int set, int index, int column) {
                return 40.0 + channel + set + 0.25 * index + 0.125 * column;
            };
            content.bandFrequency = [](int, int column) {
                return 31.5 * std::pow(2.0, column / 3.0);
            };
            content.coefficient = [](uint32_t, int) { return 65536; };
            s.record =
                zs::sim::encodeRecord(layout.words, layout.wideColumns, content, layout.recordSize);
            out.push_back(std::move(s));
        }
        zs::frame::libraryUnload();
        return out;
    }();
    return all;
}

} // namespace

static void BM_DecodeRecord(benchmark::State& state) {
    auto& all = samples();
    const auto index = static_cast<size_t>(state.range(0));
    if (index >= all.size()) {
        state.SkipWithError("no such layout (TeleDescFile.bin missing?)");
        return;
    }
    Sample& s = all[index];
    const auto& words = s.processor.layout.words;
    for (auto _ : state) {
        benchmark::DoNotOptimize(zs::telemetry::decodeRecord(
            s.record, s.processor.rows, s.processor.state, words, s.processor.layout.sensorCount,
            s.processor.layout.wideColumns));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(words.size()));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(s.record.size()));
    state.SetLabel("type " + std::to_string(s.type) + ", " + std::to_string(words.size()) +
                   " items");
}

// All layouts together: the figure the target applies to.
static void BM_DecodeAllLayouts(benchmark::State& state) {
    auto& all = samples();
    if (all.empty()) {
        state.SkipWithError("no layouts (TeleDescFile.bin missing?)");
        return;
    }
    int64_t items = 0;
    for (auto _ : state) {
        for (Sample& s : all) {
            const auto& l = s.processor.layout;
            benchmark::DoNotOptimize(zs::telemetry::decodeRecord(s.record, s.processor.rows,
                                                                 s.processor.state, l.words,
                                                                 l.sensorCount, l.wideColumns));
            items += static_cast<int64_t>(l.words.size());
        }
    }
    state.SetItemsProcessed(items);
}
BENCHMARK(BM_DecodeAllLayouts);

int main(int argc, char** argv) {
    for (size_t i = 0; i < samples().size(); ++i)
        benchmark::RegisterBenchmark("BM_DecodeRecord", BM_DecodeRecord)
            ->Arg(static_cast<int64_t>(i));
    using zs::bench::Comparison;
    return zs::bench::runBenchmarks(argc, argv,
                                    {{"BM_DecodeAllLayouts", "", Comparison::TimeAtMost, 50e6}});
}
