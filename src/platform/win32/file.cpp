#include <share.h>
#include <stdio.h>

#include "platform/file.h"

namespace zs::platform {

std::FILE* openSharedForReading(const std::filesystem::path& path) {
    return _wfsopen(path.c_str(), L"rb", _SH_DENYNO);
}

} // namespace zs::platform
