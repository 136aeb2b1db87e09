// zsig: a command-line host program on the library's exports, loading it by name.
#include "commands.h"
#include "list_command.h"
#include "platform/text.h"
#include "watch_command.h"

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
                 "  list                 the instruments found on USB, one line each\n"
                 "      --wifi ADDRESS   the Wi-Fi instrument at ADDRESS instead\n"
                 "      --eth [ADDRESS]  Ethernet instruments at ADDRESS (none: every adapter's\n"
                 "                       broadcast address) instead\n"
                 "  watch INDEX          live values of device INDEX (list options apply)\n"
                 "      --csv FILE       also log every record with its time to FILE\n"
                 "      --duration S     stop after S seconds (default: Ctrl-C)\n"
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
    zsig::Options o;
    zsig::WatchRequest watch;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
            usage(stdout);
            return 0;
        }
        const bool hasValue = i + 1 < argc && argv[i + 1][0] != '-';
        if (!std::strcmp(a, "--wifi") || !std::strcmp(a, "--duration") ||
            (!std::strcmp(a, "--csv") && o.command == "watch")) {
            if (!hasValue) {
                std::fprintf(stderr, "zsig: %s needs a value\n", a);
                return 2;
            }
            const std::string value = argv[++i];
            if (!std::strcmp(a, "--wifi")) {
                watch.list.wifi = true;
                watch.list.address = value;
            } else if (!std::strcmp(a, "--csv")) {
                watch.csvPath = value;
            } else {
                char* end = nullptr;
                watch.durationSeconds = std::strtod(value.c_str(), &end);
                if (*end || watch.durationSeconds <= 0) {
                    std::fprintf(stderr, "zsig: --duration takes seconds, not '%s'\n",
                                 value.c_str());
                    return 2;
                }
            }
            continue;
        }
        if (!std::strcmp(a, "--eth")) {
            watch.list.ethernet = true;
            if (hasValue && std::strchr(argv[i + 1], '.')) watch.list.address = argv[++i];
            continue;
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
        if (watch.list.wifi && watch.list.ethernet) {
            std::fprintf(stderr, "zsig: choose one of --wifi and --eth\n");
            return 2;
        }
        if (o.command == "list") return zsig::runList(lib, watch.list);
        if (o.command == "watch") {
            char* end = nullptr;
            if (o.args.size() != 1 || (watch.index = std::strtol(o.args[0].c_str(), &end, 10),
                                       *end || o.args[0].empty())) {
                std::fprintf(stderr, "usage: zsig watch INDEX [--wifi ADDRESS | --eth [ADDRESS]] "
                                     "[--csv FILE] [--duration S]\n");
                return 2;
            }
            return zsig::runWatch(lib, watch);
        }
        std::fprintf(stderr, "zsig: unknown command '%s' (see zsig --help)\n", o.command.c_str());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zsig: %s\n", e.what());
        return 1;
    }
}
