#include "platform/clock.h"
#include "transport/winusb_binding.h"

namespace zs::transport {
namespace {

using platform::PostedIo;

constexpr uint32_t kAbandonPollMs = 10;

uint32_t pipeTransfer(WinUsbApi::Pipe call, void* interfaceHandle, uint8_t pipe, uint8_t* buffer,
                      uint32_t length, platform::Event* stop, platform::Overlapped& io,
                      uint32_t timeoutMs) {
    const WinUsbApi& api = winUsb();
    if (!api.bound || !call || !interfaceHandle) return 0;
    uint32_t count = 0;
    switch (winUsbPost(call, interfaceHandle, pipe, buffer, length, io, count)) {
    case PipeState::Done:
        return count;
    case PipeState::Failed:
        return 0;
    case PipeState::Pending:
        break;
    }
    if (winUsbWait(interfaceHandle, io, stop, timeoutMs, count) == PipeState::Done) return count;
    winUsbAbandon(interfaceHandle, io);
    return 0;
}

} // namespace

PipeState winUsbPost(WinUsbApi::Pipe call, void* interfaceHandle, uint8_t pipe, uint8_t* buffer,
                     uint32_t length, platform::Overlapped& io, uint32_t& count) {
    count = 0;
    if (io.posted != PostedIo::None) winUsbAbandon(interfaceHandle, io);
    if (!call || !interfaceHandle) return PipeState::Failed;
    io.ensureEvent();
    if (call(interfaceHandle, pipe, buffer, length, &count, io.system())) return PipeState::Done;
    count = 0;
    if (platform::lastSystemError() != platform::kErrorIoPending) return PipeState::Failed;
    io.posted = PostedIo::Receive;
    io.postedPipe = pipe;
    return PipeState::Pending;
}

PipeState winUsbPoll(void* interfaceHandle, platform::Overlapped& io, uint32_t& count) {
    count = 0;
    if (io.posted == PostedIo::None) return PipeState::Failed;
    const WinUsbApi& api = winUsb();
    if (api.overlappedResult && api.overlappedResult(interfaceHandle, io.system(), &count, 0)) {
        io.posted = PostedIo::None;
        return PipeState::Done;
    }
    count = 0;
    // The completion event is only a wake-up (one left set by a transfer that completed at
    // once looks the same): the result says whether this transfer is over.
    if (api.overlappedResult && platform::lastSystemError() == platform::kErrorIoIncomplete)
        return PipeState::Pending;
    io.posted = PostedIo::None;
    return PipeState::Failed;
}

PipeState winUsbWait(void* interfaceHandle, platform::Overlapped& io, platform::Event* stop,
                     uint32_t timeoutMs, uint32_t& count) {
    platform::Event& done = io.ensureEvent();
    const uint32_t start = platform::tickMs();
    for (;;) {
        const PipeState state = winUsbPoll(interfaceHandle, io, count);
        if (state != PipeState::Pending) return state;
        uint32_t wait = platform::kWaitInfinite;
        if (timeoutMs != platform::kWaitInfinite) {
            const uint32_t elapsed = platform::tickMs() - start;
            if (elapsed >= timeoutMs) return PipeState::Pending;
            wait = timeoutMs - elapsed;
        }
        const int r = stop ? platform::waitAny({&done, stop}, wait)
                           : (done.wait(wait) ? 0 : platform::kWaitTimedOut);
        if (r == 1) return winUsbPoll(interfaceHandle, io, count); // the transfer wins a tie
    }
}

void winUsbAbandon(void* interfaceHandle, platform::Overlapped& io, uint32_t timeoutMs) {
    if (io.posted == PostedIo::None) return;
    const WinUsbApi& api = winUsb();
    if (api.abortPipe && interfaceHandle) api.abortPipe(interfaceHandle, io.postedPipe);
    uint32_t count = 0;
    const uint32_t start = platform::tickMs();
    while (winUsbPoll(interfaceHandle, io, count) == PipeState::Pending &&
           platform::tickMs() - start < timeoutMs)
        io.ensureEvent().wait(kAbandonPollMs);
    // Past the bound the block is given up for lost rather than waited on for ever.
    io.posted = PostedIo::None;
}

uint32_t winUsbWrite(void* interfaceHandle, const uint8_t* buffer, uint32_t length,
                     platform::Event* stop, platform::Overlapped& io) {
    return pipeTransfer(winUsb().writePipe, interfaceHandle, kWinUsbOutPipe,
                        const_cast<uint8_t*>(buffer), length, stop, io, kWinUsbWriteTimeoutMs);
}

uint32_t winUsbRead(void* interfaceHandle, uint8_t* buffer, uint32_t length, platform::Event* stop,
                    platform::Overlapped& io) {
    return pipeTransfer(winUsb().readPipe, interfaceHandle, kWinUsbInPipe, buffer, length, stop, io,
                        platform::kWaitInfinite);
}

} // namespace zs::transport
