// Throughput of the two packet parsers on a stream of back-to-back packets, fed in pieces
// the size of a typical device read. Reported as bytes per second (MB/s).
#include "transport/packet_process.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <vector>

namespace {

using zs::transport::CDinPacketProcess;
using zs::transport::CDoutPacketProcess;
using zs::transport::CPacketProcess;

std::vector<uint8_t> payload(size_t n) {
    std::vector<uint8_t> p(n);
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i * 37 + 11);
    return p;
}

void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

std::vector<uint8_t> taggedStream(uint8_t variant, size_t payloadSize, size_t total) {
    const auto p = payload(payloadSize);
    std::vector<uint8_t> out;
    while (out.size() < total) {
        const uint8_t sig[] = {'k', 'X', '-', 'w', 'a', 'v', 'e', variant};
        out.insert(out.end(), sig, sig + 8);
        put16(out, static_cast<uint32_t>(payloadSize));
        uint32_t s = 0;
        if (variant == '2') {
            for (size_t i = 0; i < payloadSize; i += 2) s += p[i] | p[i + 1] << 8;
            put16(out, s);
            out.insert(out.end(), p.begin(), p.end());
        } else if (variant == '3') {
            for (size_t i = 0; i < payloadSize; i += 4)
                s += p[i] | p[i + 1] << 8 | p[i + 2] << 16 | static_cast<uint32_t>(p[i + 3]) << 24;
            put16(out, (s >> 16) + (s & 0xFFFF));
            out.insert(out.end(), p.begin(), p.end());
        } else {
            for (uint8_t b : p) s += b;
            out.insert(out.end(), p.begin(), p.end());
            out.push_back(static_cast<uint8_t>(s));
        }
    }
    return out;
}

std::vector<uint8_t> syncStream(size_t payloadSize, size_t total) {
    const auto p = payload(payloadSize);
    std::vector<uint8_t> out;
    while (out.size() < total) {
        const uint8_t sync[] = {0x11, 0x22, 0x33, 0x44};
        out.insert(out.end(), sync, sync + 4);
        put16(out, static_cast<uint32_t>(payloadSize));
        uint32_t s = 0;
        for (size_t i = 0; i < payloadSize; i += 2) s += p[i] | p[i + 1] << 8;
        out.insert(out.end(), p.begin(), p.end());
        put16(out, s);
    }
    return out;
}

constexpr size_t kStream = 4 << 20;
constexpr uint32_t kRead = 4096;

void run(benchmark::State& state, CPacketProcess& parser, const std::vector<uint8_t>& stream) {
    size_t packets = 0;
    for (auto _ : state) {
        for (size_t at = 0; at < stream.size(); at += kRead) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(kRead, stream.size() - at));
            uint32_t pos = 0;
            while (parser.process(stream.data() + at, n, pos)) {
                benchmark::DoNotOptimize(parser.payload()[0]);
                ++packets;
            }
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.counters["packets/s"] =
        benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
}

void BM_TaggedForm1(benchmark::State& state) {
    const auto stream = taggedStream('1', static_cast<size_t>(state.range(0)), kStream);
    CDoutPacketProcess parser(10240);
    run(state, parser, stream);
}
void BM_TaggedVariant2(benchmark::State& state) {
    const auto stream = taggedStream('2', static_cast<size_t>(state.range(0)), kStream);
    CDoutPacketProcess parser(10240);
    run(state, parser, stream);
}
void BM_TaggedVariant3(benchmark::State& state) {
    const auto stream = taggedStream('3', static_cast<size_t>(state.range(0)), kStream);
    CDoutPacketProcess parser(10240);
    run(state, parser, stream);
}
void BM_Sync(benchmark::State& state) {
    const auto stream = syncStream(static_cast<size_t>(state.range(0)), kStream);
    CDinPacketProcess parser(10240);
    run(state, parser, stream);
}
// No frame at all: the cost of searching for a signature.
void BM_TaggedNoise(benchmark::State& state) {
    const auto stream = payload(kStream);
    CDoutPacketProcess parser(10240);
    run(state, parser, stream);
}

BENCHMARK(BM_TaggedForm1)->Arg(16)->Arg(512)->Arg(4096);
BENCHMARK(BM_TaggedVariant2)->Arg(16)->Arg(512)->Arg(4096);
BENCHMARK(BM_TaggedVariant3)->Arg(16)->Arg(512)->Arg(4096);
BENCHMARK(BM_Sync)->Arg(16)->Arg(512)->Arg(4096);
BENCHMARK(BM_TaggedNoise);

} // namespace

BENCHMARK_MAIN();
