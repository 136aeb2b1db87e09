// The spectrum path (copy out of the ring, window, transform, power in dB) against the same
// path with FFTW's real transform and with the plain radix-2 transform, in one run.
#include "bench_main.h"
#include "frame/fourier.h"

#include <cmath>
#include <random>
#include <vector>
#ifdef ZS_HAVE_FFTW
#include <fftw3.h>
#endif

using namespace zs::frame;

namespace {
constexpr size_t N = SpectrumTables::kSize;
constexpr size_t kWritePos = 70000;

struct Fixture {
    Fixture() : ring(131072), out(kSpectrumOutputs), re(N), im(N) {
        tables.fill();
        std::mt19937 rng(1);
        std::normal_distribution<double> noise(0.0, 1.0);
        for (auto& v : ring) v = noise(rng);
    }
    SpectrumTables tables;
    std::vector<double> ring, out, re, im;
};

Fixture& fixture() {
    static Fixture f;
    return f;
}
} // namespace

static void BM_GetSpectrumPath(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) {
        computeSpectrum(f.tables, f.ring.data(), f.ring.size(), f.ring.data() + kWritePos, true,
                        f.out.data());
        benchmark::DoNotOptimize(f.out.data());
    }
}
BENCHMARK(BM_GetSpectrumPath)->Unit(benchmark::kMillisecond);

static void BM_Radix2SamePath(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) {
        referenceSpectrum(f.tables, f.ring.data() + kWritePos - N, true, f.re.data(), f.im.data(),
                          f.out.data());
        benchmark::DoNotOptimize(f.out.data());
    }
}
BENCHMARK(BM_Radix2SamePath)->Unit(benchmark::kMillisecond);

#ifdef ZS_HAVE_FFTW
static void BM_FftwSamePath(benchmark::State& state) {
    auto& f = fixture();
    double* in = fftw_alloc_real(N);
    fftw_complex* bins = fftw_alloc_complex(N / 2 + 1);
    fftw_plan plan = fftw_plan_dft_r2c_1d(static_cast<int>(N), in, bins, FFTW_MEASURE);
    const double* w = f.tables.window;
    for (auto _ : state) {
        const double* samples = f.ring.data() + kWritePos - N;
        for (size_t i = 0; i < N; ++i) in[i] = samples[i] * w[i];
        fftw_execute(plan);
        for (size_t k = kSpectrumFirstBin; k <= kSpectrumLastBin; ++k) {
            const double re = bins[k][0] / N, im = bins[k][1] / N;
            f.out[k - kSpectrumFirstBin] = 10.0 * std::log10(2.0 * (re * re + im * im));
        }
        benchmark::DoNotOptimize(f.out.data());
    }
    fftw_destroy_plan(plan);
    fftw_free(bins);
    fftw_free(in);
}
BENCHMARK(BM_FftwSamePath)->Unit(benchmark::kMillisecond);
#endif

int main(int argc, char** argv) {
    using zs::bench::Comparison;
    return zs::bench::runBenchmarks(
        argc, argv,
        {{"BM_GetSpectrumPath", "BM_FftwSamePath", Comparison::TimeAtMost, 1.2},
         {"BM_GetSpectrumPath", "BM_Radix2SamePath", Comparison::TimeAtMost, 0}});
}
