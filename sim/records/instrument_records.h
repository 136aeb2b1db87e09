#pragma once
// Identification records of simulated instruments, built from the description source the
// library's description file was compiled from (TeleDescFile.json beside it).
#include "description_source.h"

#include <cstdint>
#include <filesystem>
#include <vector>

namespace zs::sim {

// The description read from `folder`/TeleDescFile.json once per process; throws when absent.
const zsdesc::Description& referenceDescription(const std::filesystem::path& folder = ".");

// The first record an instrument of `type` sends: its type, program and serial number, the
// rest of the layout's items as a quiet noise floor.
std::vector<uint8_t> identificationRecord(const zsdesc::Description& description, uint16_t type,
                                          uint16_t program, uint32_t serial);

} // namespace zs::sim
