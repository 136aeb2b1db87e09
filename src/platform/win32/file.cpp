#include "platform/file.h"

#include <share.h>
#include <stdio.h>

namespace zs::platform {

std::FILE* openSharedForReading(const std::filesystem::path& path) {
    return _wfsopen(path.c_str(), L"rb", _SH_DENYNO);
}

} // namespace zs::platform
