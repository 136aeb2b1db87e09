// The spectrum path (copy out of the ring, window, transform, power in dB) against FFTW
// doing the same window, real transform and power, in one run.
#include <benchmark/benchmark.h>
#include <cmath>
#include <random>
#include <vector>

#include "frame/fourier.h"
#ifdef ZS_HAVE_FFTW
#include <fftw3.h>
#endif

using namespace zs::frame;

namespace {
constexpr size_t N = SpectrumTables::kSize;

struct Fixture {
    Fixture() : ring(131072), out(kSpectrumOutputs) {
        tables.fill();
        std::mt19937 rng(1);
        std::normal_distribution<double> noise(0.0, 1.0);
        for (auto& v : ring) v = noise(rng);
    }
    SpectrumTables tables;
    std::vector<double> ring, out;
};

Fixture& fixture() {
    static Fixture f;
    return f;
}
} // namespace

static void BM_GetSpectrumPath(benchmark::State& state) {
    auto& f = fixture();
    for (auto _ : state) {
        computeSpectrum(f.tables, f.ring.data(), f.ring.size(), f.ring.data() + 70000, true,
                        f.out.data());
        benchmark::DoNotOptimize(f.out.data());
    }
}
BENCHMARK(BM_GetSpectrumPath)->Unit(benchmark::kMillisecond);

static void BM_ReferenceRadix2(benchmark::State& state) {
    auto& f = fixture();
    std::vector<double> re(N), im(N);
    for (auto _ : state) {
        std::copy(f.ring.begin(), f.ring.begin() + N, re.begin());
        std::fill(im.begin(), im.end(), 0.0);
        referenceTransform(f.tables, re.data(), im.data());
        benchmark::DoNotOptimize(re.data());
    }
}
BENCHMARK(BM_ReferenceRadix2)->Unit(benchmark::kMillisecond);

#ifdef ZS_HAVE_FFTW
static void BM_FftwSamePath(benchmark::State& state) {
    auto& f = fixture();
    double* in = fftw_alloc_real(N);
    fftw_complex* bins = fftw_alloc_complex(N / 2 + 1);
    fftw_plan plan = fftw_plan_dft_r2c_1d(static_cast<int>(N), in, bins, FFTW_MEASURE);
    const double* w = f.tables.window.get();
    for (auto _ : state) {
        const size_t start = 70000 - N;
        for (size_t i = 0; i < N; ++i) in[i] = f.ring[start + i] * w[i];
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

BENCHMARK_MAIN();
