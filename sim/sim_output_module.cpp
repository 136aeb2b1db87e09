#include "sim_output_module.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace zs::sim {
namespace {

const uint8_t kTagged[] = {'k', 'X', '-', 'w', 'a', 'v', 'e'};
const uint8_t kSync[] = {0x11, 0x22, 0x33, 0x44};
constexpr size_t kTaggedCommandFrame = 15;
constexpr size_t kSyncCommandFrame = 12;

uint32_t word32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

uint32_t nowMs() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

} // namespace

std::shared_ptr<OutputModuleModel> OutputModuleModel::attach(SimD2xxDevice& device,
                                                             OutputModuleModel model) {
    auto self = std::make_shared<OutputModuleModel>(std::move(model));
    device.onPoll = [self](SimD2xxDevice& d) { self->poll(d); };
    device.onWrite = [self](SimD2xxDevice& d, const uint8_t* bytes, size_t length) {
        self->take(d, bytes, length);
    };
    return self;
}

std::vector<uint8_t> OutputModuleModel::statusPayload(uint16_t levelWord) {
    std::vector<uint8_t> p;
    put16(p, 141);
    put16(p, 0);
    put16(p, levelWord);
    put16(p, 0);
    return p;
}

std::vector<uint8_t> OutputModuleModel::acknowledgePayload(uint16_t step, uint32_t value) {
    std::vector<uint8_t> p;
    put16(p, 154);
    put16(p, step);
    put16(p, static_cast<uint16_t>(value));
    put16(p, static_cast<uint16_t>(value >> 16));
    return p;
}

// The module's packets: a tagged packet of form 1 (byte sum after the payload) or a sync
// packet (word sum after it).
void OutputModuleModel::send(SimD2xxDevice& d, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame;
    if (family == Family::Tagged) {
        frame.assign(kTagged, kTagged + 7);
        frame.push_back(0);
        put16(frame, static_cast<uint16_t>(payload.size()));
        uint8_t sum = 0;
        for (uint8_t b : payload) sum = static_cast<uint8_t>(sum + b);
        frame.insert(frame.end(), payload.begin(), payload.end());
        frame.push_back(sum);
    } else {
        frame.assign(kSync, kSync + 4);
        put16(frame, static_cast<uint16_t>(payload.size()));
        uint16_t sum = 0;
        for (size_t i = 0; i + 1 < payload.size(); i += 2)
            sum = static_cast<uint16_t>(sum + (payload[i] | payload[i + 1] << 8));
        frame.insert(frame.end(), payload.begin(), payload.end());
        put16(frame, sum);
    }
    d.queue(frame);
}

void OutputModuleModel::poll(SimD2xxDevice& d) {
    const uint32_t now = nowMs();
    if (!sendsStatus || (sentOnce_ && now - lastStatus_ < statusPeriodMs)) return;
    sentOnce_ = true;
    lastStatus_ = now;
    ++statusSent;
    send(d, statusPayload(levelWord));
}

void OutputModuleModel::command(SimD2xxDevice& d, uint32_t word) {
    commands.push_back(word);
    switch (word & 0xFF) {
    case 5:
        ++frequencyCommands;
        freqWord = word >> 8;
        if (acknowledges) send(d, acknowledgePayload(1, freqWord + acknowledgeOffset));
        break;
    case 4:
        ++levelCommands;
        levelWord = static_cast<uint16_t>(word >> 16);
        break;
    default:
        break;
    }
}

// Finds the 4-byte command frames in what was written; bytes that are not one are skipped.
void OutputModuleModel::take(SimD2xxDevice& d, const uint8_t* bytes, size_t length) {
    received_.insert(received_.end(), bytes, bytes + length);
    size_t i = 0;
    while (i < received_.size()) {
        const uint8_t* p = received_.data() + i;
        const size_t left = received_.size() - i;
        if (family == Family::Tagged && left >= 7 && std::memcmp(p, kTagged, 7) == 0) {
            if (left < kTaggedCommandFrame) break;
            uint8_t sum = 0;
            for (int k = 0; k < 4; ++k) sum = static_cast<uint8_t>(sum + p[10 + k]);
            if (p[8] == 4 && p[9] == 0 && p[14] == sum) {
                command(d, word32(p + 10));
                i += kTaggedCommandFrame;
                continue;
            }
        } else if (family == Family::Sync && left >= 4 && std::memcmp(p, kSync, 4) == 0) {
            if (left < kSyncCommandFrame) break;
            const uint16_t lo = static_cast<uint16_t>(p[6] | p[7] << 8);
            const uint16_t hi = static_cast<uint16_t>(p[8] | p[9] << 8);
            const uint16_t sum = static_cast<uint16_t>(p[10] | p[11] << 8);
            if (p[4] == 4 && p[5] == 0 && static_cast<uint16_t>(lo + hi) == sum) {
                command(d, static_cast<uint32_t>(hi) << 16 | lo);
                i += kSyncCommandFrame;
                continue;
            }
        } else if (left < 7 && family == Family::Tagged && std::memcmp(p, kTagged, left) == 0) {
            break; // the start of a frame still coming
        } else if (left < 4 && family == Family::Sync && std::memcmp(p, kSync, left) == 0) {
            break;
        }
        ++i;
    }
    received_.erase(received_.begin(), received_.begin() + static_cast<long>(i));
}

} // namespace zs::sim
