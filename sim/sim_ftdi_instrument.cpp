#include "sim_ftdi_instrument.h"

#include "transport/ftdi_transport.h"

#include <algorithm>
#include <cstring>

namespace zs::sim {

namespace {
constexpr uint8_t kQuery[15] = {'k', 'X', '-', 'w', 'a', 'v', 'e', 0, 4, 0, 0, 0, 0, 0, 0};
constexpr uint8_t kAcknowledge[2] = {0xA0, 0x1A};
constexpr uint8_t kStreamOff[2] = {0xA0, 0x2A};
constexpr uint8_t kSignalFast[2] = {0xA0, 0x6A};
constexpr uint8_t kSignalNormal[2] = {0xA0, 0x5A};

// Rates an instrument can recognise in a rate packet.
constexpr uint32_t kKnownRates[] = {9600,    115200,  230400,  768000,
                                    1728000, 2048000, 2304000, 3000000};

bool same(const uint8_t* bytes, size_t length, std::span<const uint8_t> expected) {
    return length == expected.size() && std::equal(expected.begin(), expected.end(), bytes);
}

void put16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}

uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
} // namespace

std::vector<uint8_t> taggedFrame(std::span<const uint8_t> payload, uint8_t variant) {
    // Sized once: GCC's array-bounds check misreads an insert after a brace-initialised header.
    std::vector<uint8_t> out(10 + payload.size() + 1);
    const uint8_t header[10] = {'k',
                                'X',
                                '-',
                                'w',
                                'a',
                                'v',
                                'e',
                                variant,
                                static_cast<uint8_t>(payload.size()),
                                static_cast<uint8_t>(payload.size() >> 8)};
    std::copy(header, header + 10, out.begin());
    uint8_t sum = 0;
    for (uint8_t b : payload) sum = static_cast<uint8_t>(sum + b);
    std::copy(payload.begin(), payload.end(), out.begin() + 10);
    out.back() = sum;
    return out;
}

std::vector<uint8_t> syncFrame(std::span<const uint8_t> payload) {
    std::vector<uint8_t> out(6 + payload.size() + 2);
    const uint8_t header[6] = {0x11,
                               0x22,
                               0x33,
                               0x44,
                               static_cast<uint8_t>(payload.size()),
                               static_cast<uint8_t>(payload.size() >> 8)};
    std::copy(header, header + 6, out.begin());
    uint16_t sum = 0;
    for (size_t i = 0; i + 1 < payload.size(); i += 2)
        sum = static_cast<uint16_t>(sum + get16(payload.data() + i));
    std::copy(payload.begin(), payload.end(), out.begin() + 6);
    out[out.size() - 2] = static_cast<uint8_t>(sum);
    out.back() = static_cast<uint8_t>(sum >> 8);
    return out;
}

std::shared_ptr<FtdiInstrument> FtdiInstrument::attach(SimD2xxDevice& device,
                                                       FtdiInstrument model) {
    auto self = std::make_shared<FtdiInstrument>(std::move(model));
    device.onCall = [self](SimD2xxDevice& d, const D2xxCall& call) { self->onCall(d, call); };
    device.onWrite = [self](SimD2xxDevice& d, const uint8_t* bytes, size_t length) {
        self->onWrite(d, bytes, length);
    };
    return self;
}

void FtdiInstrument::onCall(SimD2xxDevice& d, const D2xxCall& call) {
    switch (call.role) {
    case D2xxRole::Rate:
        if (!packetRate) rateChanged(d, call.a);
        break;
    case D2xxRole::LineLow:
        lineLow_ = true;
        ratePacket_.clear();
        break;
    case D2xxRole::LineHigh: {
        lineLow_ = false;
        if (!packetRate || ratePacket_.size() != 6 || ratePacket_[0] != 0 || ratePacket_[5] != 2)
            break;
        const uint32_t word = ratePacket_[1] | ratePacket_[2] << 8 | ratePacket_[3] << 16 |
                              static_cast<uint32_t>(ratePacket_[4]) << 24;
        uint32_t told = 0;
        for (uint32_t r : kKnownRates)
            if (transport::buildRateWord(r) == word) told = r;
        rateChanged(d, told);
        break;
    }
    case D2xxRole::BitMode:
        // The reset pulse: mode 4 on the instrument's mask, then mode 0 on it.
        if (call.a != resetMask) {
            pulseStarted_ = false;
        } else if (call.b == 4) {
            pulseStarted_ = true;
        } else if (call.b == 0 && pulseStarted_) {
            pulseStarted_ = false;
            pulseSeen = true;
        }
        break;
    default:
        break;
    }
}

