#pragma once
#include "engine/command_packets.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

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

// Joins the 512-byte stream fragments of a WinUSB instrument into records no longer than
// kRecordBufferSize; a run that outgrows it is dropped up to its last fragment.
class FragmentJoiner {
  public:
    FragmentJoiner() { joined_.reserve(kRecordBufferSize); }
    // One frame read from the IN pipe; a record when it completes one. The span lives until
    // the next call.
    std::optional<std::span<const uint8_t>> add(const uint8_t* frame, uint32_t count);

  private:
    std::vector<uint8_t> joined_;
    bool discarding_ = false;
    bool complete_ = false;
};

// The record a stream datagram carries when it comes from the instrument's own address and
// port (`from`: the sender's socket address as the receive stored it); nothing otherwise.
std::optional<std::span<const uint8_t>> streamDatagramRecord(const transport::UdpPeer& peer,
                                                             std::span<const uint8_t> datagram,
                                                             const uint8_t* from,
                                                             int32_t fromLength);

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
