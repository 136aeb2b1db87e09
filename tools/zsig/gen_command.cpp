// zsig gen: signal generators and output modules.
//   zsig gen list
//   zsig gen set INDEX [--channel N] [--freq HZ] [--level V] [--units U] [--offset V]
//                      [--output on|off] [--load OHM] [--wave NAME] [--hold MS]
#include "commands.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace zsig {
namespace {

std::string genName(const zs::host::Library& lib, int32_t index) {
    ZS_WCHAR buffer[256];
    if (ZS_HOST_GET(lib, K427_GetGenName)(index, buffer, 256) <= 0) return {};
    return utf8(buffer);
}

int runList(Context& context) {
    const auto& lib = context.library();
    const int32_t count = ZS_HOST_GET(lib, K427_BuildGenList)();
    if (count == 0) {
        std::printf("no generators found\n");
        return 0;
    }
    std::printf("index  generator\n");
    for (int32_t i = 0; i < count; ++i) {
        const std::string name = genName(lib, i);
        std::printf("%5d  %s\n", i, name.empty() ? "(does not answer)" : name.c_str());
    }
    return 0;
}

struct SetOptions {
    std::string chosen; // "list" or "set"
    std::string index;
    int32_t channel = 0;
    std::optional<double> freq, level, offset;
    std::optional<std::string> units, output, load, wave;
    std::optional<int32_t> holdMs;
};

int32_t unitsCode(const std::string& text) {
    if (text == "rms" || text == "1") return 1;
    if (text == "pp" || text == "2") return 2;
    throw UsageError("--units takes rms or pp, not '" + text + "'");
}

int32_t outputCode(const std::string& text) {
    if (text == "on") return 1;
    if (text == "off") return 0;
    throw UsageError("--output takes on or off, not '" + text + "'");
}

double loadOhms(const std::string& text) {
    if (text == "inf") return -1.0;
    try {
        size_t used = 0;
        const double v = std::stod(text, &used);
        if (used == text.size()) return v;
    } catch (const std::exception&) {
    }
    throw UsageError("--load takes ohms or inf, not '" + text + "'");
}

int32_t waveCode(const std::string& text) {
    if (text == "sine") return 1;
    if (text == "square") return 2;
    if (text.size() == 1 && text[0] >= '1' && text[0] <= '5') return text[0] - '0';
    throw UsageError("--wave takes sine, square or 1..5, not '" + text + "'");
}

int runSet(Context& context, const SetOptions& o) {
    const int32_t index = parseIndex(o.index, "INDEX");
    if (index < 0) throw UsageError("INDEX is a position from 'zsig gen list'");
    if (o.channel < 0) throw UsageError("--channel counts from 0");
    // Check every value before anything reaches a generator.
    const int32_t units = o.units ? unitsCode(*o.units) : 0;
    const int32_t output = o.output ? outputCode(*o.output) : 0;
    const double load = o.load ? loadOhms(*o.load) : 0.0;
    const int32_t wave = o.wave ? waveCode(*o.wave) : 0;
    if (!o.freq && !o.level && !o.offset && !o.units && !o.output && !o.load && !o.wave)
        throw UsageError("gen set: nothing to set");

    const auto& lib = context.library();
    const int32_t count = ZS_HOST_GET(lib, K427_BuildGenList)();
    if (index >= count)
        throw Failure("no generator " + std::to_string(index) + " (" + std::to_string(count) +
                      " found)");
    const std::string name = genName(lib, index);
    const int32_t c = o.channel;

    int refused = 0;
    auto report = [&](int32_t result, const char* option, const std::string& value) {
        if (result) {
            std::printf("generator %d (%s), channel %d: %s %s set\n", index,
                        name.empty() ? "no name" : name.c_str(), c, option + 2, value.c_str());
        } else {
            std::fprintf(stderr, "zsig: generator %d, channel %d refused %s %s\n", index, c, option,
                         value.c_str());
            ++refused;
        }
    };
    auto text = [](double v) {
        char b[64];
        std::snprintf(b, sizeof b, "%g", v);
        return std::string(b);
    };
    if (o.freq)
        report(ZS_HOST_GET(lib, K427_GenSetFreq)(index, *o.freq, c), "--freq", text(*o.freq));
    // The unit before the amplitude, which some generators read in the unit last set.
    if (o.units) report(ZS_HOST_GET(lib, K427_GenSetUnits)(index, units, c), "--units", *o.units);
    if (o.level)
        report(ZS_HOST_GET(lib, K427_GenSetLevel)(index, *o.level, c), "--level", text(*o.level));
    if (o.offset)
        report(ZS_HOST_GET(lib, K427_GenSetOffset)(index, *o.offset, c), "--offset",
               text(*o.offset));
    if (o.load) report(ZS_HOST_GET(lib, K427_GenSetOutputLoad)(index, load, c), "--load", *o.load);
    if (o.wave) report(ZS_HOST_GET(lib, K427_GenSetSignalType)(index, wave, c), "--wave", *o.wave);
    if (o.output)
        report(ZS_HOST_GET(lib, K427_GenSetOutputState)(index, output, c), "--output", *o.output);

    // Output modules take settings from their own status packets, while the library holds
    // them open: give them that time before the library is unloaded.
    const bool module = name.find("BRV-AX-410") != std::string::npos;
    const int32_t hold = o.holdMs ? *o.holdMs : (module ? 1000 : 0);
    if (hold > 0) std::this_thread::sleep_for(std::chrono::milliseconds(hold));
    return refused ? 1 : 0;
}

} // namespace

void addGenCommand(CLI::App& app, Context& context) {
    auto o = std::make_shared<SetOptions>();
    CLI::App* gen =
        context.command(app, "gen", "Signal generators and output modules", [o](Context& c) -> int {
            if (o->chosen == "list") return runList(c);
            return runSet(c, *o);
        });
    gen->require_subcommand(1);
    gen->add_subcommand("list", "List the generators found, by index")->callback([o] {
        o->chosen = "list";
    });
    CLI::App* set = gen->add_subcommand("set", "Set one generator; a refused setting fails");
    set->callback([o] { o->chosen = "set"; });
    set->add_option("INDEX", o->index, "Generator index from 'zsig gen list'")->required();
    set->add_option("--channel", o->channel, "Channel, from 0")->capture_default_str();
    set->add_option("--freq", o->freq, "Frequency in Hz");
    set->add_option("--level", o->level, "Amplitude in volts of the current unit");
    set->add_option("--units", o->units, "Amplitude unit: rms or pp");
    set->add_option("--offset", o->offset, "Offset in volts");
    set->add_option("--output", o->output, "Output on or off");
    set->add_option("--load", o->load, "Output load in ohms, or inf");
    set->add_option("--wave", o->wave, "Waveform: sine, square or 1..5");
    set->add_option("--hold", o->holdMs,
                    "Keep the generator open this many ms afterwards (default 1000 for output "
                    "modules, else 0)");
}

} // namespace zsig
