#include "platform/adapters.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <string>

namespace zs::platform {

std::optional<std::vector<AdapterAddress>> systemAdapterTable() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    std::vector<AdapterAddress> table;
    std::vector<std::string> seen; // only an adapter's first IPv4 address counts
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_name) continue;
        bool known = false;
        for (const auto& name : seen) known = known || name == i->ifa_name;
        if (known) continue;
        seen.emplace_back(i->ifa_name);
        AdapterAddress a;
        a.address = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        if (i->ifa_netmask)
            a.mask = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
        table.push_back(a);
    }
    freeifaddrs(list);
    return table;
}

} // namespace zs::platform
