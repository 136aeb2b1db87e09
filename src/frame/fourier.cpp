#include "frame/fourier.h"

#include <cmath>
#include <utility>

namespace zs::frame {
namespace {

constexpr size_t N = SpectrumTables::kSize;

unsigned reverseBits(unsigned value, int bits) {
    unsigned r = 0;
    for (int b = 0; b < bits; ++b) {
        r = (r << 1) | (value & 1);
        value >>= 1;
    }
    return r;
}

// In-place radix-2 DIF on `count` complex points; `stride` selects every stride-th twiddle
// of the N-point table (count * stride == N).
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

void referenceTransform(const SpectrumTables& tables, double* re, double* im) {
    difTransform(tables.twiddle.get(), re, im, N, 1);
    for (size_t i = 0; i < N; ++i) {
        re[i] /= static_cast<double>(N);
        im[i] /= static_cast<double>(N);
    }
}

void realTransform(SpectrumTables& tables) {
    constexpr size_t M = N / 2;
    double* re = tables.workRe.get();
    double* im = tables.workIm.get();
    const double* t = tables.twiddle.get();
    // z[n] = x[2n] + j x[2n+1], packed into the first half of the work arrays.
    for (size_t n = 0; n < M; ++n) {
        im[n] = re[2 * n + 1];
        re[n] = re[2 * n];
    }
    difTransform(t, re, im, M, 2);
    // Split: X[k] = E[k] + W^k O[k] with E = (Z[k] + conj Z[M-k]) / 2 and
    // O = (Z[k] - conj Z[M-k]) / 2j. Pairs k and M-k are done together, in place; the
    // results for k > M/2 go to the upper half and are copied back at the end.
    const double scale = 1.0 / static_cast<double>(N);
    {
        const double zr = re[0], zi = im[0];
        re[0] = (zr + zi) * scale; // X[0]
        im[0] = 0.0;
        re[M] = (zr - zi) * scale; // X[N/2]
        im[M] = 0.0;
    }
    for (size_t k = 1; k <= M / 2; ++k) {
        const size_t m = M - k;
        const double ar = re[k], ai = im[k], br = re[m], bi = im[m];
        const double er = (ar + br) * 0.5, ei = (ai - bi) * 0.5;
        const double orr = (ai + bi) * 0.5, oi = (br - ar) * 0.5;
        const double wr = t[2 * k], wi = t[2 * k + 1];
        const double xr = er + orr * wr - oi * wi;
        const double xi = ei + orr * wi + oi * wr;
        // Bin m: E[m] = conj E[k], O[m] = conj O[k], W^m = -conj W^k.
        const double wmr = -wr, wmi = wi;
        const double yr = er + orr * wmr + oi * wmi;
        const double yi = -ei + orr * wmi - oi * wmr;
        re[k] = xr * scale;
        im[k] = xi * scale;
        re[m] = yr * scale;
        im[m] = yi * scale;
    }
}

void computeSpectrum(SpectrumTables& tables, const double* ring, size_t ringLength,
                     const double* writePtr, bool useWindow, double* output) {
    double* re = tables.workRe.get();
    double* im = tables.workIm.get();
    // Oldest first: the N samples before the write pointer, wrapping back into the ring.
    size_t pos = static_cast<size_t>(writePtr - ring);
    pos = pos >= N ? pos - N : pos + ringLength - N;
    for (size_t i = 0; i < N; ++i) {
        re[i] = ring[pos];
        if (++pos >= ringLength) pos = 0;
    }
    if (useWindow) {
        const double* w = tables.window.get();
        for (size_t i = 0; i < N; ++i) re[i] *= w[i];
    }
    realTransform(tables);
    for (size_t k = kSpectrumFirstBin; k <= kSpectrumLastBin; ++k)
        output[k - kSpectrumFirstBin] = 10.0 * std::log10(2.0 * (re[k] * re[k] + im[k] * im[k]));
}

} // namespace zs::frame
