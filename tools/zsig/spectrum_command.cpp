// zsig spectrum: the first instrument as a remote sensor (tele mode), its live spectrum
// plotted, listed by its strongest peaks, or written as CSV.
#include "spectrum_command.h"

#include "output.h"
#include "spectrum_plot.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

namespace zsig {
namespace {

constexpr int32_t kTeleRingLength = 131072;
constexpr int32_t kSpectrumPoints = 65536;
constexpr int32_t kFirstBin = 273;
constexpr int32_t kBins = 10650;

// Follows the tele ring's write pointer and counts the samples written since the start.
class RingProgress {
  public:
    explicit RingProgress(const zs::host::Library& lib)
        : getWPtr_(ZS_HOST_GET(lib, K427_GetWPtr)), last_(getWPtr_(0)) {}

    // Waits until `samples` more have arrived; false when nothing comes for `quietMs`.
    bool waitFor(int64_t samples, uint32_t quietMs) {
        const int64_t target = total_ + samples;
        auto lastChange = std::chrono::steady_clock::now();
        while (total_ < target) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const double* w = getWPtr_(0);
            if (w && last_ && w != last_) {
                total_ += ((w - last_) % kTeleRingLength + kTeleRingLength) % kTeleRingLength;
                lastChange = std::chrono::steady_clock::now();
            }
            if (w) last_ = w;
            if (std::chrono::steady_clock::now() - lastChange > std::chrono::milliseconds(quietMs))
                return false;
        }
        return true;
    }

  private:
    decltype(&K427_GetWPtr) getWPtr_;
    const double* last_;
    int64_t total_ = 0;
};

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Tele mode on for as long as the object lives.
class TeleSession {
  public:
    explicit TeleSession(const zs::host::Library& lib) : off_(ZS_HOST_GET(lib, TurnOffTele)) {}
    ~TeleSession() { off_(); }
    TeleSession(const TeleSession&) = delete;
    TeleSession& operator=(const TeleSession&) = delete;

  private:
    decltype(&TurnOffTele) off_;
};

} // namespace

int runSpectrum(const zs::host::Library& lib, const SpectrumRequest& r) {
    if (!r.plotPath.empty() && !endsWith(r.plotPath, ".svg"))
        throw UsageError("the plot is written as SVG: name it FILE.svg");
    std::vector<double> power(kBins, 0.0), levels(kBins);
    double rate = 0;
    int32_t type = 0;
    {
        TeleSession tele(lib);
        if (!ZS_HOST_GET(lib, TurnOnTele)(r.mode))
            throw Failure("no instrument found for tele mode");
        const auto getSpectrum = ZS_HOST_GET(lib, GetSpectrum);
        RingProgress progress(lib);
        Progress bar("spectrum", static_cast<uint64_t>(r.average));
        // A full ring first: the fade-in and the filter's settling are then long gone.
        bool ok = progress.waitFor(kTeleRingLength, 3000);
        for (int i = 0; ok && i < r.average; ++i) {
            if (i > 0) ok = progress.waitFor(kSpectrumPoints, 3000);
            if (ok) ok = getSpectrum(levels.data(), 1) != 0;
            for (int32_t k = 0; ok && k < kBins; ++k) power[k] += std::pow(10.0, levels[k] / 10.0);
            bar.update(static_cast<uint64_t>(i + 1));
        }
        bar.finish();
        rate = ZS_HOST_GET(lib, K427_GetFSampling)(0);
        type = ZS_HOST_GET(lib, K427_GetDeviceType)(0);
        if (!ok || !(rate > 0)) throw Failure("the instrument sent no raw signal");
    }

    Spectrum s;
    s.title = "Instrument type " + std::to_string(type) + ", " + exactNumber(rate) +
              " Hz sampling, " + std::to_string(r.average) +
              (r.average == 1 ? " spectrum" : " spectra averaged");
    for (int32_t k = 0; k < kBins; ++k) {
        s.frequency.push_back((kFirstBin + k) * rate / kSpectrumPoints);
        s.level.push_back(10.0 * std::log10(power[k] / r.average));
    }
    const std::vector<Peak> peaks = findPeaks(s, static_cast<size_t>(r.peaks));

    if (!r.plotPath.empty()) {
        std::ofstream file(r.plotPath, std::ios::binary);
        file << spectrumSvg(s, peaks);
        if (!file.flush()) throw Failure("cannot write " + r.plotPath);
    }
    if (r.csv) {
        std::fputs(spectrumCsv(s).c_str(), stdout);
        return 0;
    }
    std::printf("%s\n", s.title.c_str());
    std::printf("%14s  %9s\n", "frequency, Hz", "level, dB");
    for (const Peak& p : peaks) std::printf("%14.2f  %9.2f\n", p.frequency, p.level);
    if (!r.plotPath.empty()) std::printf("plot written to %s\n", r.plotPath.c_str());
    return 0;
}

void addSpectrumCommand(CLI::App& app, Context& context) {
    auto request = std::make_shared<SpectrumRequest>();
    CLI::App* cmd = context.command(
        app, "spectrum", "Run the first USB instrument in tele mode and show its live spectrum",
        [request](Context& c) { return runSpectrum(c.library(), *request); });
    cmd->add_option("--out", request->plotPath, "Write the spectrum as an SVG plot to this file");
    cmd->add_flag("--csv", request->csv, "Print every bin as CSV (frequency_hz,level_db)");
    cmd->add_option("--average", request->average, "Average this many spectra")
        ->check(CLI::Range(1, 1000));
    cmd->add_option("--peaks", request->peaks, "How many of the strongest peaks to list")
        ->check(CLI::Range(0, 100));
    cmd->add_option("--mode", request->mode, "Raw-signal stream mode of the instrument")
        ->check(CLI::Range(1, 255));
}

} // namespace zsig
