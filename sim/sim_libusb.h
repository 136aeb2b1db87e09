#pragma once
// A stand-in for libusb-1.0 on the simulated WinUSB devices: each is a device with one
// vendor-class interface carrying the instruments' bulk pipes, and every transfer becomes the
// WinUSB pipe call with the same effect, completed through libusb's event handling, so the
// simulated instruments see a libusb host exactly as they see a WinUSB one.
#ifndef _WIN32
#include "transport/linux/libusb.h"

#include <cstdint>
#include <string>

namespace zs::sim {

// The functions, for winUsbOnLibUsb and for the shared library that exports them by name.
const transport::LibUsb& simLibUsb();

// What the stand-in's devices identify as: pid.codes' vendor id with one of its test products.
inline constexpr uint16_t kSimUsbVendor = 0x1209;
inline constexpr uint16_t kSimUsbProduct = 0x0001;

// A kernel driver bound to the device's interface (until it is detached); how many times
// one was detached from it.
void simUsbBindKernelDriver(const std::u16string& path);
uint32_t simUsbDetaches(const std::u16string& path);
// Forgets the kernel drivers and the counts.
void simUsbReset();

} // namespace zs::sim
#endif
