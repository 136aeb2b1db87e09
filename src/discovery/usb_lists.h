#pragma once
#include "transport/link_kind.h"

#include <cstdint>
#include <optional>
#include <string>

namespace zs::discovery {

// How an accepted FTDI device is driven.
struct FtdiKind {
    transport::LinkKind linkKind;
    bool multiDout;
};

// The kind code of a stored USB description: 0..5, or -1 when the USB list builder does not
// know it.
int descriptionKindCode(const std::string& description);
// Whether the USB list builder takes the device, and as which link kind.
std::optional<FtdiKind> classifyFtdi(const std::string& description, const std::string& serial);

// The list builders: open every FTDI device whose description they accept, append it,
// identify the new records and start them. Each returns the size of the device list, or 0.
int buildFList();
int buildL700List();
int buildQM730List();

// Stops every I/O thread, switches every instrument's stream off and empties the list.
void freeFList();

// Re-identifies the device at list position `index` (bit 31: soft, keeping the FTDI handle)
// and restarts it; 1 on success, 0 on failure. The record keeps its position.
int reconnectDevice(uint32_t index);

} // namespace zs::discovery
