#pragma once
#include "platform/event.h"
#include "platform/overlapped.h"
#include "transport/device_link.h"

#include <cstdint>

namespace zs::transport {

// The transfers of a device, on the first link it has, in this order: FTDI handle, TCP
// socket, UDP socket, otherwise WinUSB (raw, no frame). The caller keeps the record alive
// for the call and serialises the transfers of one device.
uint32_t deviceWrite(DeviceLink& device, const uint8_t* buffer, uint32_t length,
                     platform::Event* stop, platform::Overlapped& io);
// `readPending` is the device's flag of a socket receive still posted; the time-out applies
// to socket links only (an FTDI read ends on completion or stop).
uint32_t deviceRead(DeviceLink& device, uint8_t* buffer, uint32_t length, platform::Event* stop,
                    platform::Overlapped& io, int32_t* readPending, uint32_t timeoutMs);
// One turn of the device's line-rate change (FTDI or TCP); 1 at once for UDP and WinUSB,
// whose rate is not changed, with linkState untouched.
int deviceRateStep(DeviceLink& device, uint32_t rate, platform::Event* stop);

inline constexpr uint32_t kWinUsbFrameSize = 512;
inline constexpr uint32_t kWinUsbFramePayload = 508;
inline constexpr uint16_t kWinUsbLastFragment = 0x8000;
inline constexpr uint32_t kWinUsbFragmentWords = 254; // what one frame carries after its header

// The payload words of an incoming fragment frame by its control word: a full frame's unless
// it is the last, whose low byte counts them, never more than the frame holds.
inline uint32_t winUsbFragmentWords(uint16_t control) {
    if (!(control & kWinUsbLastFragment)) return kWinUsbFragmentWords;
    const uint32_t n = control & 0xFFu;
    return n < kWinUsbFragmentWords ? n : kWinUsbFragmentWords;
}

// Sends `data` in one 512-byte WinUSB command frame (65 AF, word count | 0x8000, payload
// capped at 508 bytes, zeros). 512 when the frame went out, else 0.
uint32_t winUsbFramedWrite(DeviceLink& device, const uint8_t* data, uint32_t length,
                           platform::Event* stop);

} // namespace zs::transport
