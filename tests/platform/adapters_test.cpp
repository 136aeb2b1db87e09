#include "platform/adapters.h"

#include <gtest/gtest.h>

namespace zs::test {
namespace {

using platform::AdapterAddress;

TEST(Adapters, DirectedBroadcastSetsTheHostBits) {
    struct Case {
        AdapterAddress adapter;
        uint32_t broadcast;
    };
    for (const Case& c :
         {Case{{0x7F000001, 0xFF000000}, 0x7FFFFFFF}, Case{{0xC0A80A07, 0xFFFFFF00}, 0xC0A80AFF},
          Case{{0x0A010203, 0xFFFF0000}, 0x0A01FFFF}, Case{{0x7F000009, 0xFFFFFFFF}, 0x7F000009}})
        EXPECT_EQ(platform::directedBroadcast(c.adapter), c.broadcast);
}

TEST(Adapters, InstalledTableReplacesTheSystemsUntilRemoved) {
    const std::vector<AdapterAddress> table = {{0x7F000001, 0xFF000000}};
    platform::installAdapterTableForTests(&table);
    const auto seen = platform::adapterTable();
    platform::installAdapterTableForTests(nullptr);
    ASSERT_TRUE(seen.has_value());
    ASSERT_EQ(seen->size(), 1u);
    EXPECT_EQ((*seen)[0].address, 0x7F000001u);
    EXPECT_EQ((*seen)[0].mask, 0xFF000000u);
}

// The machine's own table is only listed: nothing is sent to its adapters.
TEST(Adapters, SystemTableListsIPv4AdaptersWithPrefixMasks) {
    const auto table = platform::systemAdapterTable();
#ifndef _WIN32
    ASSERT_TRUE(table.has_value());
    bool loopback = false;
    for (const auto& a : *table)
        loopback = loopback || (a.address == 0x7F000001 && a.mask == 0xFF000000);
    EXPECT_TRUE(loopback);
#endif
    if (!table) return; // Windows lists no loopback adapter and may have none at all
    for (const auto& a : *table) {
        const uint32_t hostBits = ~a.mask;
        EXPECT_EQ(hostBits & (hostBits + 1), 0u) << std::hex << a.mask;
    }
}

} // namespace
} // namespace zs::test
