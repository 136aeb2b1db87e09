#pragma once
#include "frame/fourier_tables_exact.h"

#include <cstddef>
#include <memory>

namespace zs::frame {

// Built into the library from computeExactTables's values.
extern const double kTwiddleTable[kFourierSize]; // kFourierSize/2 pairs (cos, -sin)
extern const double kWindowTable[kFourierSize];  // periodic Hann window scaled by 2

// The fixed tables of the 65536-point spectrum transform, ready at load so that a spectrum
// needs no trigonometry and no allocation.
struct SpectrumTables {
    static constexpr size_t kSize = kFourierSize;
    // The transform of a real signal runs as a complex one of half the size.
    static constexpr size_t kHalf = kSize / 2;

    SpectrumTables();
    // Derives the per-stage twiddles from the twiddle table (exact copies and negations).
    // The first spectrum does it when nobody did before, which keeps the library load
    // short: the arrays are allocated at load, but their pages are touched only here.
    void fill();

    const double* twiddle = kTwiddleTable;
    const double* window = kWindowTable;
    std::unique_ptr<double[]> workRe; // overwritten by every spectrum
    std::unique_ptr<double[]> workIm;
    // For each radix-4 stage of the half-size transform, in the order of the stages: the
    // real parts of W^j, then their imaginary parts, then those of W^2j and of W^3j.
    std::unique_ptr<double[]> stageTwiddle;
    bool wideVectors = false; // the processor runs four-wide vector arithmetic
    bool filled = false;
};

} // namespace zs::frame
