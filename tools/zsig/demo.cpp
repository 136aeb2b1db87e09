// zsig demo: what the library does, against the simulated instruments and sample files
// that lie beside it.
#include "commands.h"

#include <cstdio>
#include <filesystem>

namespace zsig {

int runDemo(const zs::host::Library& lib, const Options& options) {
    const std::filesystem::path dir = zs::host::Library::programDirectory();
    const int32_t v = ZS_HOST_GET(lib, K427_GetLibraryVersion)();
    std::printf("ZentrelSignal demo\n");
    std::printf("  library version   : %d.%d (%d)\n", v >> 16, v & 0xFFFF, v);
    std::printf("  description file  : %s\n", std::filesystem::exists(dir / "TeleDescFile.bin")
                                                  ? "TeleDescFile.bin beside the library"
                                                  : "missing");
    std::printf("  devices           : %d\n", ZS_HOST_GET(lib, K427_GetDeviceCount)());
    runGenDemo(lib);

    const auto sample = dir / "samples" / "sample-current.bin";
    if (std::filesystem::exists(sample)) {
        std::printf(
            "\nA recorded file, through K427_OpenFile / K427_SetToRecord / K427_GetData:\n");
        Options file = options;
        file.args = {sample.string()};
        file.record = 0;
        file.limit = 12;
        return runFile(lib, file);
    }
    return 0;
}

} // namespace zsig
