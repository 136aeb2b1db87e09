#include "api/guard.h"
#include "frame/lookup.h"
#include "zentrel_signal.h"

using namespace zs;

extern "C" {

ZS_EXPORT int32_t ZS_CALL K427_GetLibraryVersion(void) {
    return ZS_EXPORT_CALL().run([&]() -> int32_t { return 0x0002000B; });
}

ZS_EXPORT int32_t ZS_CALL K427_GetDeviceCount(void) {
    return ZS_EXPORT_CALL().run([&]() -> int32_t {
        return api::guarded<int32_t>(
            0, [](frame::LibraryState& s) { return static_cast<int32_t>(s.devices.size()); });
    });
}

ZS_EXPORT int32_t ZS_CALL GetTeleType(void) {
    return ZS_EXPORT_CALL().run([&]() -> int32_t {
        return api::guarded<int32_t>(-1, [](frame::LibraryState& s) {
            auto* first = frame::findFirst(s.devices);
            return first ? (*first)->sMode : -1;
        });
    });
}

} // extern "C"
