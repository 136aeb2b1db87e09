#include "frame/fourier.h"

#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <vector>

using namespace zs::frame;

namespace {
constexpr size_t N = SpectrumTables::kSize;
constexpr double kPi = 3.141592653589793;

struct Tables {
    Tables() { t.fill(); }
    SpectrumTables t;
};
Tables& tables() {
    static Tables instance;
    return instance;
}
} // namespace

TEST(Spectrum, FastTransformAgreesWithReferenceAndDirectDft) {
    auto& t = tables().t;
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> x(N);
    for (auto& v : x) v = dist(rng);

    std::vector<double> refRe(x), refIm(N, 0.0);
    referenceTransform(t, refRe.data(), refIm.data());
    std::copy(x.begin(), x.end(), t.workRe.get());
    realTransform(t);
    for (size_t k = 0; k <= N / 2; ++k) {
        ASSERT_NEAR(t.workRe[k], refRe[k], 1e-15) << k;
        ASSERT_NEAR(t.workIm[k], refIm[k], 1e-15) << k;
    }
    // A few bins by the definition, summed in long double.
    for (size_t k : {0u, 1u, 273u, 4096u, 10922u, 32767u, 32768u}) {
        long double sr = 0, si = 0;
        for (size_t n = 0; n < N; ++n) {
            const long double a = -2.0L * kPi * static_cast<long double>((k * n) % N) / N;
            sr += x[n] * std::cos(a);
            si += x[n] * std::sin(a);
        }
        EXPECT_NEAR(refRe[k], static_cast<double>(sr / N), 1e-14) << k;
        EXPECT_NEAR(refIm[k], static_cast<double>(si / N), 1e-14) << k;
    }
}

TEST(Spectrum, WindowedSineGivesItsPowerAtTheRightOutput) {
    auto& t = tables().t;
    const size_t ringLength = 131072;
    std::vector<double> ring(ringLength);
    std::vector<double> out(kSpectrumOutputs + 1, 12345.0);
    struct Case {
        double amplitude;
        size_t bin;
        size_t writePos; // exercises the wrap at both ends
    } cases[] = {{1.0, 1000, 65536}, {0.25, 300, 100}, {3.0, 10000, 131071}};
    for (const auto& c : cases) {
        // A sine whose phase runs continuously through the 65536 samples before writePos.
        for (size_t i = 0; i < N; ++i) {
            const size_t pos = (c.writePos + ringLength - N + i) % ringLength;
            ring[pos] = c.amplitude * std::sin(2 * kPi * c.bin * i / N);
        }
        computeSpectrum(t, ring.data(), ringLength, ring.data() + c.writePos, true, out.data());
        EXPECT_NEAR(out[c.bin - kSpectrumFirstBin], 10 * std::log10(c.amplitude * c.amplitude / 2),
                    0.01)
            << c.bin;
        EXPECT_LT(out[c.bin - kSpectrumFirstBin + 5], -200.0); // far from the tone: nothing
        EXPECT_EQ(out[kSpectrumOutputs], 12345.0);             // nothing past the last bin
    }
}

TEST(Spectrum, WithoutWindowAZeroSignalGivesMinusInfinity) {
    auto& t = tables().t;
    std::vector<double> ring(131072, 0.0), out(kSpectrumOutputs);
    computeSpectrum(t, ring.data(), ring.size(), ring.data(), false, out.data());
    EXPECT_TRUE(std::isinf(out[0]) && out[0] < 0);
}
