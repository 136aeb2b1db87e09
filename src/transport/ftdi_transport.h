#pragma once
#include "platform/event.h"
#include "platform/overlapped.h"
#include "transport/d2xx.h"
#include "transport/link_kind.h"
#include "transport/rate_word.h"

#include <array>
#include <cstdint>

namespace zs::transport {

// Byte transfers over a D2XX handle: a pending transfer is polled with the result call,
// waiting up to 5 ms on `stop` (may be null) between polls. A stop returns the count so far
// (normally 0) and leaves the transfer pending. 0 on failure.
uint32_t ftdiWrite(FtHandle handle, const uint8_t* buffer, uint32_t length, platform::Event* stop,
                   platform::Overlapped& io);
uint32_t ftdiRead(FtHandle handle, uint8_t* buffer, uint32_t length, platform::Event* stop,
                  platform::Overlapped& io);

// One turn of the line-rate change of an FTDI link (stage in linkState bits 8 and up, step in
// bits 0-7, stateTime the tick of the last step). Returns 1 when this turn finished the
// change (step 4) or the rate was refused (next stage, step 0), else 0.
int ftdiRateStep(FtHandle handle, LinkKind linkKind, uint32_t rate, int32_t& linkState,
                 uint32_t& stateTime, platform::Event* stop, platform::Overlapped& io);

// The 6-byte rate packet: 00, the rate word least significant byte first, 02.
std::array<uint8_t, 6> buildRatePacket(uint32_t rate);

} // namespace zs::transport
