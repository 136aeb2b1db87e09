#pragma once
#include <cstddef>
#include <memory>

namespace zs::frame {

// The fixed tables of the 65536-point spectrum transform, computed once at load so that a
// spectrum needs no trigonometry and no allocation.
struct SpectrumTables {
    static constexpr size_t kSize = 65536;

    SpectrumTables();
    void fill();

    std::unique_ptr<double[]> twiddle; // kSize/2 pairs (cos, -sin), real part first
    std::unique_ptr<double[]> window;  // periodic Hann window scaled by 2
    std::unique_ptr<double[]> workRe;  // overwritten by every spectrum
    std::unique_ptr<double[]> workIm;
};

} // namespace zs::frame
