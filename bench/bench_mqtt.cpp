// zsig watch --mqtt publishing four simulated instruments to a Mosquitto broker on loopback:
// at their line rate (messages a second delivered, zsig's CPU time per second of stream), and
// the burst of the spool's contents when the broker comes back after an outage.
#include "bench_main.h"
#include "broker_harness.h"

using namespace zs::mqtt::harness;

namespace {

const char* const kFourInstruments =
    "ZS_SIM_D2XX=TG000001A|Brevane DOUT20|family=tagged,rate=2304000,vin=0x31001,records=20;"
    "TG000002A|Brevane DOUT20|family=tagged,rate=2304000,vin=0x31002,records=20;"
    "SY000003B|QRNT|family=sync,rate=230400,streams,type=38,vin=0x31003;"
    "SY000004B|QRNT|family=sync,rate=230400,streams,type=38,vin=0x31004";
constexpr double kStreamSeconds = 5;
constexpr double kOutageSeconds = 8;

void BM_FourInstrumentsAtLineRate(benchmark::State& state) {
    const Scratch scratch("line");
    Broker broker(scratch.dir);
    broker.start();
    Subscriber sub(broker.port(), "zentrel/bench/#", nullptr, false);
    if (!sub.waitSubscribed()) return state.SkipWithError("subscriber not subscribed");
    double messages = 0, cpu = 0, seconds = 0;
    for (auto _ : state) {
        const size_t before = sub.recordCount();
        Zsig zsig(scratch.dir,
                  {"watch", "--mqtt", broker.url(), "--topic", "zentrel/bench", "--duration",
                   std::to_string(kStreamSeconds)},
                  {kFourInstruments});
        if (zsig.process->wait() != 0) return state.SkipWithError(zsig.stderrText().c_str());
        state.SetIterationTime(kStreamSeconds);
        messages += static_cast<double>(sub.recordCount() - before);
        cpu += zsig.process->cpuSeconds();
        seconds += kStreamSeconds;
    }
    state.counters["msgs_per_s"] = messages / seconds;
    // Includes the simulated instruments, which run inside zsig's process.
    state.counters["zsig_cpu_ms_per_s"] = 1000 * cpu / seconds;
}
BENCHMARK(BM_FourInstrumentsAtLineRate)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

void BM_SpoolBurstAfterOutage(benchmark::State& state) {
    const Scratch scratch("burst");
    Broker broker(scratch.dir);
    double messages = 0, burstSeconds = 0;
    for (auto _ : state) {
        broker.start();
        { // a session the broker keeps while it is away, so the burst reaches the subscriber
            Subscriber sub(broker.port(), "zentrel/burst/#");
            if (!sub.waitSubscribed()) return state.SkipWithError("subscriber not subscribed");
        }
        broker.stop();
        Zsig zsig(scratch.dir,
                  {"watch", "--mqtt", broker.url(), "--topic", "zentrel/burst", "--reconnect-max",
                   "0.25"},
                  {kFourInstruments});
        std::this_thread::sleep_for(std::chrono::duration<double>(kOutageSeconds));
        broker.start();
        Subscriber sub(broker.port(), "zentrel/burst/#");
        // Everything recorded during the outage comes first; the stream goes on behind it.
        zsig.process->signal(SIGINT);
        if (zsig.process->wait() != 0) return state.SkipWithError(zsig.stderrText().c_str());
        const std::string out = slurp(zsig.out);
        const size_t total = std::stoul(out.substr(out.rfind('\n', out.size() - 2) + 1));
        if (!eventually([&] { return sub.recordCount() >= total; }))
            return state.SkipWithError("records missing after the outage");
        std::vector<Clock::time_point> arrivals;
        for (const auto& m : sub.messages())
            if (m.topic.ends_with("/values")) arrivals.push_back(m.at);
        const double span =
            std::chrono::duration<double>(arrivals.back() - arrivals.front()).count();
        state.SetIterationTime(span);
        messages += static_cast<double>(arrivals.size());
        burstSeconds += span;
        broker.stop();
    }
    state.counters["msgs_per_s"] = messages / burstSeconds;
    state.counters["burst_msgs"] = messages / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SpoolBurstAfterOutage)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

int main(int argc, char** argv) {
    return zs::bench::runBenchmarks(argc, argv, {});
}
