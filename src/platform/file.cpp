#include "platform/file.h"

namespace zs::platform {

bool seekTo(std::FILE* file, int32_t offset) {
    return offset >= 0 && std::fseek(file, offset, SEEK_SET) == 0;
}

int32_t seekToEnd(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) return -1;
    const long position = std::ftell(file);
    return position < 0 || position > INT32_MAX ? -1 : static_cast<int32_t>(position);
}

} // namespace zs::platform
