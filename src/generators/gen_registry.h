#pragma once
#include "frame/library.h"
#include "generators/gen_device.h"

#include <string>
#include <vector>

namespace zs::generators {

// The names of every generator that answers, in list order: serial ports (by path text),
// VISA USB instruments, sync-packet modules ("DIN_" + serial number), tagged-packet modules
// ("DOUT_" + serial number). `probe` is a generator object used for VISA and the parsers.
std::vector<std::string> scanGenerators(GenDevice& probe);

// Closes and drops the list, scans, and fills it with closed generators. Returns the count.
int32_t buildGenList(frame::GeneratorList& list);

// The generator at a position of the list (walked like a device position), or null.
GenDevice* findGenerator(frame::GeneratorList& list, int32_t index);

} // namespace zs::generators
