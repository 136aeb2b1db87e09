// Tele mode and virtual devices.
#include "api/guard.h"
#include "discovery/tele_mode.h"
#include "zentrel_signal.h"

using namespace zs;
using frame::LibraryState;

extern "C" {

ZS_EXPORT int32_t ZS_CALL TurnOnTele(int32_t mode) {
    return ZS_EXPORT_CALL(mode).run([&]() -> int32_t {
        return api::guarded<int32_t>(0, [&](LibraryState&) { return discovery::turnOnTele(mode); });
    });
}

ZS_EXPORT int32_t ZS_CALL TurnOffTele(void) {
    return ZS_EXPORT_CALL().run([&]() -> int32_t {
        return api::guarded<int32_t>(0, [](LibraryState&) { return discovery::turnOffTele(); });
    });
}

ZS_EXPORT void ZS_CALL K427_Configure(uint32_t index, double* buffer, int32_t length) {
    ZS_EXPORT_CALL(index, buffer, length).run([&] {
        api::guardedVoid(
            [&](LibraryState&) { discovery::configureSignalBuffer(index, buffer, length); });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_SelectVirtualDevice(uint32_t index, int32_t program) {
    return ZS_EXPORT_CALL(index, program).run([&]() -> int32_t {
        return api::guarded<int32_t>(
            0, [&](LibraryState&) { return discovery::selectVirtualDevice(index, program); });
    });
}

ZS_EXPORT void ZS_CALL K427_SwitchOffVirtualDevice(uint32_t index) {
    ZS_EXPORT_CALL(index).run([&] {
        api::guardedVoid([&](LibraryState&) { discovery::switchOffVirtualDevice(index); });
    });
}

} // extern "C"
