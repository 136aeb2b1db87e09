#pragma once

namespace zs::frame {

// Reads the description once more, the first time device or file work needs it.
void ensureDescriptionLoaded();

} // namespace zs::frame
