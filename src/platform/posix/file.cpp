#include "platform/file.h"

namespace zs::platform {

std::FILE* openSharedForReading(const std::filesystem::path& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return nullptr;
    return std::fopen(path.c_str(), "rb");
}

} // namespace zs::platform
