#include "frame/fourier.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <vector>

using namespace zs::frame;

namespace {
constexpr size_t N = SpectrumTables::kSize;
constexpr size_t kRingLength = 131072;
constexpr double kPi = 3.141592653589793;

struct Tables {
    Tables() { t.fill(); }
    SpectrumTables t;
};
Tables& tables() {
    static Tables instance;
    return instance;
}

// The 65536 samples before writePos, oldest first, laid into a ring (wrapping at its end).
std::vector<double> ringWith(const std::vector<double>& samples, size_t writePos) {
    std::vector<double> ring(kRingLength, 1e6); // anything outside the window would show
    for (size_t i = 0; i < N; ++i)
        ring[(writePos + kRingLength - N + i) % kRingLength] = samples[i];
    return ring;
}
} // namespace

TEST(Spectrum, BuiltInTablesAreTheExactOnesBitForBit) {
    std::vector<double> twiddle(kFourierSize), window(kFourierSize);
    computeExactTables(twiddle.data(), window.data());
    EXPECT_EQ(std::memcmp(twiddle.data(), kTwiddleTable, sizeof kTwiddleTable), 0);
    EXPECT_EQ(std::memcmp(window.data(), kWindowTable, sizeof kWindowTable), 0);
    EXPECT_TRUE(std::signbit(kTwiddleTable[1])); // -sin(0) keeps its sign
}

TEST(Spectrum, ReferenceTransformMatchesTheDefinition) {
    auto& t = tables().t;
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> x(N);
    for (auto& v : x) v = dist(rng);
    std::vector<double> re(x), im(N, 0.0);
    referenceTransform(t, re.data(), im.data());
    // A few bins by the definition, summed in long double.
    for (size_t k : {0u, 1u, 273u, 4096u, 10922u, 32767u, 32768u}) {
        long double sr = 0, si = 0;
        for (size_t n = 0; n < N; ++n) {
            const long double a = -2.0L * kPi * static_cast<long double>((k * n) % N) / N;
            sr += x[n] * std::cos(a);
            si += x[n] * std::sin(a);
        }
        EXPECT_NEAR(re[k], static_cast<double>(sr / N), 1e-14) << k;
        EXPECT_NEAR(im[k], static_cast<double>(si / N), 1e-14) << k;
    }
}

// The fast path against the plain radix-2 transform, on every output bin. Signals whose
// bins sit near rounding-noise level (a windowed tone or square wave, 170 dB and more below
// its peak away from its harmonics) are left out: there no two transforms agree to 1e-9 dB.
TEST(Spectrum, FastPathAgreesWithTheRadix2ReferenceOnEveryBin) {
    auto& t = tables().t;
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0.0, 0.3);
    std::vector<double> noiseSamples(N);
    for (auto& v : noiseSamples) v = noise(rng);
    struct Case {
        const char* name;
        std::function<double(size_t)> sample;
        bool useWindow;
        size_t writePos; // the wrap falls on an even and on an odd sample
    } cases[] = {
        {"sine between bins",
         [](size_t i) { return 0.7 * std::sin(2 * kPi * 1234.37 * i / N + 0.3); }, false, 65536},
        {"noise", [&](size_t i) { return noiseSamples[i]; }, false, 1001},
        {"noise windowed", [&](size_t i) { return noiseSamples[i]; }, true, 131071},
        {"constant", [](size_t) { return 0.625; }, false, 70000},
        {"full-scale square", [](size_t i) { return (i / 50) % 2 ? -1.0 : 1.0; }, false, 40000},
    };
    std::vector<double> samples(N), re(N), im(N), expected(kSpectrumOutputs),
        actual(kSpectrumOutputs);
    for (const auto& c : cases) {
        for (size_t i = 0; i < N; ++i) samples[i] = c.sample(i);
        referenceSpectrum(t, samples.data(), c.useWindow, re.data(), im.data(), expected.data());
        const auto ring = ringWith(samples, c.writePos);
        computeSpectrum(t, ring.data(), kRingLength, ring.data() + c.writePos, c.useWindow,
                        actual.data());
        size_t mismatches = 0;
        for (size_t k = 0; k < kSpectrumOutputs; ++k) {
            const bool same = std::isinf(expected[k]) ? actual[k] == expected[k]
                                                      : std::fabs(actual[k] - expected[k]) <= 1e-9;
            if (!same && ++mismatches <= 3)
                ADD_FAILURE() << c.name << ": bin " << k + kSpectrumFirstBin << " gives "
                              << actual[k] << " dB, the reference " << expected[k];
        }
        EXPECT_EQ(mismatches, 0u) << c.name;
    }
}

TEST(Spectrum, WindowedSineGivesItsPowerAtTheRightOutput) {
    auto& t = tables().t;
    std::vector<double> out(kSpectrumOutputs + 1, 12345.0), samples(N);
    struct Case {
        double amplitude;
        size_t bin;
        size_t writePos; // exercises the wrap at both ends
    } cases[] = {{1.0, 1000, 65536}, {0.25, 300, 100}, {3.0, 10000, 131071}};
    for (const auto& c : cases) {
        for (size_t i = 0; i < N; ++i) samples[i] = c.amplitude * std::sin(2 * kPi * c.bin * i / N);
        const auto ring = ringWith(samples, c.writePos);
        computeSpectrum(t, ring.data(), kRingLength, ring.data() + c.writePos, true, out.data());
        EXPECT_NEAR(out[c.bin - kSpectrumFirstBin], 10 * std::log10(c.amplitude * c.amplitude / 2),
                    0.01)
            << c.bin;
        EXPECT_LT(out[c.bin - kSpectrumFirstBin + 5], -200.0); // far from the tone: nothing
        EXPECT_EQ(out[kSpectrumOutputs], 12345.0);             // nothing past the last bin
    }
}

TEST(Spectrum, WithoutWindowAZeroSignalGivesMinusInfinity) {
    auto& t = tables().t;
    std::vector<double> ring(kRingLength, 0.0), out(kSpectrumOutputs);
    computeSpectrum(t, ring.data(), ring.size(), ring.data(), false, out.data());
    for (double v : out) ASSERT_TRUE(std::isinf(v) && v < 0);
}
