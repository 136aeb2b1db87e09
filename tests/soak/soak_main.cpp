// zs_soak: four simulated instruments on four links stream for minutes or hours while a host
// sends each a command every second, reconnects one of them every minute (in turn, fully and
// softly) and exports a recorded file on another thread. It prints resident memory, threads
// and open descriptors as it goes, then frees the list, unloads the library and checks that
// nothing was left behind and every command reached its instrument.
#include "file_export.h"
#include "frame/library.h"
#include "process_usage.h"
#include "soak_instruments.h"
#include "zentrel_signal.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace zs;
using namespace zs::soak;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kSeenWithinMs = 3000; // a command's time to reach its instrument
constexpr uint32_t kStreamBackWithinMs = 5000;
constexpr int64_t kStallMs = 5000; // no record for this long: the device stopped streaming

struct Options {
    uint64_t seconds = 3600;
    uint32_t reconnectEvery = 60;
    uint32_t sampleEvery = 60;
    int64_t warmup = -1; // seconds; -1: chosen from the run's length
    uint64_t toleranceKb = 1024;
};

const char* const kUsage =
    "usage: zs_soak [--minutes N | --seconds N] [--reconnect-every S] [--sample-every S]\n"
    "               [--warmup S] [--rss-tolerance-kb K]\n"
    "Run from the folder of TeleDescFile.bin (the build's bin folder).\n";

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return false;
        char* end = nullptr;
        const long long v = std::strtoll(argv[++i], &end, 10);
        if (*end != '\0' || v < 0) return false;
        if (a == "--minutes")
            o.seconds = static_cast<uint64_t>(v) * 60;
        else if (a == "--seconds")
            o.seconds = static_cast<uint64_t>(v);
        else if (a == "--reconnect-every" && v > 0)
            o.reconnectEvery = static_cast<uint32_t>(v);
        else if (a == "--sample-every" && v > 0)
            o.sampleEvery = static_cast<uint32_t>(v);
        else if (a == "--warmup")
            o.warmup = v;
        else if (a == "--rss-tolerance-kb")
            o.toleranceKb = static_cast<uint64_t>(v);
        else
            return false;
    }
    return o.seconds > 0;
}

// The commands sent in turn, with the name the instrument's log gives each over a byte
// stream (FTDI, TCP) and in frames (WinUSB, UDP), and the first value it must carry (none:
// not checked). The date and time has no datagram form. Every instrument here runs a
// program from 28 on, whose two-byte range code is 2 - r (3 kept).
struct CommandKind {
    const char* bytesName;
    const char* framesName;
    void (*send)(int32_t position, uint64_t tick);
    int64_t (*value)(uint64_t tick, bool bytes);
    bool datagram = true;
};
int64_t flagOf(uint64_t tick, bool) {
    return int64_t(tick % 2);
}
const CommandKind kCommands[] = {
    {"rangeByte", "range", [](int32_t p, uint64_t t) { K427_SendRangeCmd(p, int32_t(t % 4)); },
     [](uint64_t t, bool bytes) { return int64_t(bytes && t % 4 != 3 ? 2 - t % 4 : t % 4); }},
    {"polarity", "polarity", [](int32_t p, uint64_t t) { K427_SendPolCmd(p, int32_t(t % 2)); },
     flagOf},
    {"icpMode", "icpMode", [](int32_t p, uint64_t t) { K427_SendIcpModeCmd(p, int32_t(t % 2)); },
     flagOf},
    {"zeroChannelMode", "zeroChannelMode",
     [](int32_t p, uint64_t t) { K427_SendZChModeCmd(p, int32_t(t % 2)); }, flagOf},
    {"start", "start", [](int32_t p, uint64_t) { K427_SendStartCmd(p); }, nullptr},
    {"stop", "stop", [](int32_t p, uint64_t) { K427_SendStopCmd(p); }, nullptr},
    {"dateTime", "dateTime", [](int32_t p, uint64_t) { K427_SetDateTime(p); }, nullptr, false},
};
constexpr size_t kCommandKinds = std::size(kCommands);

// Ends the process when the host's thread makes no progress for `limit`: an export that never
// returns is a hang the report could otherwise never show.
class Watchdog {
  public:
    explicit Watchdog(std::chrono::seconds limit) : limit_(limit) {
        progress("starting");
        thread_ = std::thread([this] { run(); });
    }
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    // The host's thread is about to do `what`.
    void progress(const char* what) {
        std::lock_guard lock(mutex_);
        doing_ = what;
        since_ = Clock::now();
    }

