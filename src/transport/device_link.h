#pragma once
#include "platform/event.h"
#include "platform/overlapped.h"
#include "platform/sockets.h"
#include "transport/d2xx.h"
#include "transport/link_kind.h"
#include "transport/winusb_binding.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace zs::transport {

using platform::kNoSocket;
using platform::SocketHandle;

// One socket, closed when the object goes. Held by shared pointer when several records
// share it (the command socket of a Wi-Fi instrument's two channels).
class auto_close_socket {
  public:
    SocketHandle socket = kNoSocket;

    auto_close_socket() = default;
    explicit auto_close_socket(SocketHandle s) : socket(s) {}
    ~auto_close_socket() {
        if (socket != kNoSocket) platform::closeSocket(socket);
    }
    auto_close_socket(const auto_close_socket&) = delete;
    auto_close_socket& operator=(const auto_close_socket&) = delete;
};

// UDP peer of an Ethernet instrument, both members in network byte order as a socket
// address holds them.
struct UdpPeer {
    uint16_t port = 0;
    uint32_t address = 0;
};

inline constexpr size_t kRxBufferSize = 65536;

// The link half of a device record: which link the instrument is on, its handles and
// sockets, the receive buffer and overlapped record the transfers use, and the rate-change
// progress. The device record derives from it; the dispatch works on it alone. The record's
// stop event is not part of the link: transfers take it as an argument.
struct DeviceLink {
    DeviceLink() = default;
    DeviceLink(const DeviceLink&) = delete;
    DeviceLink& operator=(const DeviceLink&) = delete;

    FtHandle ftdiHandle = kNoFtdiHandle;
    // The serial number the FTDI handle was opened by. It outlives the handle, so a record
    // whose instrument was pulled out can reopen that instrument once it is back.
    std::string ftdiSerial;
    SocketHandle tcpSocket = kNoSocket;
    int32_t channelIndex = 0; // network data channel 0 or 1: TCP port 10001 + channelIndex
    // A Wi-Fi instrument's addresses (host order), to connect again after it closed the
    // connection; 0 when the link was not attached by address.
    uint32_t wifiLocal = 0;
    uint32_t wifiDevice = 0;
    SocketHandle udpSocket = kNoSocket;
    UdpPeer udpPeer;
    std::shared_ptr<auto_close_socket> commandSocket;
    void* winUsbFile = kInvalidFile;
    void* winUsbHandle = nullptr;
    // The interface path the WinUSB handle was bound on; like the serial number above it
    // marks a record whose instrument was gone at a reconnect as a WinUSB record still.
    std::u16string winUsbPath;
    std::array<uint8_t, kRxBufferSize> rxBuffer; // not cleared: the transports fill it
    int32_t readPending = 0;           // 1 while a socket receive posted by an earlier call is out
    platform::Overlapped ioOverlapped; // ioOverlapped.ioEvent: created by the I/O thread start
    // The I/O thread's own receives (stream and signal), apart from the command writes on
    // ioOverlapped. It lives with the link, so a receive left posted when a thread stops
    // lands here, and the next thread collects it instead of posting a second one.
    platform::Overlapped streamOverlapped;
    LinkKind linkKind = LinkKind::NoneOrWinUsb;
    int32_t linkState = 0; // stage in bits 8 and up, step in bits 0-7; -1 when done
    uint32_t baudRate = 0;
    uint32_t maxBaudRate = 0;
    uint32_t stateTime = 0; // tick of the last linkState step

    bool hasFtdi() const { return ftdiHandle != kNoFtdiHandle; }
    bool hasTcp() const { return tcpSocket != kNoSocket; }
    bool hasUdp() const { return udpSocket != kNoSocket; }
    bool hasWinUsb() const { return winUsbHandle != nullptr; }
    SocketHandle commandSocketHandle() const {
        return commandSocket ? commandSocket->socket : kNoSocket;
    }
};

// The link as the trace names it: "USB <serial>", "Wi-Fi <address> channel <n>",
// "Ethernet <address>:<port>", "WinUSB <path>".
std::string linkName(const DeviceLink& link);

// Closes the record's link, only the first that applies: the FTDI handle (D2XX close call),
// else the TCP socket, else the UDP socket (each after 100 ms, so the instrument sees the
// last command before the close), else the WinUSB interface and its file. The closed
// handle is set back to "none". Failures are ignored.
void closeLink(DeviceLink& link);

// Withdraws and collects a receive that identification left posted on the record's block, so
// that it can neither take the first bytes of the stream nor share the block with a send.
void withdrawPostedReceive(DeviceLink& link);

} // namespace zs::transport
