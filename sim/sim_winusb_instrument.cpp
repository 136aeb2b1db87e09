#include "sim_winusb_instrument.h"

#include <algorithm>

namespace zs::sim {

namespace {
constexpr size_t kFrame = 512;

uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

std::vector<uint8_t> frame(std::initializer_list<uint16_t> words) {
    std::vector<uint8_t> f(kFrame, 0);
    size_t i = 0;
    for (uint16_t w : words) {
        f[i++] = static_cast<uint8_t>(w);
        f[i++] = static_cast<uint8_t>(w >> 8);
    }
    return f;
}
} // namespace

std::shared_ptr<WinUsbInstrument> WinUsbInstrument::attach(SimWinUsbDevice& device,
                                                           WinUsbInstrument model) {
    auto self = std::make_shared<WinUsbInstrument>(std::move(model));
    device.onWrite = [self](SimWinUsbDevice& d, const uint8_t* bytes, size_t length) {
        self->onWrite(d, bytes, length);
    };
    return self;
}

void WinUsbInstrument::onWrite(SimWinUsbDevice& d, const uint8_t* bytes, size_t length) {
    if (length != kFrame || get16(bytes) != 0xAF65) return;
    SimWinUsb& usb = SimWinUsb::instance();
    const uint16_t w1 = get16(bytes + 2), w2 = get16(bytes + 4), w3 = get16(bytes + 6);
    if (w1 == 0x1413 && w2 == 0x000A && greets) {
        usb.queueInput(d, frame({3, 0x8002, 0xEC0D, 0xEC0D}));
    } else if (w1 == 0x8002 && w2 == 0 && w3 == 0) {
        usb.queueInput(
            d, frame({3, 0x8005, 0, deviceType, 0xAAAA, 0, static_cast<uint16_t>(serialNumber),
                      static_cast<uint16_t>(serialNumber >> 16)}));
    } else if (w1 == 0x8002 && w2 == 0x000A && w3 == 3) {
        ++descriptionRequests;
        const size_t total = record.size() / 2;
        for (size_t at = 0;;) {
            const size_t left = total - at;
            const bool last = left <= 254;
            const size_t n = last ? left : 254;
            const size_t declared = last && lastFrameWords ? lastFrameWords : n;
            std::vector<uint8_t> f =
                frame({2, static_cast<uint16_t>(last ? 0x8000 | declared : 0)});
            std::copy_n(record.begin() + 2 * at, 2 * n, f.begin() + 4);
            usb.queueInput(d, std::move(f));
            at += n;
            if (last) break;
        }
        // A frame after the end, which the host must not read.
        if (lastFrameWords) usb.queueInput(d, frame({2, 0x8001, 0xFFFF}));
    }
}

} // namespace zs::sim
