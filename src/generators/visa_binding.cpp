#include "generators/visa_binding.h"

#include "platform/dynlib.h"

#include <atomic>

namespace zs::generators {
namespace {

std::atomic<const VisaApi*> g_installed{nullptr};

const std::optional<VisaApi>& production() {
    static const std::optional<VisaApi> bound = bindVisa();
    return bound;
}

} // namespace

std::optional<VisaApi> bindVisa(const char* fileName) {
    auto lib = platform::openVendorLibrary(fileName);
    if (!lib) return std::nullopt;
    VisaApi api;
    // In the order the calls are looked for; && stops at the first that is missing.
    lib->bind("viOpenDefaultRM", api.openDefaultRM) && lib->bind("viOpen", api.open) &&
        lib->bind("viClose", api.close) && lib->bind("viRead", api.read) &&
        lib->bind("viWrite", api.write) && lib->bind("viClear", api.clear) &&
        lib->bind("viFindRsrc", api.findRsrc) && lib->bind("viFindNext", api.findNext);
    lib->keepLoaded(); // sessions live in the driver for the rest of the process
    return api;
}

const VisaApi* visa() {
    const VisaApi* api = g_installed.load(std::memory_order_acquire);
    if (!api) {
        const auto& bound = production();
        api = bound ? &*bound : nullptr;
    }
    return api && api->complete() ? api : nullptr;
}

void installVisaForTests(const VisaApi* api) {
    g_installed.store(api, std::memory_order_release);
}

} // namespace zs::generators