  private:
    void run() {
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::seconds(1), [&] { return stopping_; })) {
            if (Clock::now() - since_ < limit_) continue;
            std::printf("hang: %s has not returned after %lld s\nsoak FAILED\n", doing_,
                        static_cast<long long>(limit_.count()));
            std::fflush(stdout);
            std::_Exit(3);
        }
    }
    const std::chrono::seconds limit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    const char* doing_ = "";
    Clock::time_point since_;
    std::thread thread_;
};

struct Tally {
    uint64_t sent = 0, seen = 0;
    uint32_t reconnects = 0, reconnectsFailed = 0, streamNotBack = 0, stalls = 0;
    int64_t longestReconnectMs = 0;
    Clock::time_point lastRecord;
    bool stalled = false;
};

int64_t msSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

struct Sample {
    uint64_t second;
    Usage usage;
};

void printSample(const Sample& s, const std::vector<Tally>& tallies, uint64_t exports) {
    uint64_t sent = 0, seen = 0, reconnects = 0;
    for (const auto& t : tallies) {
        sent += t.sent;
        seen += t.seen;
        reconnects += t.reconnects;
    }
    std::printf("%8llu %10llu %8u %5u %10llu %10llu %10llu %8llu\n",
                static_cast<unsigned long long>(s.second),
                static_cast<unsigned long long>(s.usage.rssKb), s.usage.threads, s.usage.fds,
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(seen),
                static_cast<unsigned long long>(reconnects),
                static_cast<unsigned long long>(exports));
    std::fflush(stdout);
}

// Sends the tick's command to an instrument and waits for its log to show it.
void command(Instrument& in, Tally& tally, uint64_t tick, Watchdog& watchdog) {
    using Carrier = Instrument::Carrier;
    uint64_t kind = tick + static_cast<uint64_t>(in.position);
    while (in.carrier == Carrier::Datagrams && !kCommands[kind % kCommandKinds].datagram) ++kind;
    const CommandKind& c = kCommands[kind % kCommandKinds];
    const std::string name = in.carrier == Carrier::Bytes ? c.bytesName : c.framesName;
    const size_t before = in.stream->log.named(name).size();
    watchdog.progress("a command export");
    c.send(in.position, tick);
    ++tally.sent;
    const auto got = in.stream->log.waitFor(name, kSeenWithinMs, before);
    const bool bytes = in.carrier == Carrier::Bytes;
    if (!got) {
        std::printf("second %llu: %s did not see %s\n", static_cast<unsigned long long>(tick),
                    in.link.c_str(), name.c_str());
    } else if (c.value && (got->values.empty() || got->values[0] != c.value(tick, bytes))) {
        std::printf("second %llu: %s saw %s with %lld, not %lld\n",
                    static_cast<unsigned long long>(tick), in.link.c_str(), name.c_str(),
                    got->values.empty() ? -1LL : static_cast<long long>(got->values[0]),
                    static_cast<long long>(c.value(tick, bytes)));
    } else {
        ++tally.seen;
    }
}

// A full reconnect or, keeping the USB handle, a soft one.
void reconnect(Instrument& in, Tally& tally, uint64_t tick, bool soft, Watchdog& watchdog) {
    const char* name = soft ? "K427_ReconnectDeviceSoft" : "K427_ReconnectDevice";
    watchdog.progress(name);
    const auto start = Clock::now();
    const int32_t result =
        soft ? K427_ReconnectDeviceSoft(in.position) : K427_ReconnectDevice(in.position);
    tally.longestReconnectMs = std::max(tally.longestReconnectMs, msSince(start));
    ++tally.reconnects;
    if (result != 1) {
        ++tally.reconnectsFailed;
        std::printf("second %llu: %s(%d) of %s gave %d\n", static_cast<unsigned long long>(tick),
                    name, in.position, in.link.c_str(), result);
        return;
    }
    if (K427_WaitForTelePacket(in.position, kStreamBackWithinMs) != 1) {
        ++tally.streamNotBack;
        std::printf("second %llu: %s streamed nothing within %u ms of its reconnect\n",
                    static_cast<unsigned long long>(tick), in.link.c_str(), kStreamBackWithinMs);
    }
    tally.lastRecord = Clock::now();
}

