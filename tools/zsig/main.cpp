// zsig: a command-line host program on the library's exports, loading it by name.
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>

#include "hostlib/zs_host.h"

namespace {

void usage(FILE* out) {
    std::fprintf(out, "usage: zsig <command> [options]\n"
                      "\n"
                      "commands:\n"
                      "  demo      show the library against the bundled simulated instruments\n"
                      "  version   print the library version\n"
                      "\n"
                      "options:\n"
                      "  --library PATH   load the library from PATH instead of by name\n"
                      "  -h, --help       show this help\n");
}

int cmdVersion(const zs::host::Library& lib) {
    const int32_t v = ZS_HOST_GET(lib, K427_GetLibraryVersion)();
    std::printf("%d.%d (0x%08X, %d)\n", v >> 16, v & 0xFFFF, static_cast<unsigned>(v), v);
    return 0;
}

int cmdDemo(const zs::host::Library& lib) {
    std::printf("ZentrelSignal demo\n");
    std::printf("  library version   : ");
    cmdVersion(lib);
    const auto desc = std::filesystem::path(zs::host::Library::programDirectory()) / "TeleDescFile.bin";
    std::printf("  description file  : %s\n",
                std::filesystem::exists(desc) ? "TeleDescFile.bin beside the library" : "missing");
    std::printf("  devices           : %d\n", ZS_HOST_GET(lib, K427_GetDeviceCount)());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string command, libraryPath;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "--help")) {
            usage(stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--library") && i + 1 < argc) {
            libraryPath = argv[++i];
        } else if (command.empty()) {
            command = argv[i];
        } else {
            std::fprintf(stderr, "zsig: unexpected argument '%s'\n", argv[i]);
            return 2;
        }
    }
    if (command.empty()) {
        usage(stderr);
        return 2;
    }
    try {
        zs::host::Library lib(libraryPath);
        if (command == "demo") return cmdDemo(lib);
        if (command == "version") return cmdVersion(lib);
        std::fprintf(stderr, "zsig: unknown command '%s' (see zsig --help)\n", command.c_str());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zsig: %s\n", e.what());
        return 1;
    }
}
