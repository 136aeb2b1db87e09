#include "transport/device_link.h"

#include "platform/clock.h"
#include "platform/text.h"
#include "trace/trace.h"
#include "transport/winusb_binding.h"

#include <cstdio>

namespace zs::transport {
namespace {

std::string dotted(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
                  (address >> 8) & 0xFF, address & 0xFF);
    return text;
}

} // namespace

std::string linkName(const DeviceLink& link) {
    // A record whose instrument went keeps what named it, so a reconnect's lines name it too.
    if (link.hasFtdi() || !link.ftdiSerial.empty())
        return "USB " +
               (link.ftdiSerial.empty() ? std::string("(serial unknown)") : link.ftdiSerial);
    if (link.hasTcp() || link.wifiDevice != 0) {
        if (link.wifiDevice == 0) return "Wi-Fi channel " + std::to_string(link.channelIndex);
        return "Wi-Fi " + dotted(link.wifiDevice) + " channel " + std::to_string(link.channelIndex);
    }
    if (link.hasUdp())
        return "Ethernet " + dotted(platform::hostToNetwork32(link.udpPeer.address)) + ":" +
               std::to_string(platform::hostToNetwork16(link.udpPeer.port));
    if (link.hasWinUsb() || !link.winUsbPath.empty())
        return "WinUSB " + platform::utf8FromUtf16(link.winUsbPath);
    return "record without a link";
}

void closeLink(DeviceLink& link) {
    if (link.hasFtdi() || link.hasTcp() || link.hasUdp() || link.hasWinUsb())
        ZS_TRACE_LINE(linkName(link), ": link closed");
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
