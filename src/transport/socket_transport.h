#pragma once
#include "platform/event.h"
#include "platform/overlapped.h"
#include "platform/sockets.h"

#include <array>
#include <cstdint>
#include <mutex>

namespace zs::transport {

using platform::SocketHandle;

// Line-command codes: the rate-change window and the instrument's reset line, by data
// channel of the network instrument.
inline uint32_t rateWindowCode(int32_t channelIndex) {
    return channelIndex ? 32 : 16;
}
inline uint32_t resetLineCode(int32_t channelIndex) {
    return channelIndex ? 1 : 64;
}
inline constexpr uint32_t kRateWindowOpen = 0x30;
inline constexpr uint32_t kRateWindowClose = 0;
inline constexpr uint32_t kResetLineAssert = 0x41;
inline constexpr uint32_t kResetLineRelease = 0;

// Overlapped socket transfers that end on `stop` (may be null). When `lock` is given the
// caller holds it on entry; it is released for the whole transfer and held again on return.
// socketSend waits at most kSocketSendTimeoutMs for room: a stop returns 0 and leaves the
// send to the system; a time-out returns 0 and withdraws it.
inline constexpr uint32_t kSocketSendTimeoutMs = 1000;
uint32_t socketSend(SocketHandle socket, const uint8_t* buffer, uint32_t length,
                    platform::Event* stop, platform::Overlapped& io, std::mutex* lock = nullptr);

// Receives into `buffer`, waiting up to `timeoutMs`. A receive that times out stays posted
// (`*pending` = 1): the next call waits for that same receive, whose bytes land in the
// buffer given when it was posted, so callers pass the same buffer every time. 0 when
// nothing arrived in time, on failure or on stop.
uint32_t socketReceive(SocketHandle socket, uint8_t* buffer, uint32_t length, int32_t* pending,
                       platform::Event* stop, platform::Overlapped& io, uint32_t timeoutMs,
                       std::mutex* lock = nullptr);

// The 9-byte line command: 1B, code, value (both least significant byte first).
std::array<uint8_t, 9> buildLineCommand(uint32_t code, uint32_t value);

// Sends a line command on the command socket; false only when there is no command socket.
bool lineCommand(SocketHandle commandSocket, uint32_t code, uint32_t value, platform::Event* stop,
                 platform::Overlapped& io, std::mutex* lock = nullptr);

// One turn of the line-rate change of a TCP link: open the rate window, send the rate packet
// on the data socket, close the window, each 100 ms apart. 1 when this turn finished it.
int tcpRateStep(SocketHandle dataSocket, SocketHandle commandSocket, int32_t channelIndex,
                uint32_t rate, int32_t& linkState, uint32_t& stateTime, platform::Event* stop,
                platform::Overlapped& io, std::mutex* lock = nullptr);

} // namespace zs::transport
