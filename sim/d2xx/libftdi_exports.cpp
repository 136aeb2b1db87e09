// The libftdi1 stand-in as a shared library under libftdi's file name, exporting libftdi's
// function names, so the shipped library binds it as it binds the real one.
#include "sim_export.h"
#include "sim_libftdi.h"
#include "sim_library_folder.h"

using zs::transport::LibFtdi;

namespace {
const LibFtdi& f() {
    zs::sim::plugFromEnvironment();
    return zs::sim::simLibFtdi();
}
} // namespace

SIM_EXPORT ftdi_context* ftdi_new() {
    return f().ftdi_new();
}
SIM_EXPORT void ftdi_free(ftdi_context* ctx) {
    f().ftdi_free(ctx);
}
SIM_EXPORT int ftdi_set_interface(ftdi_context* ctx, int index) {
    return f().ftdi_set_interface(ctx, index);
}
SIM_EXPORT int ftdi_usb_find_all(ftdi_context* ctx, ftdi_device_list** list, int vendor,
                                 int product) {
    return f().ftdi_usb_find_all(ctx, list, vendor, product);
}
SIM_EXPORT void ftdi_list_free(ftdi_device_list** list) {
    f().ftdi_list_free(list);
}
SIM_EXPORT int ftdi_usb_get_strings(ftdi_context* ctx, libusb_device* dev, char* manufacturer,
                                    int manufacturerLength, char* description,
                                    int descriptionLength, char* serial, int serialLength) {
    return f().ftdi_usb_get_strings(ctx, dev, manufacturer, manufacturerLength, description,
                                    descriptionLength, serial, serialLength);
}
SIM_EXPORT int ftdi_usb_open_dev(ftdi_context* ctx, libusb_device* dev) {
    return f().ftdi_usb_open_dev(ctx, dev);
}
SIM_EXPORT int ftdi_usb_close(ftdi_context* ctx) {
    return f().ftdi_usb_close(ctx);
}
SIM_EXPORT int ftdi_usb_reset(ftdi_context* ctx) {
    return f().ftdi_usb_reset(ctx);
}
SIM_EXPORT int ftdi_set_baudrate(ftdi_context* ctx, int rate) {
    return f().ftdi_set_baudrate(ctx, rate);
}
SIM_EXPORT int ftdi_set_line_property(ftdi_context* ctx, int bits, int stopBits, int parity) {
    return f().ftdi_set_line_property(ctx, bits, stopBits, parity);
}
SIM_EXPORT int ftdi_setflowctrl(ftdi_context* ctx, int flow) {
    return f().ftdi_setflowctrl(ctx, flow);
}
SIM_EXPORT int ftdi_setflowctrl_xonxoff(ftdi_context* ctx, unsigned char xon, unsigned char xoff) {
    return f().ftdi_setflowctrl_xonxoff(ctx, xon, xoff);
}
SIM_EXPORT int ftdi_setdtr(ftdi_context* ctx, int state) {
    return f().ftdi_setdtr(ctx, state);
}
SIM_EXPORT int ftdi_set_event_char(ftdi_context* ctx, unsigned char c, unsigned char enable) {
    return f().ftdi_set_event_char(ctx, c, enable);
}
SIM_EXPORT int ftdi_set_error_char(ftdi_context* ctx, unsigned char c, unsigned char enable) {
    return f().ftdi_set_error_char(ctx, c, enable);
}
SIM_EXPORT int ftdi_set_bitmode(ftdi_context* ctx, unsigned char mask, unsigned char mode) {
    return f().ftdi_set_bitmode(ctx, mask, mode);
}
SIM_EXPORT int ftdi_set_latency_timer(ftdi_context* ctx, unsigned char ms) {
    return f().ftdi_set_latency_timer(ctx, ms);
}
SIM_EXPORT int ftdi_read_data(ftdi_context* ctx, unsigned char* buffer, int size) {
    return f().ftdi_read_data(ctx, buffer, size);
}
SIM_EXPORT int ftdi_write_data(ftdi_context* ctx, const unsigned char* buffer, int size) {
    return f().ftdi_write_data(ctx, buffer, size);
}
