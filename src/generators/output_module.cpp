#include "generators/output_module.h"

#include "engine/command_packets.h"
#include "platform/little_endian.h"
#include "transport/ftdi_transport.h"

#include <cmath>

namespace zs::generators {
namespace {

constexpr uint32_t kIdleWaitMs = 5;
constexpr int32_t kMaxFreqWord = 0x7FFFFF;
constexpr int32_t kMaxLevelCode = 117;

// The attenuation code of a level in dB: half-dB steps of 0 .. 117.
int32_t attenuationCode(double db) {
    const double code = std::floor(-2.0 * db + 0.5);
    if (!(code > 0.0)) return 0; // also NaN
    return code > kMaxLevelCode ? kMaxLevelCode : static_cast<int32_t>(code);
}

} // namespace

bool ModuleState::setFrequency(double hz) {
    if (!std::isfinite(hz) || hz < 0.0) return false;
    const double v = std::floor(hz / clockHz.load() * 16777216.0 + 0.5);
    int32_t word;
    if (std::isnan(v) || v == 0.0)
        word = 1;
    else if (v > kMaxFreqWord)
        word = kMaxFreqWord;
    else if (v < INT32_MIN) // out of range for the 32-bit word; keep it negative
        word = INT32_MIN;
    else
        word = static_cast<int32_t>(v);
    std::lock_guard lock(frequencyLock);
    freqWord.store(word);
    pendingStep.store(1); // after the word, so the reader never sends a stale one as pending
    return true;
}

void ModuleState::acknowledgeFrequency(uint32_t word) {
    std::lock_guard lock(frequencyLock);
    if (pendingStep.load() == 1 && word == static_cast<uint32_t>(freqWord.load()))
        pendingStep.store(0);
}

void ModuleState::setLevel(double db) {
    const int32_t code = attenuationCode(db < 0.0 ? db : 0.0);
    levelDb.store(-code / 2.0);
    levelWord.store(outputOff.load() ? 0 : code | 0x8000);
}

void ModuleState::setOutput(bool on) {
    outputOff.store(on ? 0 : 1);
    const int32_t code = attenuationCode(levelDb.load());
    levelWord.store(on ? code | 0x8000 : 0);
}

std::vector<uint8_t> moduleFrame(bool tagged, uint32_t command) {
    if (tagged) {
        const uint8_t payload[4] = {
            static_cast<uint8_t>(command), static_cast<uint8_t>(command >> 8),
            static_cast<uint8_t>(command >> 16), static_cast<uint8_t>(command >> 24)};
        return engine::taggedPacket(payload, sizeof payload, 0);
    }
    const uint16_t words[2] = {static_cast<uint16_t>(command),
                               static_cast<uint16_t>(command >> 16)};
    return engine::syncPacket(words, 2);
}

bool ModuleReader::answer(const uint8_t* payload, uint32_t length, ModuleState& state,
                          uint32_t& command) {
    if (length < kModulePacketMinimum) return false;
    const uint16_t kind = platform::le16(payload);
    if (kind == kModuleStatus) {
        if (state.pendingStep.load() == 1) {
            command = frequencyCommand(state.freqWord.load());
            return true;
        }
        const int32_t level = state.levelWord.load();
        if (level != platform::le16(payload + 4)) {
            command = levelCommand(level);
            return true;
        }
        return false;
    }
    if (kind == kModuleAcknowledge && platform::le16(payload + 2) == 1)
        state.acknowledgeFrequency(platform::le32(payload + 4));
    return false;
}

void ModuleReader::start(transport::FtHandle handle, bool tagged, transport::CPacketProcess& parser,
                         ModuleState& state) {
    stop();
    thread_ = std::make_unique<platform::IoThread>(
        [this, handle, tagged, &parser, &state] { run(handle, tagged, parser, state); }, false);
    if (!thread_->start()) thread_.reset();
}

void ModuleReader::stop() {
    if (!thread_) return;
    stop_.set();
    thread_->join();
    thread_.reset();
    stop_.reset();
}

void ModuleReader::send(transport::FtHandle handle, bool tagged, uint32_t command) {
    frame_ = moduleFrame(tagged, command);
    // Errors are not reported: an unacknowledged frequency goes out again at the next status.
    transport::ftdiWrite(handle, frame_.data(), static_cast<uint32_t>(frame_.size()), &stop_,
                         writeIo_);
}

void ModuleReader::run(transport::FtHandle handle, bool tagged, transport::CPacketProcess& parser,
                       ModuleState& state) {
    const transport::D2xxApi& api = transport::d2xx();
    readIo_.ensureEvent();
    writeIo_.ensureEvent();
    while (!stop_.tryAcquire()) {
        uint32_t waiting = 0;
        api.queue(handle, &waiting);
        const uint32_t want = waiting < 1 ? 1 : (waiting > kReadLimit ? kReadLimit : waiting);
        const uint32_t got = transport::ftdiRead(handle, buffer_.data(), want, &stop_, readIo_);
        if (got == 0) {
            // Nothing came (a driver that completes empty reads at once, or a failing
            // handle): pause rather than spin.
            if (stop_.wait(kIdleWaitMs)) break;
            continue;
        }
        uint32_t position = 0;
        while (parser.process(buffer_.data(), got, position)) {
            uint32_t command = 0;
            if (answer(parser.payload(), parser.payloadLength(), state, command))
                send(handle, tagged, command);
        }
    }
}

} // namespace zs::generators
