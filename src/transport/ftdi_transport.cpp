#include "transport/ftdi_transport.h"

#include "platform/clock.h"

#include <cmath>

namespace zs::transport {
namespace {

constexpr uint32_t kPollMs = 5;
constexpr uint32_t kStepMs = 10;

uint32_t transfer(D2xxApi::Transfer call, FtHandle handle, uint8_t* buffer, uint32_t length,
                  platform::Event* stop, platform::Overlapped& io) {
    const D2xxApi& api = d2xx();
    uint32_t count = 0;
    if (call(handle, buffer, length, &count, io.system())) return count;
    if (api.lastError(handle) != platform::kErrorIoPending) return count;
    for (;;) {
        if (api.result(handle, io.system(), &count, 0)) return count;
        // A stopped transfer is abandoned, not cancelled: the driver still owns the block.
        if (stop ? stop->wait(kPollMs) : (platform::sleepMs(kPollMs), false)) return count;
    }
}

} // namespace

uint32_t ftdiWrite(FtHandle handle, const uint8_t* buffer, uint32_t length, platform::Event* stop,
                   platform::Overlapped& io) {
    return transfer(d2xx().write, handle, const_cast<uint8_t*>(buffer), length, stop, io);
}

uint32_t ftdiRead(FtHandle handle, uint8_t* buffer, uint32_t length, platform::Event* stop,
                  platform::Overlapped& io) {
    return transfer(d2xx().read, handle, buffer, length, stop, io);
}

int ftdiRateStep(FtHandle handle, LinkKind linkKind, uint32_t rate, int32_t& linkState,
                 uint32_t& stateTime, platform::Event* stop, platform::Overlapped& io) {
    const uint32_t now = platform::tickMs();
    const uint32_t state = static_cast<uint32_t>(linkState);
    const uint32_t step = state & 0xFF;
    const bool waited = now - stateTime >= kStepMs;
    auto next = [&](uint32_t newState) {
        linkState = static_cast<int32_t>(newState);
        stateTime = now;
    };
    const D2xxApi& api = d2xx();

    if (isDirectRate(linkKind)) {
        if (step == 0) {
            const uint32_t status = api.rate(handle, rate);
            if (status == kD2xxOk) {
                next(state + 1);
                return 0;
            }
            if (status == kD2xxRateRefused) {
                linkState = static_cast<int32_t>((state & ~0xFFu) + 0x100);
                return 1;
            }
            return 0; // any other failure: the next turn tries again
        }
        if (step == 1) {
            if (!waited) return 0;
            next(state + 3);
            return 1;
        }
        return 0;
    }
    if (isPacketSwitched(linkKind)) {
        switch (step) {
        case 0:
            api.lineLow(handle);
            next(state + 1);
            return 0;
        case 1: {
            if (!waited) return 0;
            const auto packet = buildRatePacket(rate);
            ftdiWrite(handle, packet.data(), static_cast<uint32_t>(packet.size()), stop, io);
            next(state + 1);
            return 0;
        }
        case 2:
            if (!waited) return 0;
            api.lineHigh(handle);
            next(state + 1);
            return 0;
        case 3:
            if (!waited) return 0;
            next(state + 1);
            return 1;
        default:
            return 0;
        }
    }
    return 0;
}

std::array<uint8_t, 6> buildRatePacket(uint32_t rate) {
    const uint32_t word = buildRateWord(rate);
    return {0x00,
            static_cast<uint8_t>(word),
            static_cast<uint8_t>(word >> 8),
            static_cast<uint8_t>(word >> 16),
            static_cast<uint8_t>(word >> 24),
            0x02};
}

} // namespace zs::transport