void FtdiInstrument::rateChanged(SimD2xxDevice& d, uint32_t newRate) {
    currentRate = newRate;
    if (streams && talking()) sendRecord(d, 0xFFFF);
}

void FtdiInstrument::sendRecord(SimD2xxDevice& d, uint16_t program) {
    std::vector<uint8_t> payload = record;
    if (program != 0xFFFF && payload.size() >= 4) put16(payload, 2, program);
    if (family == Family::Tagged) {
        if (statusFirst) {
            const uint8_t status[8] = {61, 0, 1, 0, 0, 0, 0, 0};
            d.queue(taggedFrame(status));
        }
        d.queue(taggedFrame(payload));
    } else {
        d.queue(syncFrame(payload));
    }
    ++recordsSent;
}

void FtdiInstrument::startSignal(SimD2xxDevice& d, const SignalModel& model) {
    ++signalStarts;
    streamer_.reset();
    SimD2xxDevice* device = &d;
    streamer_ = std::make_shared<SignalStreamer>(
        model, SimD2xx::instance().mutex(),
        [device](std::vector<uint8_t>&& block) { device->queue(taggedFrame(block)); });
}

void FtdiInstrument::onWrite(SimD2xxDevice& d, const uint8_t* bytes, size_t length) {
    if (lineLow_) {
        ratePacket_.insert(ratePacket_.end(), bytes, bytes + length);
        return;
    }
    if (!talking()) return;
    if (family == Family::Tagged) {
        if (same(bytes, length, kSignalFast) && signalFast) {
            startSignal(d, *signalFast);
        } else if (same(bytes, length, kSignalNormal) && signalNormal) {
            startSignal(d, *signalNormal);
        } else if (same(bytes, length, kAcknowledge) || same(bytes, length, kStreamOff)) {
            // Record streaming (or silence) again; the acknowledge below still answers.
            streamer_.reset();
        }
        if (same(bytes, length, kQuery) && answersQuery) {
            std::vector<uint8_t> reply(rateList.empty() ? 8 : 14 + 4 * rateList.size(), 0);
            if (!rateList.empty()) {
                put16(reply, 4, 0xAAAA);
                put16(reply, 12, static_cast<uint16_t>(rateList.size()));
                for (size_t i = 0; i < rateList.size(); ++i)
                    for (int b = 0; b < 4; ++b)
                        reply[14 + 4 * i + b] = static_cast<uint8_t>(rateList[i] >> (8 * b));
            }
            d.queue(taggedFrame(reply));
            ++queriesAnswered;
        } else if (same(bytes, length, kAcknowledge)) {
            sendRecord(d, 0xFFFF);
        }
        return;
    }
    // Sync family: a request is one sync packet of two payload words.
    if (length == 12 && bytes[0] == 0x11 && bytes[1] == 0x22 && bytes[2] == 0x33 &&
        bytes[3] == 0x44 && get16(bytes + 4) == 4 && get16(bytes + 6) == 0 && rate == 768000) {
        const uint16_t p = get16(bytes + 8);
        if (p == 0) {
            std::vector<uint8_t> list(2 + 2 * programs.size(), 0);
            for (size_t i = 0; i < programs.size(); ++i) put16(list, 2 + 2 * i, programs[i]);
            d.queue(syncFrame(list));
            ++queriesAnswered;
        } else {
            selectedProgram = p;
            sendRecord(d, p);
        }
    } else if (length == 60 && bytes[0] == 0x11 && get16(bytes + 4) == 0x32 &&
               get16(bytes + 6) == 0xFFCD && rate == 1728000) {
        sendRecord(d, 0xFFFF);
    }
}

} // namespace zs::sim
