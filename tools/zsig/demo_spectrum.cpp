// Demo step: an instrument sending two tones as raw signal, run as a remote sensor (tele
// mode); its spectrum, its strongest peaks and a plot written beside the demo's other files.
#include "demo.h"
#include "demo_simulators.h"
#include "spectrum_command.h"

#include <cstdio>

namespace zsig {

int demoSpectrum(Context& context, const DemoEnv& env) {
    const auto& lib = context.library();
    const SimulatedD2xx d2xx;
    const StepCleanup cleanup(lib, d2xx);
    d2xx.reset();
    d2xx.plug("ZD000021A|Brevane DOUT20|family=tagged,rate=2304000,type=118,program=60,"
              "signal=1500:8000+3000:2000");
    std::printf("  an instrument sending tones of 1500 Hz and of 3000 Hz at a quarter of the\n"
                "  amplitude (12 dB lower) as raw signal; through TurnOnTele, K427_GetWPtr and\n"
                "  GetSpectrum:\n\n");
    std::fflush(stdout);
    SpectrumRequest request;
    request.plotPath = (env.outputDir / "spectrum.svg").string();
    request.peaks = 2;
    return runSpectrum(lib, request);
}

} // namespace zsig
