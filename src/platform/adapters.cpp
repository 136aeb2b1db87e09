#include "platform/adapters.h"

#include <atomic>

namespace zs::platform {
namespace {
std::atomic<const std::vector<AdapterAddress>*> g_installed{nullptr};
}

std::optional<std::vector<AdapterAddress>> adapterTable() {
    if (const auto* table = g_installed.load(std::memory_order_acquire)) return *table;
    return systemAdapterTable();
}

void installAdapterTableForTests(const std::vector<AdapterAddress>* table) {
    g_installed.store(table, std::memory_order_release);
}

} // namespace zs::platform