// Records keep arriving: a new one since the last look, or not for too long.
void watchStream(Instrument& in, Tally& tally, uint64_t tick) {
    if (K427_WaitForTelePacket(in.position, 0) == 1) {
        tally.lastRecord = Clock::now();
        tally.stalled = false;
        // Read a value as a host's display would.
        (void)K427_GetData(in.position, 0, 0, 0, 1);
        return;
    }
    if (!tally.stalled && msSince(tally.lastRecord) > kStallMs) {
        tally.stalled = true;
        ++tally.stalls;
        std::printf("second %llu: %s has delivered no record for %lld ms\n",
                    static_cast<unsigned long long>(tick), in.link.c_str(),
                    static_cast<long long>(msSince(tally.lastRecord)));
    }
}

// Threads and descriptors of the simulators and the library may take a moment to go once
// joined and closed; waits for them, bounded.
Usage settledUsage(const Usage& baseline) {
    Usage u = usageNow();
    for (int i = 0; i < 100 && (u.threads > baseline.threads || u.fds > baseline.fds); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        u = usageNow();
    }
    return u;
}

struct Results {
    std::vector<Sample> samples;
    std::vector<Tally> tallies;
    ExportLoop::Counts exported;
};

// The soak itself, on listed instruments; frees the list at the end.
void runSoak(std::vector<Instrument>& all, SoakInstruments& instruments, const Options& o,
             const std::filesystem::path& exportPath, Results& r) {
    std::printf("%8s %10s %8s %5s %10s %10s %10s %8s\n", "second", "RSS kB", "threads", "fds",
                "commands", "seen", "reconnects", "exports");
    Watchdog watchdog(std::chrono::seconds(60));
    ExportLoop exporter("samples/sample-current.bin", exportPath, 200);
    const auto start = Clock::now();
    size_t nextReconnect = 0;
    for (uint64_t tick = 1; tick <= o.seconds; ++tick) {
        std::this_thread::sleep_until(start + std::chrono::seconds(tick));
        for (size_t i = 0; i < all.size(); ++i) {
            command(all[i], r.tallies[i], tick, watchdog);
            watchStream(all[i], r.tallies[i], tick);
        }
        if (tick % o.reconnectEvery == 0) {
            // Each instrument in turn, every other round softly.
            const size_t n = nextReconnect++;
            const size_t i = n % all.size();
            reconnect(all[i], r.tallies[i], tick, (n / all.size()) % 2 == 1, watchdog);
        }
        if (tick % o.sampleEvery == 0 || tick == o.seconds) {
            r.samples.push_back({tick, usageNow()});
            printSample(r.samples.back(), r.tallies, exporter.counts().rounds);
            instruments.trimLogs();
        }
    }
    watchdog.progress("stopping the file export");
    exporter.stop();
    r.exported = exporter.counts();
    watchdog.progress("K427_FreeFList");
    K427_FreeFList();
}

bool judgeInstruments(const std::vector<Instrument>& all, const std::vector<Tally>& tallies) {
    std::printf("\n%-9s %8s %10s %10s %10s %8s %9s %10s %7s\n", "link", "position", "commands",
                "seen", "records", "reconn.", "failed", "longest ms", "stalls");
    bool ok = true;
    for (size_t i = 0; i < all.size(); ++i) {
        const auto& t = tallies[i];
        std::printf("%-9s %8d %10llu %10llu %10llu %8u %9u %10lld %7u\n", all[i].link.c_str(),
                    all[i].position, static_cast<unsigned long long>(t.sent),
                    static_cast<unsigned long long>(t.seen),
                    static_cast<unsigned long long>(all[i].stream->recordsSent()), t.reconnects,
                    t.reconnectsFailed + t.streamNotBack,
                    static_cast<long long>(t.longestReconnectMs), t.stalls);
        ok = ok && t.seen == t.sent && t.reconnectsFailed == 0 && t.streamNotBack == 0 &&
             t.stalls == 0;
    }
    return ok;
}

bool judgeExport(const ExportLoop::Counts& e) {
    std::printf("\nfile export: %llu rounds of %llu bytes, %llu failed, %llu unlike the first\n",
                static_cast<unsigned long long>(e.rounds), static_cast<unsigned long long>(e.bytes),
                static_cast<unsigned long long>(e.failed),
                static_cast<unsigned long long>(e.different));
    if (!e.firstFailure.empty()) std::printf("  first failure: %s\n", e.firstFailure.c_str());
    return e.rounds > 0 && e.failed == 0 && e.different == 0;
}

