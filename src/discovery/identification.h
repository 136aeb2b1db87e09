#pragma once
#include "frame/dev_struct.h"

#include <cstdint>

namespace zs::discovery {

// Finds the line rate and the identification record of every record of the device list that
// is not yet identified (linkState not -1), on the caller's thread. A record that fails is
// removed when `removeFailed`, else marked done when it keeps failures. `presetRate` nonzero
// skips the rate search. Returns the number of identification records applied.
int identifyDevices(bool removeFailed, uint32_t presetRate);

// Applies an identification record (type and program words first) read at `rate`.
void applyIdentificationAtRate(frame::DevStruct& device, uint32_t rate, const uint8_t* record,
                               uint32_t length);
// Applies an identification record of a sync-packet link, decoded without an end.
void applyIdentification(frame::DevStruct& device, const uint8_t* record, uint32_t length);

} // namespace zs::discovery
