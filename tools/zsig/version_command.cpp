// zsig version: the library's version.
#include "commands.h"

#include <cstdio>

namespace zsig {

void addVersionCommand(CLI::App& app, Context& context) {
    context.command(app, "version", "Print the library's version", [](Context& c) {
        const int32_t v = ZS_HOST_GET(c.library(), K427_GetLibraryVersion)();
        std::printf("%d.%d (0x%08X, %d)\n", v >> 16, v & 0xFFFF, static_cast<unsigned>(v), v);
        return 0;
    });
}

} // namespace zsig
