#pragma once
#include "commands.h"

#include <string>

namespace zsig {

struct SpectrumRequest {
    std::string plotPath; // empty: no plot
    bool csv = false;     // the bins on stdout instead of the peak table
    int average = 1;
    int peaks = 5;
    int mode = 1; // the stream mode tele runs the instrument in
};

// zsig spectrum: the first USB instrument as a remote sensor (tele mode); its live spectrum,
// averaged over `average` windows, as a table of its strongest peaks, an SVG plot or CSV.
// Tele mode is turned off again whatever happens.
int runSpectrum(const zs::host::Library& lib, const SpectrumRequest& request);

} // namespace zsig
