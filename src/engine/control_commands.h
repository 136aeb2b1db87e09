#pragma once
#include "engine/command_packets.h"

#include <cstdint>
#include <optional>

namespace zs::engine {

// What the host's control commands leave in a device's command slots for its I/O thread.
// Host values that a command word cannot hold are refused (nothing is stored) or clamped
// where the command defines a clamp; none is converted out of range.

// The raw-signal sampling-rate code of `rate` Hz; none when no rate window holds it.
std::optional<uint16_t> samplingRateCode(double rate);

// Raw-signal recording at `rate` Hz with `gain` (steps of 0.5) on the channels of `mask`
// (1..15); only the raw-signal recorders take it. Waits for the I/O thread as a mailbox
// command does. False when refused.
bool requestSigRegMode(frame::DevStruct& device, double rate, double gain, uint32_t mask);

// The 16.16 fixed-point form of x; none for NaN. Values beyond the 32-bit range clamp.
std::optional<int32_t> fixed16(double x);

// Queues a calibration entry on the command ring and waits up to 500 ms for the thread to
// take every pending entry. A full ring drops the new entry.
bool requestCalibration(frame::DevStruct& device, int32_t channel, double correction,
                        double sensitivity, double kBase);

// Band selection by centre frequency, bandwidth code and ratios (six words); waits up to
// 500 ms for the thread to send it.
bool requestBands(frame::DevStruct& device, double frequency, int32_t bandwidthCode,
                  const int32_t* ratios);
// Five low-frequency bands around `centre`, 2·B apart, B by `bandwidthIndex` (0..18); the
// sync-family analyser of program 42 only.
bool requestLowFrequencyBands(frame::DevStruct& device, double centre, int32_t bandwidthIndex);

inline constexpr int32_t kGeneratorFrequency = 32;
inline constexpr int32_t kGeneratorAmplitude = 33;
inline constexpr int32_t kGeneratorLevel = 34;

// The generator word for `value` under `code`; none when refused.
std::optional<int32_t> generatorWord(int32_t code, double value);
// Queues the generator item; false when the value is refused.
bool requestGenerator(frame::DevStruct& device, int32_t code, double value);

} // namespace zs::engine
