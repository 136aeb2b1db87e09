#pragma once
#include <cstdint>

namespace zs::frame {

// One open recorded file, held by value in the file list.
struct FileStruct {
    uint32_t fileId = 0;
};

} // namespace zs::frame
