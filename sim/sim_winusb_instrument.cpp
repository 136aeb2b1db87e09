#include "sim_winusb_instrument.h"

#include <algorithm>

namespace zs::sim {

namespace {
constexpr size_t kFrame = 512;

uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

constexpr uint16_t kSignalFragment = 1;
constexpr uint32_t kFragmentWords = 254;
constexpr uint32_t kUnitsPerBlock = 170;

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
    // The hooks own the instrument; the status source only looks at it while they do.
    std::weak_ptr<WinUsbInstrument> weak = self;
    device.statusSource = [weak](SimWinUsbDevice& d) {
        auto instrument = weak.lock();
        return instrument ? instrument->status(d) : std::vector<uint8_t>{};
    };
    return self;
}

void WinUsbInstrument::startSignal(SimWinUsbDevice& d) {
    ++signalStarts;
    streamer_.reset();
    SimWinUsbDevice* device = &d;
    streamer_ = std::make_shared<SignalStreamer>(
        *signal, SimWinUsb::instance().mutex(), [device](std::vector<uint8_t>&& block) {
            // Fragments of 254 words; the last one says how many words it carries.
            const size_t words = block.size() / 2;
            for (size_t at = 0; at < words;) {
                const size_t n = std::min<size_t>(kFragmentWords, words - at);
                const bool last = at + n == words;
                std::vector<uint8_t> f =
                    frame({kSignalFragment, static_cast<uint16_t>(last ? 0x8000 | n : 0)});
                std::copy_n(block.begin() + 2 * at, 2 * n, f.begin() + 4);
                SimWinUsb::instance().queueInput(*device, std::move(f));
                at += n;
            }
        });
}

std::vector<uint8_t> WinUsbInstrument::status(SimWinUsbDevice& d) {
    if (!streamer_) return {};
    // The buffer drains at the playing rate and fills by the blocks received since.
    const auto now = std::chrono::steady_clock::now();
    if (lastStatus_ != std::chrono::steady_clock::time_point{})
        queuedUnits_ -= outputRate * std::chrono::duration<double>(now - lastStatus_).count();
    lastStatus_ = now;
    queuedUnits_ += double(kUnitsPerBlock) * double(d.output.size() - blocksCounted_);
    blocksCounted_ = d.output.size();
    queuedUnits_ = std::clamp(queuedUnits_, 0.0, double(outputCapacity));
    const auto level = static_cast<uint32_t>(outputCapacity - queuedUnits_);
    return {static_cast<uint8_t>(level), static_cast<uint8_t>(level >> 8),
            static_cast<uint8_t>(level >> 16), static_cast<uint8_t>(level >> 24)};
}

void WinUsbInstrument::onWrite(SimWinUsbDevice& d, const uint8_t* bytes, size_t length) {
    if (length != kFrame || get16(bytes) != 0xAF65) return;
    SimWinUsb& usb = SimWinUsb::instance();
    const uint16_t w1 = get16(bytes + 2), w2 = get16(bytes + 4), w3 = get16(bytes + 6);
    // Command frames carry (word count | 0x8000) and the command's words.
    const uint16_t command = get16(bytes + 4);
    if (w1 == 0x8002 && command == 10 && w3 == 4) {
        if (signal) startSignal(d);
        return;
    }
    if (w1 == 0x8004 && command == 10) {
        streamer_.reset(); // record streaming on or off
        return;
    }
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
