#pragma once
#include <string>
#include <vector>

namespace zsig {

// A USB driver library the ZentrelSignal library has loaded into this process: which
// instruments it serves ("FTDI", "WinUSB"), the binding ("D2XX", "libftdi1", "libusb-1.0",
// "WinUSB") and the file it was loaded from.
struct UsbDriver {
    std::string link, binding, path;
};

// The driver libraries loaded now (after a list build has bound them), FTDI first.
std::vector<UsbDriver> loadedUsbDrivers();

// One line for the user: the bindings used, or why there is none for FTDI instruments.
std::string describeUsbDrivers(const std::vector<UsbDriver>& drivers);

} // namespace zsig
