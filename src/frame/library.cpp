#include "frame/library.h"

#include "platform/dynlib.h"
#include "platform/sockets.h"
#include "platform/text.h"
#include "telemetry/description_file.h"
#include "trace/trace.h"

namespace zs::frame {
namespace {
LibraryState* g_state = nullptr;
}

LibraryState::LibraryState() = default;

bool LibraryState::useSockets() {
    if (!socketsStarted) socketsStarted = platform::socketsStartup();
    return socketsStarted;
}

LibraryState::~LibraryState() {
    // A host that unloads without freeing its list would leave I/O threads running on state
    // that is about to go: stop them first.
    for (auto& device : devices) {
        if (!device) continue;
        if (device->stopEvent) device->stopEvent->set();
        if (device->ioThread) device->ioThread->join();
    }
    // Hosts should close their files before unloading; streams still open are not leaked.
    for (auto& file : files)
        if (file.recordFile) std::fclose(file.recordFile);
    // Every socket is closed before Winsock is cleaned up.
    generators.clear();
    devices.clear();
    if (socketsStarted && !unloadingUnderLoaderLock) platform::socketsCleanup();
}

void libraryLoad() {
    if (g_state) return;
    auto state = std::make_unique<LibraryState>();
    // A missing or unreadable description leaves the table empty; devices then find no layout.
    const bool described =
        telemetry::loadTelemetryDescription(state->description, telemetry::kLoadLanguage);
    g_state = state.release();
    ZS_TRACE_LINE("library loaded from ",
                  platform::utf8FromUtf16(platform::ownModuleDirectory().u16string()), "; ",
                  telemetry::kDescriptionFileName,
                  described ? " read" : " missing or unreadable: no device will find its layout");
}

void libraryUnload(bool underLoaderLock) {
    if (!g_state) return;
    ZS_TRACE_LINE("library unloading");
    g_state->unloadingUnderLoaderLock = underLoaderLock;
    delete g_state;
    g_state = nullptr;
}

bool libraryLoaded() {
    return g_state != nullptr;
}

LibraryState& lib() {
    return *g_state;
}

} // namespace zs::frame
