#pragma once
#include "frame/dev_struct.h"
#include "telemetry/description_table.h"

#include <cstdint>
#include <span>

namespace zs::engine {

// Frames (one sample of every channel) weighted by the fade-in after a record is built.
inline constexpr uint32_t kSettleFrames = 500;

// Weight of frame `n` of the fade-in: 1 - cos(pi n / 1000).
double fadeIn(uint32_t n);

// Rounds a positive value to five significant digits; zero and negative values stay.
void roundSignificant5(double& value);

// Bytes per sample of a sample format (stream configuration bits 4-7); 0 for formats that
// carry no samples.
uint32_t sampleSize(uint32_t format);

// The value of one sample of `format` starting at `bytes` (sampleSize(format) bytes).
int32_t sampleValue(uint32_t format, const uint8_t* bytes);

// Sets up the per-channel gains, factors, scales, corrections, units and base levels from
// the record's rows, its range word and the signal layout of its device type.
void conditionChannels(frame::DevStruct& record, const telemetry::DescriptionTable& table);

// One sample through gain, fade-in, high-pass filter and scale. `channel` is the sample's
// channel and is advanced to the next one (0 after the last of `channelCount`).
double highPassSample(frame::DevStruct& record, double x, uint32_t& channel, uint32_t channelCount);

// Converts one raw-signal block (samples, then the status trailer) into the record's bound
// buffer and publishes the new write pointer.
void processSignalBlock(frame::DevStruct& record, const telemetry::DescriptionTable& table,
                        std::span<const uint8_t> block);

// Binds a host buffer of doubles as the record's raw-signal ring, write pointer at its
// start. Safe while the record's signal thread runs: a block in progress finishes in the
// buffer it started with.
void bindSignalBuffer(frame::DevStruct& record, double* buffer, int32_t length);

} // namespace zs::engine
