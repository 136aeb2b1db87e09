#pragma once
#include "commands.h"

#include <string>

namespace zsig {

// Where zsig looks for instruments: USB (the default), one Wi-Fi instrument, or Ethernet
// instruments at an address (empty: every adapter's broadcast address).
struct ListRequest {
    bool wifi = false;
    bool ethernet = false;
    std::string address;
};

// Builds the library's device list as requested; the number of devices listed.
int buildDeviceList(const zs::host::Library& lib, const ListRequest& request);
// The link name shown for the devices of a request.
const char* linkName(const ListRequest& request);

// The device table: its heading, and one line per device of positions first..end-1 (index,
// type, serial number, channels, `link`, online state).
void printDeviceHeading();
void printDevices(const zs::host::Library& lib, int first, int end, const char* link);

// zsig list: one line per instrument, then the list is freed; Failure when none was found.
int runList(const zs::host::Library& lib, const ListRequest& request);

// The --wifi and --eth options of a command that builds the device list.
void addLinkOptions(CLI::App& command, ListRequest& request);

} // namespace zsig
