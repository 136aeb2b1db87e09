#pragma once
#include "frame/fourier_tables.h"

#include <cstddef>

namespace zs::frame {

inline constexpr size_t kSpectrumFirstBin = 273;
inline constexpr size_t kSpectrumLastBin = 10922;
inline constexpr size_t kSpectrumOutputs = kSpectrumLastBin - kSpectrumFirstBin + 1; // 10650

// The discrete Fourier transform of the real signal in `tables.workRe` (65536 samples), with
// 1/N scaling, left in workRe / workIm for bins 0..N/2. Uses the precomputed twiddles only:
// no trigonometry, no allocation. The imaginary input is zero, so a half-size complex
// transform of the even and odd samples does the work.
void realTransform(SpectrumTables& tables);

// The plain radix-2 decimation-in-frequency transform of the complex arrays re/im (65536
// entries each) with 1/N scaling and bit-reversed reordering: the reference the fast path
// must agree with.
void referenceTransform(const SpectrumTables& tables, double* re, double* im);

// Copies the 65536 samples before `writePtr` out of the ring (wrapping at its ends),
// optionally windows them, transforms them and writes 10*log10(2*|X[k]|^2) for
// k = 273..10922 into `output`. The ring holds at least 65536 samples and `writePtr` lies
// within it.
void computeSpectrum(SpectrumTables& tables, const double* ring, size_t ringLength,
                     const double* writePtr, bool useWindow, double* output);

} // namespace zs::frame
