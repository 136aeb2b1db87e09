// Device lists, reconnection and network attach.
#include "api/guard.h"
#include "discovery/network_attach.h"
#include "discovery/usb_lists.h"
#include "zentrel_signal.h"

using namespace zs;
using frame::LibraryState;

namespace {
const char16_t* text(const ZS_WCHAR* t) {
    return reinterpret_cast<const char16_t*>(t);
}
} // namespace

extern "C" {

ZS_EXPORT int32_t ZS_CALL K427_BuildFList(void) {
    return ZS_EXPORT_CALL().run([&]() -> int32_t {
        return api::guarded<int32_t>(0, [](LibraryState&) { return discovery::buildFList(); });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_BuildL700List(void) {
    return ZS_EXPORT_CALL().run([&]() -> int32_t {
        return api::guarded<int32_t>(0, [](LibraryState&) { return discovery::buildL700List(); });
    });
}

ZS_EXPORT int32_t ZS_CALL QM730_BuildQM730List(void) {
    return ZS_EXPORT_CALL().run([&]() -> int32_t {
        return api::guarded<int32_t>(0, [](LibraryState&) { return discovery::buildQM730List(); });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_FreeFList(void) {
    return ZS_EXPORT_CALL().run([&]() -> int32_t {
        return api::guarded<int32_t>(0, [](LibraryState&) {
            discovery::freeFList();
            return 0;
        });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_ReconnectDevice(int32_t index) {
    return ZS_EXPORT_CALL(index).run([&]() -> int32_t {
        return api::guarded<int32_t>(0, [&](LibraryState&) {
            return discovery::reconnectDevice(static_cast<uint32_t>(index));
        });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_ReconnectDeviceSoft(int32_t index) {
    return ZS_EXPORT_CALL(index).run([&]() -> int32_t {
        return api::guarded<int32_t>(0, [&](LibraryState&) {
            return discovery::reconnectDevice(static_cast<uint32_t>(index) | 0x80000000u);
        });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_AttachWiFiDevice(const ZS_WCHAR* localAddress,
                                                const ZS_WCHAR* deviceAddress, int32_t* index) {
    return ZS_EXPORT_CALL(api::hostText(localAddress), api::hostText(deviceAddress), index)
        .run([&]() -> int32_t {
            if (index) *index = -1;
            return api::guarded<int32_t>(0, [&](LibraryState&) {
                return discovery::attachWiFiDevice(text(localAddress), text(deviceAddress), index);
            });
        });
}

ZS_EXPORT int32_t ZS_CALL K427_AttachEthDevice(const ZS_WCHAR* address, int32_t* index) {
    return ZS_EXPORT_CALL(api::hostText(address), index).run([&]() -> int32_t {
        if (index) *index = -1;
        return api::guarded<int32_t>(
            0, [&](LibraryState&) { return discovery::attachEthDevice(text(address), index); });
    });
}

} // extern "C"