bool judgeLeftovers(const Usage& baseline, const Usage& end) {
    std::printf("threads: %u at the start, %u at the end; open descriptors: %u, %u\n",
                baseline.threads, end.threads, baseline.fds, end.fds);
    if (end.threads <= baseline.threads && end.fds <= baseline.fds) return true;
    std::printf("left behind:\n");
    for (const auto& d : openDescriptors()) std::printf("  fd %s\n", d.c_str());
    return false;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// From the first sample after the warm-up to the highest after it.
bool judgeMemory(const std::vector<Sample>& samples, int64_t warmup, uint64_t toleranceKb) {
    if (kSanitized) {
        // The quarantine of freed blocks and the shadow memory grow by design.
        std::printf("memory: not judged in a sanitizer build\n");
        return true;
    }
    const auto judged = std::find_if(samples.begin(), samples.end(),
                                     [&](const Sample& s) { return int64_t(s.second) >= warmup; });
    if (judged == samples.end() || judged + 1 == samples.end()) {
        std::printf("memory: the run is too short to judge its growth\n");
        return true;
    }
    uint64_t highest = 0;
    for (auto s = judged; s != samples.end(); ++s) highest = std::max(highest, s->usage.rssKb);
    const int64_t growth = int64_t(highest) - int64_t(judged->usage.rssKb);
    const int64_t last = int64_t(samples.back().usage.rssKb) - int64_t(judged->usage.rssKb);
    std::printf("memory: %llu kB at second %llu, highest after it %llu kB (%+lld kB), at the end "
                "%+lld kB; tolerance %llu kB\n",
                static_cast<unsigned long long>(judged->usage.rssKb),
                static_cast<unsigned long long>(judged->second),
                static_cast<unsigned long long>(highest), static_cast<long long>(growth),
                static_cast<long long>(last), static_cast<unsigned long long>(toleranceKb));
    return growth <= int64_t(toleranceKb);
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const int64_t seconds = static_cast<int64_t>(o.seconds);
    const int64_t warmup =
        o.warmup >= 0
            ? o.warmup
            : std::min(seconds / 2, std::max<int64_t>(4 * int64_t(o.reconnectEvery), seconds / 6));
    // A runtime may keep a helper thread of its own from the program's first thread on
    // (ThreadSanitizer does): it is part of the baseline, not something the soak left.
    std::thread([] {}).join();
    const Usage baseline = usageNow();
    const auto exportPath = std::filesystem::temp_directory_path() /
                            ("zs_soak_export_" + std::to_string(getpid()) + ".csv");
    Results r;
    bool ok = false;
    {
        SoakInstruments instruments;
        frame::libraryLoad();
        std::string why, notes;
        const bool listed = instruments.list(why, notes);
        if (!notes.empty()) std::printf("note: %s\n", notes.c_str());
        auto& all = instruments.all();
        if (listed) {
            std::printf(
                "soak of %lld s: %zu instruments, a command to each every second, a "
                "reconnect every %u s (full and soft in turn), memory judged after %lld s\n",
                static_cast<long long>(seconds), all.size(), o.reconnectEvery,
                static_cast<long long>(warmup));
            for (const auto& in : all)
                std::printf("  position %d: %s, serial %u\n", in.position, in.link.c_str(),
                            in.serial);
            r.tallies.resize(all.size());
            for (auto& t : r.tallies) t.lastRecord = Clock::now();
            runSoak(all, instruments, o, exportPath, r);
            ok = judgeInstruments(all, r.tallies);
        } else {
            std::printf("cannot start: %s\n", why.c_str());
            K427_FreeFList();
        }
        if (K427_GetDeviceCount() != 0) {
            std::printf("K427_FreeFList left devices listed\n");
            ok = false;
        }
        const auto handles = instruments.driverHandlesOpen();
        std::printf("\ndriver handles open after K427_FreeFList: %zu\n", handles.size());
        for (const auto& h : handles) std::printf("  %s\n", h.c_str());
        ok = ok && handles.empty();
        frame::libraryUnload();
    }
    std::filesystem::remove(exportPath);
    if (!r.tallies.empty()) ok = judgeExport(r.exported) && ok;
    ok = judgeLeftovers(baseline, settledUsage(baseline)) && ok;
    ok = judgeMemory(r.samples, warmup, o.toleranceKb) && ok;
    std::printf("%s\n", ok ? "soak passed" : "soak FAILED");
    return ok ? 0 : 1;
}
