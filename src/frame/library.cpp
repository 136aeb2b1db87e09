#include "frame/library.h"
#include "platform/sockets.h"

namespace zs::frame {
namespace {
LibraryState* g_state = nullptr;
}

LibraryState::LibraryState() : winUsb(transport::bindWinUsb()) {}

LibraryState::~LibraryState() {
    if (socketsStarted) platform::socketsCleanup();
}

void libraryLoad() {
    if (g_state) return;
    auto state = std::make_unique<LibraryState>();
    state->socketsStarted = platform::socketsStartup();
    state->spectrum.fill();
    g_state = state.release();
}

void libraryUnload() {
    delete g_state;
    g_state = nullptr;
}

bool libraryLoaded() { return g_state != nullptr; }

LibraryState& lib() { return *g_state; }

} // namespace zs::frame
