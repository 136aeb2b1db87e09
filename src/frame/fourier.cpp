#include "frame/fourier.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

namespace zs::frame {
namespace {

constexpr size_t N = SpectrumTables::kSize;
constexpr size_t M = SpectrumTables::kHalf;

// The half-size transform runs as radix-4 stages on blocks of these sizes; its last radix-2
// stage (blocks of 2) is folded into reading out the bins.
constexpr size_t kStageBlocks[] = {32768, 8192, 2048, 512, 128, 32, 8};
constexpr size_t kStageCount = std::size(kStageBlocks);
// Stages on blocks this small run one block at a time, so each block stays in the L1 cache.
constexpr size_t kCacheBlock = 2048;

constexpr size_t stageTableSize() {
    size_t size = 0;
    for (size_t block : kStageBlocks) size += 6 * (block / 4);
    return size;
}

typedef double v2d __attribute__((vector_size(16)));
typedef double v4d __attribute__((vector_size(32)));

// By reference: four-wide vectors passed by value would depend on the function's target.
template <class V>
inline void loadInto(V& v, const double* p) {
    std::memcpy(&v, p, sizeof v);
}

inline v2d load(const double* p) {
    v2d v;
    loadInto(v, p);
    return v;
}

template <class V>
inline void store(double* p, const V& v) {
    std::memcpy(p, &v, sizeof v);
}

// One radix-4 decimation-in-frequency stage over `count` points in blocks of `block`.
// Each butterfly stores its outputs in the order of two radix-2 stages (frequency residues
// 0, 2, 1, 3), so the whole transform ends in plain bit-reversed order.
template <class V>
__attribute__((always_inline)) inline void radix4StageOf(double* re, double* im, size_t count,
                                                         size_t block, const double* w) {
    constexpr size_t width = sizeof(V) / sizeof(double);
    const size_t q = block / 4;
    const double *w1r = w, *w1i = w + q, *w2r = w + 2 * q, *w2i = w + 3 * q, *w3r = w + 4 * q,
                 *w3i = w + 5 * q;
    for (size_t base = 0; base < count; base += block) {
        double* r = re + base;
        double* i = im + base;
        for (size_t j = 0; j < q; j += width) {
            V ar, ai;
            loadInto(ar, r + j);
            loadInto(ai, i + j);
            V br, bi;
            loadInto(br, r + j + q);
            loadInto(bi, i + j + q);
            V cr, ci;
            loadInto(cr, r + j + 2 * q);
            loadInto(ci, i + j + 2 * q);
            V dr, di;
            loadInto(dr, r + j + 3 * q);
            loadInto(di, i + j + 3 * q);
            const V t0r = ar + cr, t0i = ai + ci, t1r = ar - cr, t1i = ai - ci;
            const V t2r = br + dr, t2i = bi + di, ur = br - dr, ui = bi - di;
            store(r + j, t0r + t2r);
            store(i + j, t0i + t2i);
            const V v2r = t0r - t2r, v2i = t0i - t2i;
            V c2, s2;
            loadInto(c2, w2r + j);
            loadInto(s2, w2i + j);
            store(r + j + q, v2r * c2 - v2i * s2);
            store(i + j + q, v2r * s2 + v2i * c2);
            // b - d turns by -90 degrees: t1 + (-j)(b - d) and t1 - (-j)(b - d).
            const V v1r = t1r + ui, v1i = t1i - ur;
            V c1, s1;
            loadInto(c1, w1r + j);
            loadInto(s1, w1i + j);
            store(r + j + 2 * q, v1r * c1 - v1i * s1);
            store(i + j + 2 * q, v1r * s1 + v1i * c1);
            const V v3r = t1r - ui, v3i = t1i + ur;
            V c3, s3;
            loadInto(c3, w3r + j);
            loadInto(s3, w3i + j);
            store(r + j + 3 * q, v3r * c3 - v3i * s3);
            store(i + j + 3 * q, v3r * s3 + v3i * c3);
        }
    }
}

void radix4Stage(double* re, double* im, size_t count, size_t block, const double* w) {
    radix4StageOf<v2d>(re, im, count, block, w);
}

#if defined(__x86_64__) || defined(__i386__)
// The same stage four points at a time where the processor has AVX (same arithmetic, so the
// same results); blocks of 8 have only two points per quarter.
__attribute__((target("avx"))) void radix4StageWide(double* re, double* im, size_t count,
                                                    size_t block, const double* w) {
    if (block / 4 >= 4)
        radix4StageOf<v4d>(re, im, count, block, w);
    else
        radix4StageOf<v2d>(re, im, count, block, w);
}

bool haveAvx() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx");
}
#else
constexpr auto radix4StageWide = radix4Stage;
bool haveAvx() {
    return false;
}
#endif

// The half-size complex transform of workRe/workIm, unscaled, in bit-reversed order and
// without its last radix-2 stage.
void halfTransform(SpectrumTables& tables) {
    double* re = tables.workRe.get();
    double* im = tables.workIm.get();
    const double* w = tables.stageTwiddle.get();
    const auto stage = tables.wideVectors ? radix4StageWide : radix4Stage;
    size_t s = 0;
    for (; kStageBlocks[s] > kCacheBlock; ++s) {
        stage(re, im, M, kStageBlocks[s], w);
        w += 6 * (kStageBlocks[s] / 4);
    }
    for (size_t base = 0; base < M; base += kCacheBlock) {
        const double* ws = w;
        for (size_t t = s; t < kStageCount; ++t) {
            stage(re + base, im + base, kCacheBlock, kStageBlocks[t], ws);
            ws += 6 * (kStageBlocks[t] / 4);
        }
    }
}

constexpr std::array<uint8_t, 256> reversedBytes() {
    std::array<uint8_t, 256> table{};
    for (unsigned v = 0; v < 256; ++v) {
        unsigned r = 0;
        for (int b = 0; b < 8; ++b) r |= ((v >> b) & 1u) << (7 - b);
        table[v] = static_cast<uint8_t>(r);
    }
    return table;
}
constexpr std::array<uint8_t, 256> kReversed = reversedBytes();

// k (below 32768) with its 15 bits reversed.
inline size_t reverse15(size_t k) {
    return static_cast<size_t>(kReversed[k & 255]) << 7 | kReversed[k >> 8] >> 1;
}

// Bin k of the half-size transform: the last radix-2 stage, applied to the one pair
// holding it.
inline void halfBin(const double* re, const double* im, size_t k, double& zr, double& zi) {
    const size_t r = reverse15(k);
    if (r & 1) {
        zr = re[r - 1] - re[r];
        zi = im[r - 1] - im[r];
    } else {
        zr = re[r] + re[r + 1];
        zi = im[r] + im[r + 1];
    }
}

typedef int64_t v2i __attribute__((vector_size(16)));

// 10 log10(p) for the powers in `values`, in place. Positive normal powers take the series
// of atanh (error a few units in the last place of ln p, far below what the spectrum can
// tell); zero, subnormal, infinite and NaN powers take the C library's way.
void powersToDecibels(double* values, size_t count) {
    constexpr double kLn2Hi = 6.93147180369123816490e-01; // 32 bits: e * kLn2Hi is exact
    constexpr double kLn2Lo = 1.90821492927058770002e-10;
    constexpr double kDecibelsPerNeper = 4.3429448190325182765; // 10 / ln 10
    constexpr double kSqrt2 = 1.4142135623730951;
    constexpr double kMinNormal = 2.2250738585072014e-308, kMaxFinite = 1.7976931348623157e308;
    auto convert = [&](v2d p) {
        v2i bits;
        std::memcpy(&bits, &p, sizeof bits);
        // p = 2^e m with m in [1, 2), then m in (sqrt(1/2), sqrt(2)].
        const v2i exponentBits = (bits >> 52) & 0x7FF;
        v2i magic = exponentBits | 0x4330000000000000; // 2^52 + the exponent bits
        v2d e;
        std::memcpy(&e, &magic, sizeof e);
        e = e - (4503599627370496.0 + 1023.0);
        const v2i mantissaBits = (bits & 0x000FFFFFFFFFFFFF) | 0x3FF0000000000000;
        v2d m;
        std::memcpy(&m, &mantissaBits, sizeof m);
        const auto high = m > kSqrt2;
        m = high ? m * 0.5 : m;
        e = high ? e + 1.0 : e;
        // ln m = 2 atanh(s) = 2s (1 + z/3 + z^2/5 + ...), s = (m - 1)/(m + 1), z = s^2 <= 0.0295.
        const v2d f = m - 1.0;
        const v2d sv = f / (f + 2.0);
        const v2d z = sv * sv;
        v2d t = z * 0.0 + 1.0 / 21;
        for (double odd : {19.0, 17.0, 15.0, 13.0, 11.0, 9.0, 7.0, 5.0, 3.0}) t = t * z + 1.0 / odd;
        t = t * z;
        const v2d twoS = sv + sv;
        const v2d lnP = e * kLn2Hi + (e * kLn2Lo + (twoS + twoS * t));
        return lnP * kDecibelsPerNeper;
    };
    size_t i = 0;
    for (; i + 2 <= count; i += 2) {
        const v2d p = load(values + i);
        store(values + i, convert(p));
        for (size_t k = 0; k < 2; ++k)
            if (!(p[k] >= kMinNormal && p[k] <= kMaxFinite))
                values[i + k] = 10.0 * std::log10(p[k]);
    }
    for (; i < count; ++i) values[i] = 10.0 * std::log10(values[i]);
}

unsigned reverseBits(unsigned value, int bits) {
    unsigned r = 0;
    for (int b = 0; b < bits; ++b) {
        r = (r << 1) | (value & 1);
        value >>= 1;
    }
    return r;
}

void difTransform(const double* twiddle, double* re, double* im, size_t count, size_t stride) {
    for (size_t half = count / 2, step = stride; half >= 1; half /= 2, step *= 2) {
        for (size_t block = 0; block < count; block += 2 * half) {
            double* r0 = re + block;
            double* i0 = im + block;
            for (size_t j = 0; j < half; ++j) {
                const double ar = r0[j], ai = i0[j];
                const double br = r0[j + half], bi = i0[j + half];
                const double tr = twiddle[2 * j * step], ti = twiddle[2 * j * step + 1];
                r0[j] = ar + br;
                i0[j] = ai + bi;
                const double dr = ar - br, di = ai - bi;
                r0[j + half] = dr * tr - di * ti;
                i0[j + half] = dr * ti + di * tr;
            }
        }
    }
    int bits = 0;
    while ((size_t{1} << bits) < count) ++bits;
    for (size_t i = 0; i < count; ++i) {
        const size_t r = reverseBits(static_cast<unsigned>(i), bits);
        if (r > i) {
            std::swap(re[i], re[r]);
            std::swap(im[i], im[r]);
        }
    }
}

} // namespace

