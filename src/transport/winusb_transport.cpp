#include "transport/winusb_binding.h"

namespace zs::transport {
namespace {

uint32_t pipeTransfer(WinUsbApi::Pipe call, void* interfaceHandle, uint8_t pipe, uint8_t* buffer,
                      uint32_t length, platform::Event* stop, platform::Overlapped& io) {
    const WinUsbApi& api = winUsb();
    if (!api.bound || !call || !interfaceHandle) return 0;
    platform::Event& done = io.ensureEvent();
    uint32_t count = 0;
    if (call(interfaceHandle, pipe, buffer, length, &count, io.system())) return count;
    if (platform::lastSystemError() != platform::kErrorIoPending) return count;
    for (;;) {
        const int r = stop ? platform::waitAny({&done, stop}, platform::kWaitInfinite)
                           : (done.wait(platform::kWaitInfinite) ? 0 : platform::kWaitTimedOut);
        if (r != 0) return 0; // stopped: the transfer stays pending
        count = 0;
        if (api.overlappedResult(interfaceHandle, io.system(), &count, 0)) return count;
        // The event may have been left set by an earlier transfer that completed at once;
        // only a result that is still incomplete sends us back to the wait.
        if (platform::lastSystemError() != platform::kErrorIoIncomplete) return 0;
    }
}

} // namespace

uint32_t winUsbWrite(void* interfaceHandle, const uint8_t* buffer, uint32_t length,
                     platform::Event* stop, platform::Overlapped& io) {
    return pipeTransfer(winUsb().writePipe, interfaceHandle, kWinUsbOutPipe,
                        const_cast<uint8_t*>(buffer), length, stop, io);
}

uint32_t winUsbRead(void* interfaceHandle, uint8_t* buffer, uint32_t length, platform::Event* stop,
                    platform::Overlapped& io) {
    return pipeTransfer(winUsb().readPipe, interfaceHandle, kWinUsbInPipe, buffer, length, stop,
                        io);
}

} // namespace zs::transport
