#pragma once
// The analysis and drawing behind `zsig spectrum`: bins of a power spectrum in dB, their
// strongest peaks, and an SVG plot on a logarithmic frequency axis.
#include <cstddef>
#include <string>
#include <vector>

namespace zsig {

struct Spectrum {
    std::vector<double> frequency; // Hz, bin centres
    std::vector<double> level;     // dB
    std::string title;
};

struct Peak {
    size_t bin;
    double frequency;
    double level;
};

// Local maxima at least `prominence` dB above the spectrum's median level, each the highest
// within `guard` bins on either side, strongest first, at most `count`.
std::vector<Peak> findPeaks(const Spectrum& s, size_t count, double prominence = 20.0,
                            size_t guard = 8);

// The spectrum as an SVG document: level in dB over frequency in Hz (log scale), a grid with
// labels, and the peaks marked with their frequency and level.
std::string spectrumSvg(const Spectrum& s, const std::vector<Peak>& peaks);

// The bins as CSV: "frequency_hz,level_db", values in shortest round-trip form.
std::string spectrumCsv(const Spectrum& s);

} // namespace zsig