SpectrumTables::SpectrumTables()
    : workRe(new double[kSize]), workIm(new double[kSize]),
      stageTwiddle(new double[stageTableSize()]) {}

void SpectrumTables::fill() {
    filled = true;
    wideVectors = haveAvx();
    // W_B^m = e^(-2 pi j m / B) is pair m * N / B of the table; pairs past N/2 are the
    // negated pairs N/2 earlier.
    double* w = stageTwiddle.get();
    for (size_t block : kStageBlocks) {
        const size_t q = block / 4, stride = N / block;
        for (size_t power = 1; power <= 3; ++power) {
            for (size_t j = 0; j < q; ++j) {
                size_t p = power * j * stride;
                const double sign = p < N / 2 ? 1.0 : -1.0;
                if (p >= N / 2) p -= N / 2;
                w[(2 * power - 2) * q + j] = sign * twiddle[2 * p];
                w[(2 * power - 1) * q + j] = sign * twiddle[2 * p + 1];
            }
        }
        w += 6 * q;
    }
}

void computeSpectrum(SpectrumTables& tables, const double* ring, size_t ringLength,
                     const double* writePtr, bool useWindow, double* output) {
    if (!tables.filled) tables.fill();
    double* re = tables.workRe.get();
    double* im = tables.workIm.get();
    // Oldest first: the N samples before the write pointer, wrapping back into the ring.
    size_t pos = static_cast<size_t>(writePtr - ring);
    pos = pos >= N ? pos - N : pos + ringLength - N;
    const size_t first = ringLength - pos < N ? ringLength - pos : N; // samples before the wrap
    const double* w = tables.window;
    // z[n] = x[2n] + j x[2n+1]: the half-size complex transform does the real one's work.
    auto pack = [&](size_t from, size_t to, auto sample) {
        if (useWindow) {
            for (size_t n = from; n < to; ++n) {
                re[n] = sample(2 * n) * w[2 * n];
                im[n] = sample(2 * n + 1) * w[2 * n + 1];
            }
        } else {
            for (size_t n = from; n < to; ++n) {
                re[n] = sample(2 * n);
                im[n] = sample(2 * n + 1);
            }
        }
    };
    const double* head = ring + pos;
    pack(0, first / 2, [head](size_t i) { return head[i]; });
    if (first < N) {
        pack(first / 2, (first + 1) / 2,
             [&](size_t i) { return i < first ? head[i] : ring[i - first]; });
        pack((first + 1) / 2, M, [ring, first](size_t i) { return ring[i - first]; });
    }
    halfTransform(tables);

    // Split: X[k] = E[k] + W^k O[k], E = (Z[k] + conj Z[M-k]) / 2, O = (Z[k] - conj Z[M-k]) / 2j.
    // The halves and the 1/N scaling go into one exact factor on the power.
    constexpr double kPowerScale = 0.5 / (static_cast<double>(N) * static_cast<double>(N));
    const double* t = tables.twiddle;
    for (size_t k = kSpectrumFirstBin; k <= kSpectrumLastBin; ++k) {
        double ar, ai, br, bi;
        halfBin(re, im, k, ar, ai);
        halfBin(re, im, M - k, br, bi);
        const double er = ar + br, ei = ai - bi, orr = ai + bi, oi = br - ar;
        const double wr = t[2 * k], wi = t[2 * k + 1];
        const double xr = er + orr * wr - oi * wi;
        const double xi = ei + orr * wi + oi * wr;
        output[k - kSpectrumFirstBin] = (xr * xr + xi * xi) * kPowerScale;
    }
    powersToDecibels(output, kSpectrumOutputs);
}

void referenceTransform(const SpectrumTables& tables, double* re, double* im) {
    difTransform(tables.twiddle, re, im, N, 1);
    for (size_t i = 0; i < N; ++i) {
        re[i] /= static_cast<double>(N);
        im[i] /= static_cast<double>(N);
    }
}

void referenceSpectrum(const SpectrumTables& tables, const double* samples, bool useWindow,
                       double* re, double* im, double* output) {
    for (size_t i = 0; i < N; ++i) {
        re[i] = useWindow ? samples[i] * tables.window[i] : samples[i];
        im[i] = 0.0;
    }
    referenceTransform(tables, re, im);
    for (size_t k = kSpectrumFirstBin; k <= kSpectrumLastBin; ++k)
        output[k - kSpectrumFirstBin] = 10.0 * std::log10(2.0 * (re[k] * re[k] + im[k] * im[k]));
}

} // namespace zs::frame
