#include "platform/adapters.h"

#include <cstdio>
#include <iphlpapi.h>
#include <windows.h>
#include <winsock2.h>

namespace zs::platform {
namespace {
uint32_t parseDotted(const char* text) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(text, "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return 0;
    return (a & 0xFF) << 24 | (b & 0xFF) << 16 | (c & 0xFF) << 8 | (d & 0xFF);
}
} // namespace

std::optional<std::vector<AdapterAddress>> systemAdapterTable() {
    ULONG size = 0;
    if (GetAdaptersInfo(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0) return std::nullopt;
    std::vector<unsigned char> buffer(size);
    auto* info = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    if (GetAdaptersInfo(info, &size) != NO_ERROR) return std::nullopt;
    std::vector<AdapterAddress> table;
    for (const IP_ADAPTER_INFO* i = info; i; i = i->Next)
        table.push_back({parseDotted(i->IpAddressList.IpAddress.String),
                         parseDotted(i->IpAddressList.IpMask.String)});
    return table;
}

} // namespace zs::platform
