#include "transport/socket_transport.h"

#include "platform/clock.h"
#include "transport/ftdi_transport.h"

namespace zs::transport {
namespace {

using platform::IoStart;
using platform::IoWait;

// Releases the caller's lock for the transfer and takes it again on every way out.
class Unlocked {
  public:
    explicit Unlocked(std::mutex* lock) : lock_(lock) {
        if (lock_) lock_->unlock();
    }
    ~Unlocked() {
        if (lock_) lock_->lock();
    }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

  private:
    std::mutex* lock_;
};

constexpr uint32_t kTcpStepMs = 100;

} // namespace

uint32_t socketSend(SocketHandle socket, const uint8_t* buffer, uint32_t length,
                    platform::Event* stop, platform::Overlapped& io, std::mutex* lock) {
    Unlocked unlocked(lock);
    if (socket == platform::kNoSocket) return 0;
    // A receive left posted on the record's block (for the next read to collect) keeps that
    // block: the send goes on one of its own, never on a block with a transfer in flight.
    platform::Overlapped own;
    platform::Overlapped& block = io.posted == platform::PostedIo::None ? io : own;
    uint32_t count = 0;
    const IoStart start = platform::postSend(socket, buffer, length, block, count);
    if (start != IoStart::Pending) return count;
    switch (platform::waitPosted(block, stop, kSocketSendTimeoutMs)) {
    case IoWait::Completed:
        platform::postedResult(block, count);
        return count;
    case IoWait::TimedOut:
    case IoWait::Stopped:
        // A peer that stopped reading, or a stop: the bytes are the caller's and the block
        // must be free again, so the send is withdrawn before either goes.
        platform::cancelPosted(socket, block);
        return 0;
    }
    return 0;
}

uint32_t socketReceive(SocketHandle socket, uint8_t* buffer, uint32_t length, int32_t* pending,
                       platform::Event* stop, platform::Overlapped& io, uint32_t timeoutMs,
                       std::mutex* lock) {
    Unlocked unlocked(lock);
    int32_t ownFlag = 0;
    int32_t& flag = pending ? *pending : ownFlag;
    uint32_t count = 0;
    // A flag whose receive is no longer in the record (another transfer used the block since)
    // has nothing to collect: post afresh rather than report that transfer's count.
    if (flag && io.posted != platform::PostedIo::Receive) flag = 0;
    // A transfer of another caller still in flight on the block is withdrawn and collected
    // first: a second one is never posted on a busy block.
    if (!flag && io.posted != platform::PostedIo::None) platform::cancelPosted(socket, io);
    if (flag) {
        // The receive posted by an earlier call: collect it, do not post another.
        if (platform::waitPosted(io, stop, timeoutMs) != IoWait::Completed) return 0;
        platform::postedResult(io, count);
        flag = 0;
        return count;
    }
    if (socket == platform::kNoSocket) return 0;
    const IoStart start = platform::postReceive(socket, buffer, length, io, count);
    if (start != IoStart::Pending) return count;
    switch (platform::waitPosted(io, stop, timeoutMs)) {
    case IoWait::Completed:
        platform::postedResult(io, count);
        return count;
    case IoWait::TimedOut:
    case IoWait::Stopped:
        // Still posted either way: the next call collects it rather than posting a second
        // receive on the same overlapped record.
        flag = 1;
        return 0;
    }
    return 0;
}

std::array<uint8_t, 9> buildLineCommand(uint32_t code, uint32_t value) {
    return {0x1B,
            static_cast<uint8_t>(code),
            static_cast<uint8_t>(code >> 8),
            static_cast<uint8_t>(code >> 16),
            static_cast<uint8_t>(code >> 24),
            static_cast<uint8_t>(value),
            static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

bool lineCommand(SocketHandle commandSocket, uint32_t code, uint32_t value, platform::Event* stop,
                 platform::Overlapped& io, std::mutex* lock) {
    if (commandSocket == platform::kNoSocket) return false;
    const auto bytes = buildLineCommand(code, value);
    socketSend(commandSocket, bytes.data(), static_cast<uint32_t>(bytes.size()), stop, io, lock);
    return true;
}

int tcpRateStep(SocketHandle dataSocket, SocketHandle commandSocket, int32_t channelIndex,
                uint32_t rate, int32_t& linkState, uint32_t& stateTime, platform::Event* stop,
                platform::Overlapped& io, std::mutex* lock) {
    const uint32_t now = platform::tickMs();
    const uint32_t state = static_cast<uint32_t>(linkState);
    const bool waited = now - stateTime >= kTcpStepMs;
    auto next = [&] {
        linkState = static_cast<int32_t>(state + 1);
        stateTime = now;
    };
    switch (state & 0xFF) {
    case 0:
        lineCommand(commandSocket, rateWindowCode(channelIndex), kRateWindowOpen, stop, io, lock);
        next();
        return 0;
    case 1: {
        if (!waited) return 0;
        const auto packet = buildRatePacket(rate);
        socketSend(dataSocket, packet.data(), static_cast<uint32_t>(packet.size()), stop, io, lock);
        next();
        return 0;
    }
    case 2:
        if (!waited) return 0;
        lineCommand(commandSocket, rateWindowCode(channelIndex), kRateWindowClose, stop, io, lock);
        next();
        return 0;
    case 3:
        if (!waited) return 0;
        next();
        return 1;
    default:
        return 0;
    }
}

} // namespace zs::transport
