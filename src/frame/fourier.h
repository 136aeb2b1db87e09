#pragma once
#include "frame/fourier_tables.h"

#include <cstddef>

namespace zs::frame {

inline constexpr size_t kSpectrumFirstBin = 273;
inline constexpr size_t kSpectrumLastBin = 10922;
inline constexpr size_t kSpectrumOutputs = kSpectrumLastBin - kSpectrumFirstBin + 1; // 10650

// Copies the 65536 samples before `writePtr` out of the ring (wrapping at its ends),
// optionally windows them, transforms them and writes 10*log10(2*|X[k]|^2) for
// k = 273..10922 into `output`, X with 1/N scaling. The ring holds at least 65536 samples
// and `writePtr` lies within it. Uses the tables' work arrays: no trigonometry, no allocation.
void computeSpectrum(SpectrumTables& tables, const double* ring, size_t ringLength,
                     const double* writePtr, bool useWindow, double* output);

// The plain radix-2 decimation-in-frequency transform of the complex arrays re/im (65536
// entries each) with 1/N scaling and bit-reversed reordering: the reference the fast path
// must agree with.
void referenceTransform(const SpectrumTables& tables, double* re, double* im);

// computeSpectrum's result by the reference transform, from 65536 samples oldest first.
void referenceSpectrum(const SpectrumTables& tables, const double* samples, bool useWindow,
                       double* re, double* im, double* output);

} // namespace zs::frame
