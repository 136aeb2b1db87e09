#pragma once
#include <cstddef>

namespace zs::frame {

inline constexpr size_t kFourierSize = 65536;

// The twiddle table (kFourierSize/2 pairs cos, -sin of 2*pi*i/N) and the window table
// (1 - cos(2*pi*i/N)), each entry the correctly rounded value of its double angle. Slow:
// it runs at build time to produce the library's tables, and in the tests that keep them.
void computeExactTables(double* twiddle, double* window);

} // namespace zs::frame
