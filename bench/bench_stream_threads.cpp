// A simulated FTDI and a simulated TCP instrument streaming measurement records at their
// line rate (2304000 bit/s) into an I/O thread: records decoded per second against the
// records the line carries, and the I/O thread's CPU time per second of stream against the
// CPU time of decoding the same records alone.
#include "description_json.h"
#include "engine/io_threads.h"
#include "frame/library.h"
#include "platform/clock.h"
#include "platform/sockets.h"
#include "sim_d2xx.h"
#include "stream_instruments.h"
#include "telemetry/record_decoder.h"
#include "transport/d2xx.h"
#include "zentrel_signal.h"

#include <benchmark/benchmark.h>
#include <fstream>
#include <nlohmann/json.hpp>

namespace {

using namespace zs;

constexpr double kLineBitsPerSecond = 2304000;
constexpr uint32_t kStreamMs = 3000;
constexpr uint16_t kType = 28, kProgram = 40;

const zsdesc::Layout& layout() {
    static const zsdesc::Description description = [] {
        std::ifstream in(ZS_REFERENCE_SOURCE);
        return zsdesc::descriptionFromJson(nlohmann::json::parse(in));
    }();
    for (const auto& l : description.layouts)
        if (l.typeCode == kType) return l;
    throw std::runtime_error("no layout");
}

// Records per second a line carries: ten bits a byte, the record in its tagged frame.
double lineRecordsPerSecond() {
    static const double rate = [] {
        sim::StreamSource s(layout(), {kType, kProgram, 1}, 0);
        const size_t frame = sim::frameRecord(sim::Framing::Tagged, s.record(0)).size();
        return kLineBitsPerSecond / 10.0 / static_cast<double>(frame);
    }();
    return rate;
}

sim::StreamSource lineRateSource() {
    sim::StreamSource s(layout(), {kType, kProgram, 0x00031001}, lineRecordsPerSecond());
    s.precompute(64);
    return s;
}

std::shared_ptr<frame::DevStruct> newRecord(transport::LinkKind linkKind) {
    auto d = std::make_shared<frame::DevStruct>();
    d->linkKind = linkKind;
    d->state.deviceType = kType;
    d->state.programNumber = kProgram;
    d->selectLayout(frame::lib().description);
    return d;
}

// Streams for kStreamMs once the thread runs, then reports records decoded per second and
// the thread's CPU time per second of stream.
void measure(benchmark::State& state, const std::shared_ptr<frame::DevStruct>& d,
             sim::StreamState& instrument, const std::function<void()>& drain) {
    engine::startIoThreads();
    // Past the first read (dropped) and into the steady stream.
    while (instrument.recordsSent() < 5) platform::sleepMs(5);
    platform::sleepMs(300);
    const uint64_t sent0 = instrument.recordsSent();
    const double cpu0 = d->ioThread->cpuSeconds();
    const uint32_t t0 = platform::tickMs();
    platform::sleepMs(kStreamMs);
    const uint64_t sent1 = instrument.recordsSent();
    const double cpu1 = d->ioThread->cpuSeconds();
    const double seconds = (platform::tickMs() - t0) / 1000.0;
    instrument.stopStreaming();
    drain();
    platform::sleepMs(300); // the thread takes what is still on the way
    const bool online = d->online.load() == 1;
    engine::stopIoThread(*d);
    if (!online) state.SkipWithError("the device did not stay online");
    state.SetIterationTime(seconds);
    state.counters["records_per_s"] = static_cast<double>(sent1 - sent0) / seconds;
    state.counters["line_records_per_s"] = lineRecordsPerSecond();
    state.counters["io_cpu_ms_per_s"] = (cpu1 - cpu0) * 1000.0 / seconds;
}

void BM_FtdiStreamAtLineRate(benchmark::State& state) {
    sim::SimD2xx::instance().reset();
    transport::installD2xxForTests(&sim::SimD2xx::table());
    frame::libraryLoad();
    for (auto _ : state) {
        auto& device = sim::SimD2xx::instance().addDevice("ZSBENCH1", "Simulated analyser");
        auto instrument =
            sim::FtdiStreamInstrument::attach(device, lineRateSource(), sim::Framing::Tagged);
        auto d = newRecord(transport::LinkKind::FtdiDirect);
        d->ftdiHandle = transport::d2xx().open("ZSBENCH1", 0xC0000000, 0, nullptr, 3,
                                               transport::kD2xxOpenFlags, nullptr);
        frame::lib().devices.push_back(d);
        measure(state, d, *instrument, [] {});
        frame::lib().devices.clear();
    }
    frame::libraryUnload();
    transport::installD2xxForTests(nullptr);
    sim::SimD2xx::instance().reset();
}
BENCHMARK(BM_FtdiStreamAtLineRate)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_TcpStreamAtLineRate(benchmark::State& state) {
    frame::libraryLoad();
    for (auto _ : state) {
        sim::TcpStreamInstrument instrument(lineRateSource(), sim::Framing::Tagged);
        auto d = newRecord(transport::LinkKind::TcpChannel0);
        d->tcpSocket = platform::openTcpSocket();
        if (!platform::connectSocket(d->tcpSocket, {platform::kLoopbackAddress, instrument.port()},
                                     5000)) {
            state.SkipWithError("no loopback connection");
            break;
        }
        frame::lib().devices.push_back(d);
        measure(state, d, instrument, [] {});
        frame::lib().devices.clear();
    }
    frame::libraryUnload();
}
BENCHMARK(BM_TcpStreamAtLineRate)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The reference: the decoder alone on the same records, CPU time per second of stream at
// the line rate (records per second times the time one decode takes).
void BM_DecodeOnlyAtLineRate(benchmark::State& state) {
    frame::libraryLoad();
    auto d = newRecord(transport::LinkKind::FtdiDirect);
    const auto source = lineRateSource();
    std::vector<std::vector<uint8_t>> records;
    for (int n = 0; n < 64; ++n) records.push_back(source.record(static_cast<uint64_t>(n)));
    size_t n = 0;
    for (auto _ : state) {
        const auto& r = records[n++ % records.size()];
        telemetry::decodeCheckedByDevice(r, d->rows, d->state, d->layout);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["io_cpu_ms_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations()) / (lineRecordsPerSecond() * 1000.0),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    frame::libraryUnload();
}
BENCHMARK(BM_DecodeOnlyAtLineRate);

} // namespace

BENCHMARK_MAIN();
