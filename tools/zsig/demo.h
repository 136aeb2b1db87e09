#pragma once
// zsig demo: a sequence of steps, each showing one capability against the simulated
// instruments and sample files beside the library. A step is a function of its own.
#include "commands.h"

#include <filesystem>

namespace zsig {

struct DemoEnv {
    std::filesystem::path programDir; // the library, its description file, the simulators
    std::filesystem::path outputDir;  // what the demo writes (CSV, plots)
};

// Each step prints what it shows and returns 0, or throws Failure.
int demoLibrary(Context& context, const DemoEnv& env);
int demoInstrumentsFound(Context& context, const DemoEnv& env);
int demoLiveTable(Context& context, const DemoEnv& env);
int demoCommand(Context& context, const DemoEnv& env);
int demoRecordedFile(Context& context, const DemoEnv& env);
int demoSpectrum(Context& context, const DemoEnv& env);
int demoGenerators(Context& context, const DemoEnv& env);

} // namespace zsig
