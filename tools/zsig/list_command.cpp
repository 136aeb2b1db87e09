// zsig list: builds the device list (USB, or one Wi-Fi instrument, or the Ethernet ones)
// and shows one line per instrument.
#include "list_command.h"

#include <cstdio>
#include <stdexcept>

namespace zsig {

namespace {
std::u16string wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}
const ZS_WCHAR* c(const std::u16string& text) {
    return reinterpret_cast<const ZS_WCHAR*>(text.c_str());
}
} // namespace

int buildDeviceList(const zs::host::Library& lib, const ListRequest& request) {
    if (request.wifi) {
        const std::u16string address = wide(request.address);
        int32_t index = -1;
        if (!ZS_HOST_GET(lib, K427_AttachWiFiDevice)(nullptr, c(address), &index))
            throw std::runtime_error("no Wi-Fi instrument answered at " + request.address);
    } else if (request.ethernet) {
        const std::u16string address = wide(request.address);
        int32_t index = -1;
        ZS_HOST_GET(lib, K427_AttachEthDevice)
        (request.address.empty() ? nullptr : c(address), &index);
    } else {
        ZS_HOST_GET(lib, K427_BuildFList)();
    }
    return ZS_HOST_GET(lib, K427_GetDeviceCount)();
}

const char* linkName(const ListRequest& request) {
    return request.wifi ? "Wi-Fi" : request.ethernet ? "Ethernet" : "USB";
}

int runList(const zs::host::Library& lib, const ListRequest& request) {
    const int count = buildDeviceList(lib, request);
    if (count == 0) {
        std::fprintf(stderr, "zsig: no instruments found\n");
        ZS_HOST_GET(lib, K427_FreeFList)();
        return 1;
    }
    std::printf("%-5s  %-5s  %-10s  %-8s  %-8s  %s\n", "index", "type", "serial", "channels",
                "link", "online");
    for (int i = 0; i < count; ++i) {
        const int32_t vin = ZS_HOST_GET(lib, K427_GetDeviceVIN)(i);
        char serial[16];
        if (vin == -1)
            std::snprintf(serial, sizeof serial, "-");
        else
            std::snprintf(serial, sizeof serial, "%u", static_cast<unsigned>(vin));
        std::printf("%-5d  %-5d  %-10s  %-8d  %-8s  %s\n", i,
                    ZS_HOST_GET(lib, K427_GetDeviceType)(i), serial,
                    ZS_HOST_GET(lib, K427_GetChannelN)(i), linkName(request),
                    ZS_HOST_GET(lib, K427_IsDeviceOnLine)(i) ? "yes" : "no");
    }
    ZS_HOST_GET(lib, K427_FreeFList)();
    return 0;
}

} // namespace zsig
