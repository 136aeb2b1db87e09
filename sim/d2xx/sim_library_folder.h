#pragma once
#include <filesystem>

namespace zs::sim {
// The folder of the simulator library itself, where the description source of its
// instruments lies.
std::filesystem::path simLibraryFolder();
// Plugs in the instruments ZS_SIM_D2XX names, once, before the first driver call sees devices.
void plugFromEnvironment();
} // namespace zs::sim
