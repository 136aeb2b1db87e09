#include <optional>

#include "platform/dynlib.h"
#include "transport/winusb_binding.h"

namespace zs::transport {
namespace {
std::optional<WinUsbApi>& testBinding() {
    static std::optional<WinUsbApi> binding;
    return binding;
}
} // namespace

void installWinUsbForTests(const WinUsbApi* api) {
    if (api)
        testBinding() = *api;
    else
        testBinding().reset();
}

WinUsbApi bindWinUsb() {
    if (testBinding()) return *testBinding();
    WinUsbApi api;
#ifdef _WIN32
    auto lib = platform::DynamicLibrary::open("winusb.dll");
    if (!lib) return api;
    lib->keepLoaded(); // bound once per process and never unloaded
    // The order of the look-ups is the order in which a missing entry point stops binding.
    if (!(api.free = reinterpret_cast<WinUsbApi::Free>(lib->symbol("WinUsb_Free")))) return {};
    if (!(api.initialize = reinterpret_cast<WinUsbApi::Initialize>(lib->symbol("WinUsb_Initialize"))))
        return {};
    if (!(api.readPipe = reinterpret_cast<WinUsbApi::Pipe>(lib->symbol("WinUsb_ReadPipe"))))
        return {};
    if (!(api.overlappedResult = reinterpret_cast<WinUsbApi::OverlappedResult>(
              lib->symbol("WinUsb_GetOverlappedResult"))))
        return {};
    if (!(api.writePipe = reinterpret_cast<WinUsbApi::Pipe>(lib->symbol("WinUsb_WritePipe"))))
        return {};
    if (!(api.queryPipe = reinterpret_cast<WinUsbApi::QueryPipe>(lib->symbol("WinUsb_QueryPipe"))))
        return {};
    api.bound = 1;
#endif
    return api;
}

} // namespace zs::transport
