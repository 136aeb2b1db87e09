#pragma once
// The WinUSB roles on libusb-1.0, for the WinUSB-class instruments on Linux. The few libusb
// types and functions used are declared here as libusb's ABI defines them, so that nothing of
// libusb is needed to build.
#include "transport/winusb_binding.h"

#include <cstdint>
#include <optional>
#include <sys/types.h>

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

struct libusb_device_descriptor {
    uint8_t bLength, bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass, bDeviceSubClass, bDeviceProtocol, bMaxPacketSize0;
    uint16_t idVendor, idProduct, bcdDevice;
    uint8_t iManufacturer, iProduct, iSerialNumber, bNumConfigurations;
};
struct libusb_endpoint_descriptor {
    uint8_t bLength, bDescriptorType, bEndpointAddress, bmAttributes;
    uint16_t wMaxPacketSize;
    uint8_t bInterval, bRefresh, bSynchAddress;
    const unsigned char* extra;
    int extra_length;
};
struct libusb_interface_descriptor {
    uint8_t bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints;
    uint8_t bInterfaceClass, bInterfaceSubClass, bInterfaceProtocol, iInterface;
    const libusb_endpoint_descriptor* endpoint;
    const unsigned char* extra;
    int extra_length;
};
struct libusb_interface {
    const libusb_interface_descriptor* altsetting;
    int num_altsetting;
};
struct libusb_config_descriptor {
    uint8_t bLength, bDescriptorType;
    uint16_t wTotalLength;
    uint8_t bNumInterfaces, bConfigurationValue, iConfiguration, bmAttributes, MaxPower;
    const libusb_interface* interfaces; // "interface" in libusb.h
    const unsigned char* extra;
    int extra_length;
};
struct libusb_transfer;
using libusb_transfer_cb_fn = void (*)(libusb_transfer*);
// Without the trailing isochronous packet descriptors, which bulk transfers do not have.
struct libusb_transfer {
    libusb_device_handle* dev_handle;
    uint8_t flags;
    unsigned char endpoint;
    unsigned char type;
    unsigned int timeout;
    int status;
    int length;
    int actual_length;
    libusb_transfer_cb_fn callback;
    void* user_data;
    unsigned char* buffer;
    int num_iso_packets;
};
struct libusb_timeval {
    long tv_sec;
    long tv_usec;
};

namespace zs::transport {

inline constexpr const char* kLibUsbLibraryName = "libusb-1.0.so.0";

// libusb's constants as far as they are used.
namespace usb {
inline constexpr unsigned char kTransferTypeBulk = 2;
inline constexpr int kCompleted = 0, kError = 1, kTimedOut = 2, kCancelled = 3, kStall = 4,
                     kNoDevice = 5, kOverflow = 6;
inline constexpr int kErrorNoDevice = -4, kErrorNotFound = -5, kErrorBusy = -6;
inline constexpr uint8_t kVendorClass = 0xFF;
} // namespace usb

// libusb's functions, one member each under the function's own name.
struct LibUsb {
    int (*libusb_init)(libusb_context**) = nullptr;
    void (*libusb_exit)(libusb_context*) = nullptr;
    ssize_t (*libusb_get_device_list)(libusb_context*, libusb_device***) = nullptr;
    void (*libusb_free_device_list)(libusb_device**, int unref) = nullptr;
    int (*libusb_get_device_descriptor)(libusb_device*, libusb_device_descriptor*) = nullptr;
    int (*libusb_get_active_config_descriptor)(libusb_device*,
                                               libusb_config_descriptor**) = nullptr;
    void (*libusb_free_config_descriptor)(libusb_config_descriptor*) = nullptr;
    uint8_t (*libusb_get_bus_number)(libusb_device*) = nullptr;
    uint8_t (*libusb_get_device_address)(libusb_device*) = nullptr;
    int (*libusb_open)(libusb_device*, libusb_device_handle**) = nullptr;
    void (*libusb_close)(libusb_device_handle*) = nullptr;
    int (*libusb_kernel_driver_active)(libusb_device_handle*, int interfaceNumber) = nullptr;
    int (*libusb_detach_kernel_driver)(libusb_device_handle*, int interfaceNumber) = nullptr;
    int (*libusb_claim_interface)(libusb_device_handle*, int interfaceNumber) = nullptr;
    int (*libusb_release_interface)(libusb_device_handle*, int interfaceNumber) = nullptr;
    libusb_transfer* (*libusb_alloc_transfer)(int isoPackets) = nullptr;
    void (*libusb_free_transfer)(libusb_transfer*) = nullptr;
    int (*libusb_submit_transfer)(libusb_transfer*) = nullptr;
    int (*libusb_cancel_transfer)(libusb_transfer*) = nullptr;
    int (*libusb_handle_events_timeout_completed)(libusb_context*, libusb_timeval*,
                                                  int* completed) = nullptr;
    int (*libusb_clear_halt)(libusb_device_handle*, unsigned char endpoint) = nullptr;
    // Optional (libusb 1.0.21): wakes the event thread at once when it is to end.
    void (*libusb_interrupt_event_handler)(libusb_context*) = nullptr;
};

// libusb bound by name (this library's folder first); nothing when it or a required function
// is missing. The library stays loaded for the rest of the process.
std::optional<LibUsb> bindLibUsb(const char* fileName = kLibUsbLibraryName);

// The WinUSB role table on `functions` (which must outlive it), with `bound` set; nothing
// when libusb cannot start. Interfaces of the instrument class are the vendor-class
// interfaces that have the instruments' bulk pipes; their path names the bus, address and
// interface number.
std::optional<WinUsbApi> winUsbOnLibUsb(const LibUsb& functions);

} // namespace zs::transport
