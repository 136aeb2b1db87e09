#pragma once
#include <cstdint>

namespace zs::transport {

// How a device is connected and which protocol its instrument speaks. The values are the
// record's 32-bit kind codes; the Python binding mirrors them.
enum class LinkKind : uint32_t {
    NoneOrWinUsb = 0,       // not chosen yet, or a WinUSB instrument
    Unaccepted = 1,         // opened by the generator list builder, not yet accepted
    FtdiDirect = 2,         // the D2XX rate call sets the line rate
    FtdiPacketSwitched = 3, // the instrument is told its new rate by a rate packet
    FtdiDirectSync = 4,
    FtdiPacketSwitchedSync = 5,
    TcpChannel0 = 6,
    TcpChannel1 = 7,
    MultiPortOutput = 13, // a multi-port output module that did not answer tagged packets
    Ethernet = 14,
};

// Instruments that exchange sync packets; every other one uses two-byte commands, tagged
// packets, WinUSB command payloads and UDP datagram commands.
constexpr bool isSyncFamily(LinkKind k) {
    return k == LinkKind::FtdiDirectSync || k == LinkKind::FtdiPacketSwitchedSync ||
           k == LinkKind::TcpChannel1 || k == LinkKind::MultiPortOutput;
}

// Identification speaks tagged packets to these; any other kind but none is asked for its
// program list in sync packets.
constexpr bool identifiedByTaggedPackets(LinkKind k) {
    return k == LinkKind::FtdiDirect || k == LinkKind::FtdiPacketSwitched ||
           k == LinkKind::TcpChannel0;
}

// Kinds whose line rate the D2XX rate call sets, and those told their new rate by a rate
// packet framed by line-low and line-high.
constexpr bool isDirectRate(LinkKind k) {
    return k == LinkKind::FtdiDirect || k == LinkKind::FtdiDirectSync ||
           k == LinkKind::MultiPortOutput;
}
constexpr bool isPacketSwitched(LinkKind k) {
    return k == LinkKind::FtdiPacketSwitched || k == LinkKind::FtdiPacketSwitchedSync;
}

// Kinds whose line runs with hardware handshake during identification.
constexpr bool usesHandshake(LinkKind k) {
    return isPacketSwitched(k) || k == LinkKind::TcpChannel0 || k == LinkKind::TcpChannel1;
}

// The bit-bang line that resets a sync-family instrument.
constexpr uint8_t resetLine(LinkKind k) {
    return k == LinkKind::MultiPortOutput ? 0x40 : 0x20;
}

constexpr uint32_t code(LinkKind k) {
    return static_cast<uint32_t>(k);
}

} // namespace zs::transport
