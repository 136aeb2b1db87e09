#pragma once
// Raw-signal streams of the simulated instruments: blocks of channel-interleaved samples of a
// sum of sines plus a little noise, in one of the five sample formats, each block closed by
// the 16-byte status trailer (type, program, range, sequence, overflow, underrange, seconds),
// produced at the instrument's real sampling rate by a thread of their own.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace zs::sim {

struct SignalTone {
    double frequency = 1000.0; // Hz
    double amplitude = 1000.0; // in sample values, as the host decodes them
    double phase = 0.0;        // radians at frame 0
};

// What an instrument streams in raw-signal mode. The rate, channel count and format must be
// those of the signal layout of `deviceType` at the chosen speed.
struct SignalModel {
    uint16_t deviceType = 118;
    uint16_t program = 60;
    double samplingRate = 96000.0;
    uint32_t channels = 1;
    uint32_t format = 0;
    uint16_t rangeField = 2; // the trailer's range item (2 selects the first range)
    std::vector<SignalTone> tones{{1000.0, 1000.0, 0.0}};
    double noise = 1.0;            // standard deviation, in sample values
    uint32_t framesPerBlock = 256; // one sample of every channel per frame
    uint32_t maxBacklogMs = 200;   // older frames are dropped, as a full instrument FIFO does
};

inline constexpr uint32_t kSignalTrailerSize = 16;

// Bytes of one sample in `format` (0 for formats without samples).
uint32_t signalSampleSize(uint32_t format);
// Appends `value` in `format` (rounded to what the format can carry).
void appendSample(std::vector<uint8_t>& out, uint32_t format, double value);

// Builds the blocks of a model, frame by frame, deterministically.
class SignalBlockSource {
  public:
    explicit SignalBlockSource(SignalModel model, uint32_t seed = 1);

    // The next block: framesPerBlock frames, then the trailer.
    std::vector<uint8_t> nextBlock();
    // Skips frames (lost while nobody read), keeping the sequence counter in step.
    void skipBlocks(uint64_t count);

    // The signal without noise at a frame and channel; channel c carries the tones scaled by
    // 1 / (c + 1), so that channels can be told apart.
    double clean(uint64_t frame, uint32_t channel) const;

    const SignalModel& model() const { return model_; }
    uint64_t frame() const { return frame_; }
    uint16_t sequence() const { return sequence_; }

  private:
    SignalModel model_;
    uint64_t frame_ = 0;
    uint16_t sequence_ = 0;
    std::mt19937 random_;
    std::normal_distribution<double> gauss_{0.0, 1.0};
};

// Emits due blocks at the model's real rate on a thread of its own, every few milliseconds,
// through `emit`, which runs under `lock` (the simulated driver's lock). Stopping never waits
// for that lock, so a streamer may be stopped by code that holds it.
class SignalStreamer {
  public:
    using Emit = std::function<void(std::vector<uint8_t>&& block)>;
    SignalStreamer(SignalModel model, std::recursive_mutex& lock, Emit emit);
    ~SignalStreamer();
    SignalStreamer(const SignalStreamer&) = delete;
    SignalStreamer& operator=(const SignalStreamer&) = delete;

    uint64_t blocksSent() const { return blocksSent_; }

  private:
    void run();

    SignalBlockSource source_;
    std::recursive_mutex& lock_;
    Emit emit_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> blocksSent_{0};
    std::mutex waitMutex_;
    std::condition_variable wake_;
    std::thread thread_;
};

} // namespace zs::sim
