#pragma once
// The amplitude and phase of one tone in a sampled signal, for tests that check a signal path
// against the sines a simulated instrument sends.
#include <cmath>
#include <numbers>
#include <vector>

namespace zs::test {

struct Component {
    double amplitude, phase;
};

// The component at `frequency` in `x` (sampled at `rate`), over a whole number of its periods.
inline Component component(const std::vector<double>& x, double frequency, double rate) {
    double re = 0, im = 0;
    for (size_t n = 0; n < x.size(); ++n) {
        const double w = 2 * std::numbers::pi * frequency * double(n) / rate;
        re += x[n] * std::cos(w);
        im += x[n] * std::sin(w);
    }
    return {2 * std::hypot(re, im) / double(x.size()), std::atan2(re, im)};
}

} // namespace zs::test
