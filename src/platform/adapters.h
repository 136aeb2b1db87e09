#pragma once
#include <cstdint>
#include <optional>
#include <vector>

namespace zs::platform {

// The first IPv4 address of one network adapter and its mask, in host byte order.
struct AdapterAddress {
    uint32_t address = 0;
    uint32_t mask = 0;
};

// The directed broadcast address of the adapter's network.
inline uint32_t directedBroadcast(const AdapterAddress& a) {
    return a.address | ~a.mask;
}

// Every IPv4 adapter of the machine (GetAdaptersInfo on Windows, getifaddrs elsewhere), or
// the table installed for tests; nothing when the table cannot be read.
std::optional<std::vector<AdapterAddress>> adapterTable();

// Test seam (C++ only, never exported): the table adapterTable() returns from now on; null
// returns to the system's. The table must outlive its installation.
void installAdapterTableForTests(const std::vector<AdapterAddress>* table);

// The system's own table, bypassing the seam.
std::optional<std::vector<AdapterAddress>> systemAdapterTable();

} // namespace zs::platform
