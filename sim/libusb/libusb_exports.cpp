// The libusb-1.0 stand-in as a shared library under libusb's file name, exporting libusb's
// function names, so the shipped library binds it as it binds the real one. The ZsSimUsb_
// functions let a test that loaded it plug WinUSB instruments in and read what they saw.
#include "instrument_records.h"
#include "plugged_instruments.h"
#include "sim_export.h"
#include "sim_library_folder.h"
#include "sim_libusb.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

using zs::sim::PluggedWinUsb;
using zs::sim::SimWinUsb;
using zs::transport::LibUsb;

namespace {

std::mutex g_mutex;
std::vector<PluggedWinUsb>& plugged() {
    static std::vector<PluggedWinUsb> all;
    return all;
}

bool plug(const char* text) {
    try {
        auto added = zs::sim::plugWinUsbInstruments(
            text, zs::sim::referenceDescription(zs::sim::simLibraryFolder()));
        if (!added) return false;
        std::lock_guard lock(g_mutex);
        for (auto& p : *added) plugged().push_back(std::move(p));
        return true;
    } catch (const std::exception&) {
        return false; // no description source beside the library
    }
}

// The instruments named by ZS_SIM_WINUSB are plugged in before the first call sees devices.
const LibUsb& f() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (const char* text = std::getenv("ZS_SIM_WINUSB")) plug(text);
    });
    return zs::sim::simLibUsb();
}

std::u16string wide(const char* path) {
    const std::string narrow = path ? path : "";
    return std::u16string(narrow.begin(), narrow.end());
}

} // namespace

SIM_EXPORT int libusb_init(libusb_context** ctx) {
    return f().libusb_init(ctx);
}
SIM_EXPORT void libusb_exit(libusb_context* ctx) {
    f().libusb_exit(ctx);
}
SIM_EXPORT ssize_t libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    return f().libusb_get_device_list(ctx, list);
}
SIM_EXPORT void libusb_free_device_list(libusb_device** list, int unref) {
    f().libusb_free_device_list(list, unref);
}
SIM_EXPORT int libusb_get_device_descriptor(libusb_device* d, libusb_device_descriptor* out) {
    return f().libusb_get_device_descriptor(d, out);
}
SIM_EXPORT int libusb_get_active_config_descriptor(libusb_device* d,
                                                   libusb_config_descriptor** config) {
    return f().libusb_get_active_config_descriptor(d, config);
}
SIM_EXPORT void libusb_free_config_descriptor(libusb_config_descriptor* config) {
    f().libusb_free_config_descriptor(config);
}
SIM_EXPORT uint8_t libusb_get_bus_number(libusb_device* d) {
    return f().libusb_get_bus_number(d);
}
SIM_EXPORT uint8_t libusb_get_device_address(libusb_device* d) {
    return f().libusb_get_device_address(d);
}
SIM_EXPORT int libusb_open(libusb_device* d, libusb_device_handle** h) {
    return f().libusb_open(d, h);
}
SIM_EXPORT void libusb_close(libusb_device_handle* h) {
    f().libusb_close(h);
}
SIM_EXPORT int libusb_kernel_driver_active(libusb_device_handle* h, int number) {
    return f().libusb_kernel_driver_active(h, number);
}
SIM_EXPORT int libusb_detach_kernel_driver(libusb_device_handle* h, int number) {
    return f().libusb_detach_kernel_driver(h, number);
}
SIM_EXPORT int libusb_claim_interface(libusb_device_handle* h, int number) {
    return f().libusb_claim_interface(h, number);
}
SIM_EXPORT int libusb_release_interface(libusb_device_handle* h, int number) {
    return f().libusb_release_interface(h, number);
}
SIM_EXPORT libusb_transfer* libusb_alloc_transfer(int isoPackets) {
    return f().libusb_alloc_transfer(isoPackets);
}
SIM_EXPORT void libusb_free_transfer(libusb_transfer* t) {
    f().libusb_free_transfer(t);
}
SIM_EXPORT int libusb_submit_transfer(libusb_transfer* t) {
    return f().libusb_submit_transfer(t);
}
SIM_EXPORT int libusb_cancel_transfer(libusb_transfer* t) {
    return f().libusb_cancel_transfer(t);
}
SIM_EXPORT int libusb_handle_events_timeout_completed(libusb_context* ctx, libusb_timeval* tv,
                                                      int* completed) {
    return f().libusb_handle_events_timeout_completed(ctx, tv, completed);
}
SIM_EXPORT int libusb_clear_halt(libusb_device_handle* h, unsigned char endpoint) {
    return f().libusb_clear_halt(h, endpoint);
}
SIM_EXPORT void libusb_interrupt_event_handler(libusb_context* ctx) {
    f().libusb_interrupt_event_handler(ctx);
}

// --- Control of the simulator by a test (C calling convention) --------------------------------

// Unplugs every instrument and forgets the kernel drivers.
SIM_EXPORT void ZsSimUsb_Reset() {
    std::vector<PluggedWinUsb> gone;
    {
        std::lock_guard lock(g_mutex);
        gone.swap(plugged());
    }
    for (auto& p : gone) p.stream->stop();
    SimWinUsb::instance().reset();
    zs::sim::simUsbReset();
}

// Plugs in WinUSB instruments described as ZS_SIM_WINUSB describes them; 1 when the text was
// understood (and its devices added), else 0.
SIM_EXPORT int ZsSimUsb_Plug(const char* text) {
    return text && plug(text) ? 1 : 0;
}

// The commands the instrument at `path` received, decoded, one a line, copied into `out` as
// far as it fits; the length of the whole text, or -1 for an unknown path.
SIM_EXPORT int ZsSimUsb_Commands(const char* path, char* out, uint32_t capacity) {
    std::shared_ptr<zs::sim::WinUsbStreamInstrument> stream;
    {
        std::lock_guard lock(g_mutex);
        for (auto& p : plugged())
            if (p.path == wide(path)) stream = p.stream;
    }
    if (!stream) return -1;
    std::ostringstream text;
    for (const auto& c : stream->log.all()) text << c << '\n';
    return copyText(text.str(), out, capacity);
}

// A kernel driver bound to the instrument's interface, which the host must detach.
SIM_EXPORT void ZsSimUsb_BindKernelDriver(const char* path) {
    zs::sim::simUsbBindKernelDriver(wide(path));
}

// How many times a kernel driver was detached from the instrument.
SIM_EXPORT uint32_t ZsSimUsb_Detaches(const char* path) {
    return zs::sim::simUsbDetaches(wide(path));
}

// The signal blocks the instrument has played (raw-signal mode); -1 for an unknown path.
SIM_EXPORT int ZsSimUsb_OutputBlocks(const char* path) {
    auto& usb = SimWinUsb::instance();
    return usb.locked([&] {
        const zs::sim::SimWinUsbDevice* d = usb.find(wide(path));
        return d ? static_cast<int>(d->output.size()) : -1;
    });
}
