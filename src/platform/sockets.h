#pragma once

namespace zs::platform {

// Windows Sockets 2.2 start-up and clean-up; nothing to do elsewhere.
bool socketsStartup();
void socketsCleanup();

} // namespace zs::platform
