#include "transport/dispatch.h"

#include "transport/ftdi_transport.h"
#include "transport/socket_transport.h"
#include "transport/winusb_binding.h"

#include <cstring>

namespace zs::transport {

uint32_t deviceWrite(DeviceLink& device, const uint8_t* buffer, uint32_t length,
                     platform::Event* stop, platform::Overlapped& io) {
    if (device.hasFtdi()) return ftdiWrite(device.ftdiHandle, buffer, length, stop, io);
    if (device.hasTcp()) return socketSend(device.tcpSocket, buffer, length, stop, io);
    if (device.hasUdp()) return socketSend(device.udpSocket, buffer, length, stop, io);
    return winUsbWrite(device.winUsbHandle, buffer, length, stop, io);
}

uint32_t deviceRead(DeviceLink& device, uint8_t* buffer, uint32_t length, platform::Event* stop,
                    platform::Overlapped& io, int32_t* readPending, uint32_t timeoutMs) {
    if (device.hasFtdi()) return ftdiRead(device.ftdiHandle, buffer, length, stop, io);
    if (device.hasTcp())
        return socketReceive(device.tcpSocket, buffer, length, readPending, stop, io, timeoutMs);
    if (device.hasUdp())
        return socketReceive(device.udpSocket, buffer, length, readPending, stop, io, timeoutMs);
    return winUsbRead(device.winUsbHandle, buffer, length, stop, io);
}

int deviceRateStep(DeviceLink& device, uint32_t rate, platform::Event* stop) {
    if (device.hasFtdi())
        return ftdiRateStep(device.ftdiHandle, device.linkKind, rate, device.linkState,
                            device.stateTime, stop, device.ioOverlapped);
    if (device.hasTcp())
        return tcpRateStep(device.tcpSocket, device.commandSocketHandle(), device.channelIndex,
                           rate, device.linkState, device.stateTime, stop, device.ioOverlapped);
    return 1;
}

uint32_t winUsbFramedWrite(DeviceLink& device, const uint8_t* data, uint32_t length,
                           platform::Event* stop) {
    uint8_t frame[kWinUsbFrameSize] = {};
    const uint32_t n = length >= kWinUsbFramePayload ? kWinUsbFramePayload : length;
    const uint16_t words = static_cast<uint16_t>((n >> 1) | 0x8000);
    frame[0] = 0x65;
    frame[1] = 0xAF;
    frame[2] = static_cast<uint8_t>(words);
    frame[3] = static_cast<uint8_t>(words >> 8);
    if (n && data) std::memcpy(frame + 4, data, n);
    return winUsbWrite(device.winUsbHandle, frame, kWinUsbFrameSize, stop, device.ioOverlapped);
}

} // namespace zs::transport
