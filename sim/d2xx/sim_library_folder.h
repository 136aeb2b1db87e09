#pragma once
#include <filesystem>

namespace zs::sim {
// The folder of the simulator library itself, where the description source of its
// instruments lies.
std::filesystem::path simLibraryFolder();
} // namespace zs::sim
