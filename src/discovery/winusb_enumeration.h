#pragma once
#include "frame/dev_struct.h"

#include <memory>

namespace zs::discovery {

// Finds, opens and identifies the WinUSB instruments. With a record given, the instrument
// found is bound to it instead of being appended to the device list.
void enumerateWinUsb(const std::shared_ptr<frame::DevStruct>& given = nullptr);

} // namespace zs::discovery
