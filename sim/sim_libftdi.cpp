#include "sim_libftdi.h"

#include "sim_d2xx.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

// A context: the interface chosen, the channel opened on it, and what libftdi keeps for the
// chip's requests that D2XX combines.
struct ftdi_context {
    int interfaceIndex = 0;
    zs::transport::FtHandle handle = zs::transport::kNoFtdiHandle;
    unsigned char latencyMs = 16;
    uint8_t eventChar = 0, eventEnabled = 0, errorChar = 0, errorEnabled = 0;
};

namespace zs::sim {
namespace {

using transport::D2xxApi;
using transport::FtHandle;
using transport::kNoFtdiHandle;

// One USB device: a simulated device, or the simulated devices that are the channels of
// one chip, in channel order.
struct UsbDevice {
    std::string serial, description;
    int product = 0x6001;
    std::vector<std::string> channels; // D2XX serial numbers
};

const D2xxApi& d2xx() {
    return SimD2xx::table();
}

// The channel letter a D2XX name of a multi-channel chip ends in, or 0.
char channelLetter(const SimD2xxDevice& d) {
    const std::string& s = d.serial;
    const std::string& t = d.description;
    if (s.size() < 2 || t.size() < 3) return 0;
    const char letter = s.back();
    if (letter < 'A' || letter > 'D' || t.back() != letter || t[t.size() - 2] != ' ') return 0;
    return letter;
}

std::vector<UsbDevice> usbDevices() {
    auto& sim = SimD2xx::instance();
    return sim.locked([&] {
        std::vector<UsbDevice> out;
        std::map<std::string, size_t> chips; // serial and description without the letter
        uint32_t count = 0;
        if (d2xx().count(&count, nullptr, transport::kD2xxListNumberOnly) != 0) return out;
        for (uint32_t i = 0; i < count; ++i) {
            char serial[64] = {};
            d2xx().serial(reinterpret_cast<void*>(static_cast<uintptr_t>(i)), serial,
                          transport::kD2xxListSerialByIndex);
            SimD2xxDevice* d = sim.find(serial);
            if (!d) continue;
            const char letter = channelLetter(*d);
            if (!letter) {
                out.push_back({d->serial, d->description, 0x6001, {d->serial}});
                continue;
            }
            const std::string base = d->serial.substr(0, d->serial.size() - 1);
            const std::string text = d->description.substr(0, d->description.size() - 2);
            auto [at, added] = chips.emplace(base + '\n' + text, out.size());
            if (added) out.push_back({base, text, 0x6010, {}});
            UsbDevice& chip = out[at->second];
            const size_t channel = static_cast<size_t>(letter - 'A');
            if (chip.channels.size() <= channel) chip.channels.resize(channel + 1);
            chip.channels[channel] = d->serial;
            if (chip.channels.size() > 2) chip.product = 0x6011;
        }
        return out;
    });
}

ftdi_context* ftdiNew() {
    return new ftdi_context;
}

void ftdiFree(ftdi_context* ctx) {
    if (ctx && ctx->handle != kNoFtdiHandle) d2xx().close(ctx->handle);
    delete ctx;
}

int setInterface(ftdi_context* ctx, int index) {
    if (!ctx || index < 0 || index > 4) return -1;
    ctx->interfaceIndex = index;
    return 0;
}

int findAll(ftdi_context* ctx, ftdi_device_list** list, int vendor, int product) {
    if (!ctx || !list) return -1;
    *list = nullptr;
    ftdi_device_list** tail = list;
    int n = 0;
    for (auto& device : usbDevices()) {
        if ((vendor && vendor != 0x0403) || (product && product != device.product)) continue;
        *tail =
            new ftdi_device_list{nullptr, reinterpret_cast<libusb_device*>(new UsbDevice(device))};
        tail = &(*tail)->next;
        ++n;
    }
    return n;
}

void listFree(ftdi_device_list** list) {
    if (!list) return;
    while (ftdi_device_list* node = *list) {
        *list = node->next;
        delete reinterpret_cast<UsbDevice*>(node->dev);
        delete node;
    }
}

int getStrings(ftdi_context*, libusb_device* dev, char* manufacturer, int manufacturerLength,
               char* description, int descriptionLength, char* serial, int serialLength) {
    if (!dev) return -1;
    const auto& d = *reinterpret_cast<UsbDevice*>(dev);
    auto put = [](char* out, int capacity, const std::string& text) {
        if (!out || capacity <= 0) return;
        const size_t n = std::min<size_t>(text.size(), static_cast<size_t>(capacity - 1));
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
    };
    put(manufacturer, manufacturerLength, "FTDI");
    put(description, descriptionLength, d.description);
    put(serial, serialLength, d.serial);
    return 0;
}

int openDev(ftdi_context* ctx, libusb_device* dev) {
    if (!ctx || !dev) return -8;
    const auto& d = *reinterpret_cast<UsbDevice*>(dev);
    const size_t channel =
        ctx->interfaceIndex > 0 ? static_cast<size_t>(ctx->interfaceIndex - 1) : 0;
    if (channel >= d.channels.size() || d.channels[channel].empty()) return -3;
    ctx->handle = d2xx().open(d.channels[channel].c_str(), 0xC0000000, 0, nullptr, 3,
                              transport::kD2xxOpenFlags, nullptr);
    return ctx->handle == kNoFtdiHandle ? -4 : 0;
}

int usbClose(ftdi_context* ctx) {
    if (!ctx || ctx->handle == kNoFtdiHandle) return -3;
    d2xx().close(ctx->handle);
    ctx->handle = kNoFtdiHandle;
    return 0;
}

// libftdi's results: 0 done, a negative code when the request failed.
int done(uint32_t d2xxStatus) {
    return d2xxStatus == 0 ? 0 : -2;
}

int usbReset(ftdi_context* ctx) {
    return ctx ? done(d2xx().reset(ctx->handle)) : -2;
}

int setBaudrate(ftdi_context* ctx, int rate) {
    if (!ctx || rate <= 0) return -1;
    const uint32_t status = d2xx().rate(ctx->handle, static_cast<uint32_t>(rate));
    return status == transport::kD2xxRateRefused ? -1 : done(status);
}

// The chip's line request carries data bits, stop bits and parity: the rest of the
// simulated device's block stays as it is.
int setLineProperty(ftdi_context* ctx, int bits, int stopBits, int parity) {
    if (!ctx) return -1;
    transport::D2xxLineSettings line;
    if (!d2xx().getLineSettings(ctx->handle, &line)) return -1;
    line.byteSize = static_cast<uint8_t>(bits);
    line.stopBits = static_cast<uint8_t>(stopBits);
    line.parity = static_cast<uint8_t>(parity);
    return d2xx().setLineSettings(ctx->handle, &line) ? 0 : -1;
}

int setFlowCtrl(ftdi_context* ctx, int flow) {
    return ctx ? done(d2xx().flow(ctx->handle, static_cast<uint16_t>(flow), 0, 0)) : -2;
}

int setFlowCtrlXonXoff(ftdi_context* ctx, unsigned char xon, unsigned char xoff) {
    return ctx ? done(d2xx().flow(ctx->handle, 0x0400, xon, xoff)) : -2;
}

int setDtr(ftdi_context* ctx, int state) {
    if (!ctx) return -2;
    return done(state ? d2xx().lineHigh(ctx->handle) : d2xx().lineLow(ctx->handle));
}

int chars(ftdi_context* ctx) {
    return done(d2xx().characters(ctx->handle, ctx->eventChar, ctx->eventEnabled, ctx->errorChar,
                                  ctx->errorEnabled));
}
int setEventChar(ftdi_context* ctx, unsigned char c, unsigned char enable) {
    if (!ctx) return -1;
    ctx->eventChar = c;
    ctx->eventEnabled = enable;
    return chars(ctx);
}
int setErrorChar(ftdi_context* ctx, unsigned char c, unsigned char enable) {
    if (!ctx) return -1;
    ctx->errorChar = c;
    ctx->errorEnabled = enable;
    return chars(ctx);
}

int setBitmode(ftdi_context* ctx, unsigned char mask, unsigned char mode) {
    return ctx ? done(d2xx().bitMode(ctx->handle, mask, mode)) : -2;
}

int setLatencyTimer(ftdi_context* ctx, unsigned char ms) {
    if (!ctx || ms == 0) return -1;
    ctx->latencyMs = ms;
    return 0;
}

// What the chip has, or nothing once its latency time has passed without data.
int readData(ftdi_context* ctx, unsigned char* buffer, int size) {
    if (!ctx || size < 0) return -1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        uint32_t waiting = 0;
        if (d2xx().queue(ctx->handle, &waiting) != 0) return -4;
        if (waiting) {
            uint32_t n = 0;
            const uint32_t wanted = std::min<uint32_t>(waiting, static_cast<uint32_t>(size));
            if (!d2xx().read(ctx->handle, buffer, wanted, &n, nullptr)) return -4;
            return static_cast<int>(n);
        }
        if (attempt == 0) std::this_thread::sleep_for(std::chrono::milliseconds(ctx->latencyMs));
    }
    return 0;
}

int writeData(ftdi_context* ctx, const unsigned char* buffer, int size) {
    if (!ctx || size < 0) return -1;
    uint32_t n = 0;
    if (!d2xx().write(ctx->handle, const_cast<unsigned char*>(buffer), static_cast<uint32_t>(size),
                      &n, nullptr))
        return -1;
    return static_cast<int>(n);
}

} // namespace

const transport::LibFtdi& simLibFtdi() {
    static const transport::LibFtdi f = [] {
        transport::LibFtdi t;
        t.ftdi_new = ftdiNew;
        t.ftdi_free = ftdiFree;
        t.ftdi_set_interface = setInterface;
        t.ftdi_usb_find_all = findAll;
        t.ftdi_list_free = listFree;
        t.ftdi_usb_get_strings = getStrings;
        t.ftdi_usb_open_dev = openDev;
        t.ftdi_usb_close = usbClose;
        t.ftdi_usb_reset = usbReset;
        t.ftdi_set_baudrate = setBaudrate;
        t.ftdi_set_line_property = setLineProperty;
        t.ftdi_setflowctrl = setFlowCtrl;
        t.ftdi_setdtr = setDtr;
        t.ftdi_set_event_char = setEventChar;
        t.ftdi_set_error_char = setErrorChar;
        t.ftdi_set_bitmode = setBitmode;
        t.ftdi_set_latency_timer = setLatencyTimer;
        t.ftdi_read_data = readData;
        t.ftdi_write_data = writeData;
        t.ftdi_setflowctrl_xonxoff = setFlowCtrlXonXoff;
        return t;
    }();
    return f;
}

} // namespace zs::sim
