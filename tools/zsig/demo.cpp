// zsig demo: the library against the simulated instruments and sample files beside it.
#include "demo.h"

#include <cstdio>
#include <functional>

namespace zsig {
namespace {

struct Step {
    const char* title;
    std::function<int(Context&, const DemoEnv&)> run;
};

// In the order a user meets them; each step is its owner's function.
const Step kSteps[] = {
    {"The library", demoLibrary},
    {"Instruments found", demoInstrumentsFound},
    {"A live table", demoLiveTable},
    {"A command taking effect", demoCommand},
    {"A recorded file exported to CSV", demoRecordedFile},
    {"A spectrum plot", demoSpectrum},
    {"Signal generators and an output module", demoGenerators},
};

int runDemo(Context& context, const std::string& outputDir) {
    DemoEnv env;
    env.programDir = zs::host::Library::programDirectory();
    env.outputDir = outputDir;
    std::error_code ec;
    std::filesystem::create_directories(env.outputDir, ec);
    if (ec) throw Failure("cannot create '" + outputDir + "': " + ec.message());

    int step = 0;
    for (const Step& s : kSteps) {
        std::printf("\n== %d. %s\n", ++step, s.title);
        std::fflush(stdout);
        if (const int rc = s.run(context, env)) return rc;
        std::fflush(stdout);
    }
    std::printf("\nDemo finished; its files are in %s\n", env.outputDir.string().c_str());
    return 0;
}

} // namespace

int demoLibrary(Context& context, const DemoEnv& env) {
    const auto& lib = context.library();
    const int32_t v = ZS_HOST_GET(lib, K427_GetLibraryVersion)();
    std::printf("  library version   : %d.%d (%d)\n", v >> 16, v & 0xFFFF, v);
    std::printf("  description file  : %s\n",
                std::filesystem::exists(env.programDir / "TeleDescFile.bin")
                    ? "TeleDescFile.bin beside the library"
                    : "missing");
    return 0;
}

void addDemoCommand(CLI::App& app, Context& context) {
    auto outputDir = std::make_shared<std::string>("zsig-demo");
    CLI::App* cmd =
        context.command(app, "demo", "Show the library at work on simulated instruments",
                        [outputDir](Context& c) { return runDemo(c, *outputDir); });
    cmd->add_option("-o,--output-dir", *outputDir, "Where the demo writes its files")
        ->capture_default_str();
}

} // namespace zsig
