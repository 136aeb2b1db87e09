// zsig: a command-line host program on the library's exports, loading it by name.
#include "commands.h"
#include "platform/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

namespace zsig {

std::string utf8(const ZS_WCHAR* text) {
    std::u16string s;
    for (; text && *text; ++text) s += static_cast<char16_t>(*text);
    return zs::platform::utf8FromUtf16(s);
}

} // namespace zsig

namespace {

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: zsig <command> [options]\n"
                 "\n"
                 "commands:\n"
                 "  demo                 the library against the bundled simulated instruments\n"
                 "  version              the library version\n"
                 "  file PATH            a recorded measurement file's decoded values\n"
                 "      --csv | --json   output as CSV or JSON instead of a table\n"
                 "      --record N       only record N (from 0)\n"
                 "  gen list             signal generators and output modules found\n"
                 "  gen set INDEX ...    set a generator (see zsig gen --help)\n"
                 "\n"
                 "options:\n"
                 "  --library PATH       load the library from PATH instead of by name\n"
                 "  -h, --help           show this help\n");
}

int runVersion(const zs::host::Library& lib) {
    const int32_t v = ZS_HOST_GET(lib, K427_GetLibraryVersion)();
    std::printf("%d.%d (0x%08X, %d)\n", v >> 16, v & 0xFFFF, static_cast<unsigned>(v), v);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && !std::strcmp(argv[1], "gen")) {
        try {
            return zsig::runGen(argc - 2, argv + 2);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "zsig: %s\n", e.what());
            return 1;
        }
    }
    zsig::Options o;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
            usage(stdout);
            return 0;
        }
        if (!std::strcmp(a, "--library") || !std::strcmp(a, "--record")) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "zsig: %s needs a value\n", a);
                return 2;
            }
            const char* value = argv[++i];
            if (!std::strcmp(a, "--library")) {
                o.libraryPath = value;
            } else {
                char* end = nullptr;
                o.record = std::strtol(value, &end, 10);
                if (!*value || *end || o.record < 0) {
                    std::fprintf(stderr, "zsig: --record takes a record number, not '%s'\n", value);
                    return 2;
                }
            }
        } else if (!std::strcmp(a, "--csv")) {
            o.csv = true;
        } else if (!std::strcmp(a, "--json")) {
            o.json = true;
        } else if (a[0] == '-' && a[1] == '-') {
            std::fprintf(stderr, "zsig: unknown option '%s' (see zsig --help)\n", a);
            return 2;
        } else if (o.command.empty()) {
            o.command = a;
        } else {
            o.args.emplace_back(a);
        }
    }
    if (o.csv && o.json) {
        std::fprintf(stderr, "zsig: choose one of --csv and --json\n");
        return 2;
    }
    if (o.command.empty()) {
        usage(stderr);
        return 2;
    }
    try {
        zs::host::Library lib(o.libraryPath);
        if (o.command == "demo") return zsig::runDemo(lib, o);
        if (o.command == "version") return runVersion(lib);
        if (o.command == "file") return zsig::runFile(lib, o);
        std::fprintf(stderr, "zsig: unknown command '%s' (see zsig --help)\n", o.command.c_str());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zsig: %s\n", e.what());
        return 1;
    }
}
