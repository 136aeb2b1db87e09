#pragma once
// The D2XX roles on libftdi1, for Linux machines without the vendor's libftd2xx.so. The few
// libftdi types and functions used are declared here, as the library's ABI defines them, so
// that nothing of libftdi is needed to build.
#include "transport/d2xx.h"

#include <optional>

struct ftdi_context;
struct libusb_device;
struct ftdi_device_list {
    ftdi_device_list* next;
    libusb_device* dev;
};

namespace zs::transport {

inline constexpr const char* kLibFtdiLibraryName = "libftdi1.so.2";

// libftdi's functions, one member each under the function's own name.
struct LibFtdi {
    ftdi_context* (*ftdi_new)() = nullptr;
    void (*ftdi_free)(ftdi_context*) = nullptr;
    int (*ftdi_set_interface)(ftdi_context*, int interfaceIndex) = nullptr;
    int (*ftdi_usb_find_all)(ftdi_context*, ftdi_device_list**, int vendor, int product) = nullptr;
    void (*ftdi_list_free)(ftdi_device_list**) = nullptr;
    int (*ftdi_usb_get_strings)(ftdi_context*, libusb_device*, char* manufacturer, int,
                                char* description, int, char* serial, int) = nullptr;
    int (*ftdi_usb_open_dev)(ftdi_context*, libusb_device*) = nullptr;
    int (*ftdi_usb_close)(ftdi_context*) = nullptr;
    int (*ftdi_usb_reset)(ftdi_context*) = nullptr;
    int (*ftdi_set_baudrate)(ftdi_context*, int rate) = nullptr;
    int (*ftdi_set_line_property)(ftdi_context*, int bits, int stopBits, int parity) = nullptr;
    int (*ftdi_setflowctrl)(ftdi_context*, int flow) = nullptr;
    int (*ftdi_setdtr)(ftdi_context*, int state) = nullptr;
    int (*ftdi_set_event_char)(ftdi_context*, unsigned char, unsigned char enable) = nullptr;
    int (*ftdi_set_error_char)(ftdi_context*, unsigned char, unsigned char enable) = nullptr;
    int (*ftdi_set_bitmode)(ftdi_context*, unsigned char mask, unsigned char mode) = nullptr;
    int (*ftdi_set_latency_timer)(ftdi_context*, unsigned char ms) = nullptr;
    int (*ftdi_read_data)(ftdi_context*, unsigned char*, int) = nullptr;
    int (*ftdi_write_data)(ftdi_context*, const unsigned char*, int) = nullptr;
    // Optional (libftdi 1.5): XON/XOFF with the caller's characters.
    int (*ftdi_setflowctrl_xonxoff)(ftdi_context*, unsigned char xon, unsigned char xoff) = nullptr;
};

// libftdi bound by name (this library's folder first); nothing when it or a required function
// is missing. The library stays loaded for the rest of the process.
std::optional<LibFtdi> bindLibFtdi(const char* fileName = kLibFtdiLibraryName);

// The D2XX role table on `functions`, which must outlive every handle it opens. Handles are
// the binding's own; each open one has a reader thread that keeps the chip's data in a queue.
D2xxApi d2xxOnLibFtdi(const LibFtdi& functions);

} // namespace zs::transport
