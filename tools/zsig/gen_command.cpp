// zsig gen: signal generators and output modules.
//   zsig gen list
//   zsig gen set INDEX [--channel N] [--freq HZ] [--level V] [--units U] [--offset V]
//                      [--output on|off] [--load OHM] [--wave NAME] [--hold MS]
#include "commands.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

namespace zsig {
namespace {

void genUsage(FILE* out) {
    std::fprintf(out,
                 "usage: zsig gen list\n"
                 "       zsig gen set INDEX [--channel N] [--freq HZ] [--level V] [--units U]\n"
                 "                    [--offset V] [--output on|off] [--load OHM] [--wave NAME]\n"
                 "                    [--hold MS]\n"
                 "\n"
                 "  list            the generators found, by index\n"
                 "  set INDEX       settings of one generator (at least one is needed):\n"
                 "    --channel N   channel, from 0 (default 0)\n"
                 "    --freq HZ     frequency in Hz\n"
                 "    --level V     amplitude in volts of the current unit\n"
                 "    --units U     amplitude unit: rms or pp (or 1, 2)\n"
                 "    --offset V    offset in volts\n"
                 "    --output S    output on or off\n"
                 "    --load OHM    output load in ohms; inf (or a negative value) for high\n"
                 "                  impedance\n"
                 "    --wave NAME   waveform: sine or square, or its number (1..5)\n"
                 "    --hold MS     keep the generator open MS milliseconds afterwards (default:\n"
                 "                  1000 for output modules, which take settings from their\n"
                 "                  own status packets; 0 otherwise)\n"
                 "  --library PATH  load the library from PATH instead of by name\n");
}

bool parseDouble(const char* text, double& out) {
    char* end = nullptr;
    out = std::strtod(text, &end);
    return *text && !*end;
}

bool parseInt(const char* text, long& out) {
    char* end = nullptr;
    out = std::strtol(text, &end, 10);
    return *text && !*end;
}

std::string genName(const zs::host::Library& lib, int32_t index) {
    ZS_WCHAR buffer[256];
    if (ZS_HOST_GET(lib, K427_GetGenName)(index, buffer, 256) <= 0) return {};
    return utf8(buffer);
}

int runList(const zs::host::Library& lib) {
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

} // namespace

int runGen(int argc, char** argv) {
    if (argc < 1 || !std::strcmp(argv[0], "-h") || !std::strcmp(argv[0], "--help")) {
        genUsage(argc < 1 ? stderr : stdout);
        return argc < 1 ? 2 : 0;
    }
    const std::string sub = argv[0];
    std::string libraryPath;
    long index = -1;
    long channel = 0;
    std::optional<long> holdMs;
    struct Wanted {
        std::optional<double> freq, level, offset, load;
        std::optional<int32_t> units, output, wave;
    } want;
    const char* order[] = {"--freq", "--units", "--level", "--offset",
                           "--load", "--wave",  "--output"};
    std::string given[7];

    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
            genUsage(stdout);
            return 0;
        }
        if (a[0] != '-') {
            long v;
            if (sub != "set" || index >= 0 || !parseInt(a, v) || v < 0) {
                std::fprintf(stderr, "zsig gen: unexpected argument '%s' (see zsig gen --help)\n",
                             a);
                return 2;
            }
            index = v;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "zsig gen: %s needs a value\n", a);
            return 2;
        }
        const char* v = argv[++i];
        const std::string opt = a;
        bool ok = true;
        double d = 0;
        long n = 0;
        if (opt == "--library") {
            libraryPath = v;
        } else if (opt == "--channel") {
            ok = parseInt(v, n) && n >= 0;
            channel = n;
        } else if (opt == "--hold") {
            ok = parseInt(v, n) && n >= 0;
            holdMs = n;
        } else if (opt == "--freq" || opt == "--level" || opt == "--offset") {
            ok = parseDouble(v, d);
            (opt == "--freq" ? want.freq : opt == "--level" ? want.level : want.offset) = d;
        } else if (opt == "--load") {
            if (!std::strcmp(v, "inf"))
                want.load = -1.0;
            else if ((ok = parseDouble(v, d)))
                want.load = d;
        } else if (opt == "--units") {
            if (!std::strcmp(v, "rms") || !std::strcmp(v, "1"))
                want.units = 1;
            else if (!std::strcmp(v, "pp") || !std::strcmp(v, "2"))
                want.units = 2;
            else
                ok = false;
        } else if (opt == "--output") {
            if (!std::strcmp(v, "on"))
                want.output = 1;
            else if (!std::strcmp(v, "off"))
                want.output = 0;
            else
                ok = false;
        } else if (opt == "--wave") {
            if (!std::strcmp(v, "sine"))
                want.wave = 1;
            else if (!std::strcmp(v, "square"))
                want.wave = 2;
            else if ((ok = parseInt(v, n) && n >= 1 && n <= 5))
                want.wave = static_cast<int32_t>(n);
        } else {
            std::fprintf(stderr, "zsig gen: unknown option '%s' (see zsig gen --help)\n", a);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "zsig gen: %s does not take '%s' (see zsig gen --help)\n", a, v);
            return 2;
        }
        for (int k = 0; k < 7; ++k)
            if (opt == order[k]) given[k] = v;
    }

    if (sub != "list" && sub != "set") {
        std::fprintf(stderr, "zsig gen: unknown command '%s' (see zsig gen --help)\n", sub.c_str());
        return 2;
    }
    if (sub == "set") {
        if (index < 0) {
            std::fprintf(stderr, "zsig gen set: which generator? (an INDEX from zsig gen list)\n");
            return 2;
        }
        if (!want.freq && !want.level && !want.offset && !want.load && !want.units &&
            !want.output && !want.wave) {
            std::fprintf(stderr, "zsig gen set: nothing to set (see zsig gen --help)\n");
            return 2;
        }
    }

    zs::host::Library lib(libraryPath);
    if (sub == "list") return runList(lib);

    const int32_t count = ZS_HOST_GET(lib, K427_BuildGenList)();
    if (index >= count) {
        std::fprintf(stderr, "zsig gen set: no generator %ld (%d found)\n", index, count);
        return 1;
    }
    const auto g = static_cast<int32_t>(index);
    const auto c = static_cast<int32_t>(channel);
    const std::string name = genName(lib, g);
    // In the order of `order`: units before the amplitude, which some generators read in
    // the unit last set.
    const bool wanted[7] = {bool(want.freq), bool(want.units), bool(want.level), bool(want.offset),
                            bool(want.load), bool(want.wave),  bool(want.output)};
    auto apply = [&](int k) -> int32_t {
        switch (k) {
        case 0:
            return ZS_HOST_GET(lib, K427_GenSetFreq)(g, *want.freq, c);
        case 1:
            return ZS_HOST_GET(lib, K427_GenSetUnits)(g, *want.units, c);
        case 2:
            return ZS_HOST_GET(lib, K427_GenSetLevel)(g, *want.level, c);
        case 3:
            return ZS_HOST_GET(lib, K427_GenSetOffset)(g, *want.offset, c);
        case 4:
            return ZS_HOST_GET(lib, K427_GenSetOutputLoad)(g, *want.load, c);
        case 5:
            return ZS_HOST_GET(lib, K427_GenSetSignalType)(g, *want.wave, c);
        default:
            return ZS_HOST_GET(lib, K427_GenSetOutputState)(g, *want.output, c);
        }
    };
    int refused = 0;
    for (int k = 0; k < 7; ++k) {
        if (!wanted[k]) continue;
        if (apply(k)) {
            std::printf("generator %d (%s), channel %d: %s %s set\n", g,
                        name.empty() ? "no name" : name.c_str(), c, order[k] + 2, given[k].c_str());
        } else {
            std::fprintf(stderr, "zsig gen set: generator %d, channel %d refused %s %s\n", g, c,
                         order[k], given[k].c_str());
            ++refused;
        }
    }
    const bool module = name.find("BRV-AX-410") != std::string::npos;
    const long hold = holdMs ? *holdMs : (module ? 1000 : 0);
    if (hold > 0) std::this_thread::sleep_for(std::chrono::milliseconds(hold));
    return refused ? 1 : 0;
}

} // namespace zsig
