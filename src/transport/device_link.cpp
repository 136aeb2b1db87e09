#include "transport/device_link.h"

#include "platform/clock.h"
#include "transport/winusb_binding.h"

namespace zs::transport {

void closeLink(DeviceLink& link) {
    if (link.hasFtdi()) {
        d2xx().close(link.ftdiHandle);
        link.ftdiHandle = kNoFtdiHandle;
    } else if (link.hasTcp()) {
        // Give the instrument the last command before the connection goes.
        platform::sleepMs(100);
        platform::closeSocket(link.tcpSocket);
        link.tcpSocket = kNoSocket;
        platform::settlePosted(link.ioOverlapped); // a receive may still be posted into rxBuffer
        platform::settlePosted(link.streamOverlapped);
    } else if (link.hasUdp()) {
        platform::sleepMs(100);
        platform::closeSocket(link.udpSocket);
        link.udpSocket = kNoSocket;
        platform::settlePosted(link.ioOverlapped);
        platform::settlePosted(link.streamOverlapped);
    } else if (link.hasWinUsb()) {
        // Nothing may complete into the record once it goes.
        winUsbAbandon(link.winUsbHandle, link.ioOverlapped);
        winUsbAbandon(link.winUsbHandle, link.streamOverlapped);
        releaseWinUsb(link.winUsbHandle, link.winUsbFile);
    }
}

void withdrawPostedReceive(DeviceLink& link) {
    if (!link.hasTcp() && !link.hasUdp()) return;
    if (link.ioOverlapped.posted != platform::PostedIo::None)
        platform::cancelPosted(link.ioOverlapped.postedSocket, link.ioOverlapped);
    link.readPending = 0;
}

} // namespace zs::transport
