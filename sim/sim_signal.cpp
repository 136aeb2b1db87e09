#include "sim_signal.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>

namespace zs::sim {
namespace {

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

int64_t clampRound(double v, int64_t lo, int64_t hi) {
    return std::clamp<int64_t>(static_cast<int64_t>(std::llround(v)), lo, hi);
}

} // namespace

uint32_t signalSampleSize(uint32_t format) {
    switch (format) {
    case 0:
    case 4:
        return 2;
    case 1:
    case 3:
        return 3;
    case 2:
        return 4;
    default:
        return 0;
    }
}

void appendSample(std::vector<uint8_t>& out, uint32_t format, double value) {
    switch (format) {
    case 0:
        put16(out, static_cast<uint16_t>(clampRound(value, -32768, 32767)));
        break;
    case 4:
        put16(out, static_cast<uint16_t>(clampRound(value / 128.0, -32768, 32767)));
        break;
    case 1: {
        const auto v = static_cast<uint32_t>(clampRound(value, -8388608, 8388607));
        for (int b = 0; b < 3; ++b) out.push_back(static_cast<uint8_t>(v >> (8 * b)));
        break;
    }
    case 2: {
        const auto v = static_cast<uint32_t>(clampRound(value, INT32_MIN, INT32_MAX));
        for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(v >> (8 * b)));
        break;
    }
    case 3: {
        // Both outer bytes are signed: value = b0 + 256 b1 + 65536 b2 with b0 in -128..127.
        const int64_t v = clampRound(value, -8388608 - 128, 8388607 - 128);
        const int64_t low = ((v + 128) & 0xFF) - 128;
        const int64_t rest = (v - low) / 256;
        const int64_t middle = rest & 0xFF;
        const int64_t high = (rest - middle) / 256;
        out.push_back(static_cast<uint8_t>(low));
        out.push_back(static_cast<uint8_t>(middle));
        out.push_back(static_cast<uint8_t>(high));
        break;
    }
    default:
        break;
    }
}

SignalBlockSource::SignalBlockSource(SignalModel model, uint32_t seed)
    : model_(std::move(model)), random_(seed) {}

double SignalBlockSource::clean(uint64_t frame, uint32_t channel) const {
    const double t = static_cast<double>(frame) / model_.samplingRate;
    double v = 0.0;
    for (const SignalTone& tone : model_.tones)
        v += tone.amplitude * std::sin(2.0 * std::numbers::pi * tone.frequency * t + tone.phase);
    return v / (channel + 1);
}

std::vector<uint8_t> SignalBlockSource::nextBlock() {
    const uint32_t size = signalSampleSize(model_.format);
    std::vector<uint8_t> out;
    out.reserve(size_t(model_.framesPerBlock) * model_.channels * size + kSignalTrailerSize);
    for (uint32_t f = 0; f < model_.framesPerBlock; ++f, ++frame_)
        for (uint32_t c = 0; c < model_.channels; ++c)
            appendSample(out, model_.format,
                         clean(frame_, c) +
                             (model_.noise > 0 ? model_.noise * gauss_(random_) : 0));
    put16(out, model_.deviceType);
    put16(out, model_.program);
    put16(out, model_.rangeField);
    put16(out, sequence_++);
    put16(out, 0); // overflow
    put16(out, 0); // underrange
    const auto seconds = static_cast<uint32_t>(static_cast<double>(frame_) / model_.samplingRate);
    put16(out, static_cast<uint16_t>(seconds));
    put16(out, static_cast<uint16_t>(seconds >> 16));
    return out;
}

void SignalBlockSource::skipBlocks(uint64_t count) {
    frame_ += count * model_.framesPerBlock;
    sequence_ = static_cast<uint16_t>(sequence_ + count);
}

SignalStreamer::SignalStreamer(SignalModel model, std::recursive_mutex& lock, Emit emit)
    : source_(std::move(model)), lock_(lock), emit_(std::move(emit)) {
    thread_ = std::thread([this] { run(); });
}

SignalStreamer::~SignalStreamer() {
    {
        std::lock_guard l(waitMutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void SignalStreamer::run() {
    using Clock = std::chrono::steady_clock;
    const SignalModel& m = source_.model();
    const double blockSeconds = m.framesPerBlock / m.samplingRate;
    const uint64_t backlog =
        std::max<uint64_t>(1, static_cast<uint64_t>(m.maxBacklogMs / 1000.0 / blockSeconds));
    const auto start = Clock::now();
    uint64_t emitted = 0; // blocks produced or skipped since the start
    for (;;) {
        {
            std::unique_lock l(waitMutex_);
            wake_.wait_for(l, std::chrono::milliseconds(2), [&] { return stop_.load(); });
            if (stop_) return;
        }
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const auto due = static_cast<uint64_t>(elapsed / blockSeconds);
        if (due <= emitted) continue;
        // Whoever stops us may hold the driver's lock: never block on it.
        std::unique_lock driver(lock_, std::try_to_lock);
        if (!driver.owns_lock()) continue;
        if (due - emitted > backlog) {
            source_.skipBlocks(due - emitted - backlog);
            emitted = due - backlog;
        }
        for (; emitted < due; ++emitted) {
            emit_(source_.nextBlock());
            ++blocksSent_;
        }
    }
}

} // namespace zs::sim
