#pragma once
#include "engine/command_packets.h"

#include <cstdint>
#include <span>

namespace zs::engine {

// Measurement-stream thread bodies, one per link. Each serves the command slots between
// reads, cuts the stream into records, decodes every accepted record under the record's
// dataLock, keeps `online`, and returns once the record's stop event is set.
void ftdiStreamThread(DevicePtr record);
void tcpStreamThread(DevicePtr record);
void winUsbStreamThread(DevicePtr record);
void udpStreamThread(DevicePtr record);

inline constexpr uint32_t kOfflineAfterMs = 1500;
inline constexpr uint32_t kStreamTurnMs = 100;
inline constexpr uint32_t kRecordBufferSize = 10240;

// Decodes one received record into the result tables under dataLock, then marks the device
// online. Shared by every thread that delivers records.
void deliverRecord(frame::DevStruct& record, std::span<const uint8_t> bytes);

// `online` falls to 0 once no record has arrived for kOfflineAfterMs.
void checkOnline(frame::DevStruct& record);

// True once the record's stop event is set (no waiting).
bool stopRequested(const frame::DevStruct& record);

// Waits up to `ms`, ending early on the stop event; true when stopped.
bool pauseUnlessStopped(const frame::DevStruct& record, uint32_t ms);

} // namespace zs::engine
