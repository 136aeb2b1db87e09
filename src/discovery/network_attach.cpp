#include "discovery/network_attach.h"

#include "discovery/address_text.h"
#include "discovery/identification.h"
#include "engine/command_packets.h"
#include "engine/io_threads.h"
#include "frame/description_guard.h"
#include "frame/library.h"
#include "platform/adapters.h"
#include "platform/clock.h"
#include "platform/little_endian.h"
#include "platform/sockets.h"
#include "telemetry/record_decoder.h"
#include "trace/trace.h"
#include "transport/socket_transport.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace zs::discovery {

using frame::DevStruct;
using platform::kNoSocket;
using platform::SocketAddress;
using platform::SocketHandle;

namespace {

constexpr uint32_t kConnectTimeoutMs = 5000;
constexpr uint32_t kHelloTimeoutMs = 150;
constexpr uint32_t kQueryWaitMs = 1000;
constexpr uint32_t kReplyCapacity = 4096;

constexpr uint32_t kChannelCodeOne = 0;
constexpr uint32_t kChannelCodeTwo = 55;
constexpr uint32_t kChannelCodeCombined = 247;

constexpr uint32_t kReplyWord0 = 0x84857534;
constexpr uint32_t kReplyWord1 = 0x7B7A8ACB;

std::optional<uint32_t> parsedAddress(const char16_t* text) {
    const auto narrow = addressText(text);
    if (!narrow) return std::nullopt;
    const uint32_t address = parseDottedAddress(*narrow);
    if (address == 0) return std::nullopt;
    return address;
}

// The first adapter on the device's network.
std::optional<uint32_t> localAddressFor(uint32_t device) {
    const auto table = platform::adapterTable();
    if (!table) return std::nullopt;
    for (const auto& a : *table)
        if ((a.address & a.mask) == (device & a.mask)) return a.address;
    return std::nullopt;
}

// "Wi-Fi a.b.c.d:port" for the trace.
std::string wifiName(uint32_t device, uint16_t port) {
    return "Wi-Fi " + formatDottedAddress(device) + ":" + std::to_string(port);
}

SocketHandle connectedTcp(uint32_t local, uint32_t device, uint16_t port) {
    const SocketHandle s = platform::openTcpSocket();
    if (s == kNoSocket) {
        ZS_TRACE_LINE(wifiName(device, port), ": no socket");
        return kNoSocket;
    }
    if (!platform::bindSocket(s, SocketAddress{local, 0})) {
        ZS_TRACE_LINE(wifiName(device, port), ": cannot bind to ", formatDottedAddress(local));
        platform::closeSocket(s);
        return kNoSocket;
    }
    if (!platform::connectSocket(s, SocketAddress{device, port}, kConnectTimeoutMs)) {
        ZS_TRACE_LINE(wifiName(device, port), ": connect failed within ", kConnectTimeoutMs, " ms");
        platform::closeSocket(s);
        return kNoSocket;
    }
    ZS_TRACE_LINE(wifiName(device, port), ": connected from ", formatDottedAddress(local));
    return s;
}

void freshIoBlock(DevStruct& d) {
    d.ioOverlapped.closeEvent();
    d.ioOverlapped.block = {};
    d.ioOverlapped.ensureEvent();
}

} // namespace

std::optional<uint32_t> helloChannelCode(SocketHandle command, DevStruct& first) {
    const uint8_t hello[9] = {0x11, 0, 0, 0, 0, 0, 0, 0, 0};
    if (!platform::sendAll(command, hello, sizeof hello)) return std::nullopt;
    if (!first.stopEvent)
        first.stopEvent = std::make_unique<platform::Event>(platform::Event::Reset::Manual, false);
    uint8_t reply[5] = {};
    platform::Overlapped io;
    io.ensureEvent();
    int32_t pending = 0;
    uint32_t got = 0;
    // The reply may come in pieces, as any bytes on a stream may.
    const uint32_t deadline = platform::tickMs() + kHelloTimeoutMs;
    while (got < sizeof reply) {
        // At least one receive, however late: what has arrived is taken even then.
        const int32_t left =
            std::max<int32_t>(0, static_cast<int32_t>(deadline - platform::tickMs()));
        const uint32_t n =
            transport::socketReceive(command, reply + got, sizeof reply - got, &pending,
                                     first.stopEvent.get(), io, static_cast<uint32_t>(left));
        got += n;
        if (n == 0 && !pending) break; // closed, or the receive failed
        if (left == 0) break;
    }
    // A receive still posted would land in `reply` after this frame is gone.
    if (pending) platform::cancelPosted(command, io);
    if (got != sizeof reply) return std::nullopt;
    return platform::le32(reply + 1);
}

std::vector<uint32_t>
ethernetQueryTargets(std::optional<uint32_t> given,
                     const std::optional<std::vector<platform::AdapterAddress>>& table) {
    if (given) return {*given};
    std::vector<uint32_t> targets;
    if (table)
        for (const auto& a : *table)
            if (a.address != 0) targets.push_back(platform::directedBroadcast(a));
    return targets;
}

int attachWiFiDevice(const char16_t* localText, const char16_t* deviceText, int32_t* index) {
    if (index) *index = -1;
    if (!frame::lib().useSockets()) {
        ZS_TRACE_LINE("Wi-Fi: sockets unavailable");
        return 0;
    }
    const auto device = parsedAddress(deviceText);
    if (!device) {
        ZS_TRACE_LINE("Wi-Fi: the instrument's address is not a dotted IPv4 address");
        return 0;
    }
    const auto local = localText ? parsedAddress(localText) : localAddressFor(*device);
    if (!local) {
        ZS_TRACE_LINE("Wi-Fi ", formatDottedAddress(*device),
                      localText ? ": the local address is not a dotted IPv4 address"
                                : ": no adapter of this host is on its network");
        return 0;
    }

    const SocketHandle command = platform::openTcpSocket();
    if (command == kNoSocket) return 0;
    if (!platform::bindSocket(command, SocketAddress{*local, 0})) {
        ZS_TRACE_LINE(wifiName(*device, kWiFiCommandPort), ": cannot bind to ",
                      formatDottedAddress(*local));
        platform::closeSocket(command);
        return 0;
    }
    auto shared = std::make_shared<transport::auto_close_socket>(command);
    std::shared_ptr<DevStruct> channels[2] = {std::make_shared<DevStruct>(),
                                              std::make_shared<DevStruct>()};
    for (auto& c : channels) c->commandSocket = shared;
    if (!platform::connectSocket(command, SocketAddress{*device, kWiFiCommandPort},
                                 kConnectTimeoutMs)) {
        ZS_TRACE_LINE(wifiName(*device, kWiFiCommandPort), ": connect failed within ",
                      kConnectTimeoutMs, " ms");
        return 0;
    }
    ZS_TRACE_LINE(wifiName(*device, kWiFiCommandPort), ": connected from ",
                  formatDottedAddress(*local));

    for (auto& c : channels) freshIoBlock(*c);
    const auto code = helloChannelCode(command, *channels[0]);
    uint32_t count = 0;
    bool combined = false;
    if (code == kChannelCodeOne) {
        count = 1;
    } else if (code == kChannelCodeTwo) {
        count = 2;
    } else if (code == kChannelCodeCombined) {
        count = 2;
        combined = true;
    }
    if (!code)
        ZS_TRACE_LINE(wifiName(*device, kWiFiCommandPort), ": no hello reply within ",
                      kHelloTimeoutMs, " ms: no channel to attach");
    else
        ZS_TRACE_LINE(wifiName(*device, kWiFiCommandPort), ": hello reply, channel code ", *code,
                      ": ", count, count == 1 ? " channel" : " channels");
    auto& list = frame::lib().devices;
    const size_t listedBefore = list.size();
    for (uint32_t i = 0; i < count; ++i) {
        const SocketHandle data =
            connectedTcp(*local, *device, static_cast<uint16_t>(kWiFiDataPort + i));
        if (data == kNoSocket) continue;
        DevStruct& d = *channels[i];
        d.tcpSocket = data;
        d.wifiLocal = *local;
        d.wifiDevice = *device;
        d.channelIndex = static_cast<int32_t>(i);
        d.linkKind = (combined || i == 1) ? transport::LinkKind::TcpChannel1
                                          : transport::LinkKind::TcpChannel0;
        list.push_back(channels[i]);
    }
    identifyDevices(true, 0);
    // Only a record of this instrument has a position to give: an instrument that announced
    // no channel leaves -1 rather than the position of another instrument listed before.
    if (index && list.size() > listedBefore) *index = static_cast<int32_t>(list.size()) - 1;
    engine::startIoThreads();
    return 1;
}

int attachEthDevice(const char16_t* addressText, int32_t* index) {
    if (index) *index = -1;
    if (!frame::lib().useSockets()) return 0;
    frame::ensureDescriptionLoaded();

    std::optional<uint32_t> given;
    if (addressText) {
        given = parsedAddress(addressText);
        if (!given) {
            ZS_TRACE_LINE("Ethernet: the address is not a dotted IPv4 address");
            return 0;
        }
    }
    const std::vector<uint32_t> targets =
        ethernetQueryTargets(given, given ? std::nullopt : platform::adapterTable());
    if (targets.empty()) {
        ZS_TRACE_LINE("Ethernet: no adapter to send the query from");
        return 0;
    }

    const std::vector<uint8_t> query = engine::datagramCommand(7);
    std::vector<SocketHandle> sockets;
    for (uint32_t target : targets) {
        const SocketHandle s = platform::openUdpSocket();
        if (s == kNoSocket) continue;
        platform::bindSocket(s, SocketAddress{0, 0});
        // A given address may be a broadcast one too (the host's subnet's), which the system
        // refuses to send to from a socket not allowed to broadcast.
        platform::enableBroadcast(s);
        if (!platform::sendTo(s, query.data(), query.size(),
                              SocketAddress{target, kEthernetQueryPort})) {
            ZS_TRACE_LINE("Ethernet: the query to ", formatDottedAddress(target), ":",
                          kEthernetQueryPort, " could not be sent");
            platform::closeSocket(s);
            continue;
        }
        ZS_TRACE_LINE("Ethernet: query sent to ", formatDottedAddress(target), ":",
                      kEthernetQueryPort);
        sockets.push_back(s);
    }
    if (sockets.empty()) return 0; // no query went out: no reply to wait for
    platform::sleepMs(kQueryWaitMs);

    auto& list = frame::lib().devices;
    const auto& table = frame::lib().description;
    int attached = 0;
    std::vector<uint8_t> reply(kReplyCapacity);
    for (SocketHandle s : sockets) {
        for (;;) {
            SocketAddress from;
            const int n = platform::receiveFrom(s, reply.data(), reply.size(), from, 0);
            if (n <= 0) break;
            const auto length = static_cast<uint32_t>(n);
            const uint8_t* r = reply.data();
            const auto fromName = [&] {
                return "Ethernet " + formatDottedAddress(from.address) + ":" +
                       std::to_string(from.port);
            };
            if (length < 16 || platform::le32(r) != kReplyWord0 ||
                platform::le32(r + 4) != kReplyWord1 || platform::le32(r + 8) != 7) {
                ZS_TRACE_LINE(fromName(), ": ", length, " bytes that are no query reply");
                continue;
            }
            if (given && (from.address & ~*given) != 0) {
                ZS_TRACE_LINE(fromName(), ": reply passed over: not from the address given");
                continue;
            }

            auto d = std::make_shared<DevStruct>();
            d->linkKind = transport::LinkKind::Ethernet;
            d->linkState = -1;
            d->udpSocket = platform::openUdpSocket();
            if (d->udpSocket == kNoSocket) break;
            d->udpPeer = transport::UdpPeer{platform::hostToNetwork16(from.port),
                                            platform::hostToNetwork32(from.address)};
            if (!platform::connectSocket(d->udpSocket, from, kConnectTimeoutMs)) {
                ZS_TRACE_LINE(fromName(), ": the data socket cannot be connected");
                break;
            }
            d->state.samplingRate = 0;
            d->state.deviceType = static_cast<uint16_t>(r[12] | r[13] << 8);
            d->state.programNumber = static_cast<uint16_t>(r[14] | r[15] << 8);
            if (!d->selectLayout(table)) {
                ZS_TRACE_LINE(fromName(), ": type ", d->state.deviceType, ", program ",
                              d->state.programNumber, " has no layout in the description");
                break;
            }
            ZS_TRACE_LINE(fromName(), ": attached: type ", d->state.deviceType, ", program ",
                          d->state.programNumber);
            telemetry::decodeCheckedByTable(
                table, std::span<const uint8_t>(r + 12, (length - 12) & ~1u), d->rows, d->state);
            list.push_back(std::move(d));
            ++attached;
            break;
        }
    }
    for (SocketHandle s : sockets) platform::closeSocket(s);

    if (attached == 0) {
        ZS_TRACE_LINE("Ethernet: no instrument attached (replies were awaited ", kQueryWaitMs,
                      " ms)");
        return 0;
    }
    if (index) *index = static_cast<int32_t>(list.size()) - 1;
    engine::startIoThreads();
    return attached;
}

bool reopenClosedWiFi(DevStruct& d) {
    if (d.wifiDevice == 0) return true;
    const bool dataClosed = platform::peerClosed(d.tcpSocket);
    const bool commandClosed = d.commandSocket && platform::peerClosed(d.commandSocket->socket);
    if (!dataClosed && !commandClosed) return true;
    ZS_TRACE_LINE(transport::linkName(d), ": the instrument closed the ",
                  dataClosed ? "data" : "command", " connection; connecting again");
    // Nothing posted may complete into the record from the old connection.
    platform::cancelPosted(d.tcpSocket, d.streamOverlapped);
    transport::withdrawPostedReceive(d);
    if (commandClosed) {
        // The sibling channel keeps the old one until it is reconnected itself.
        const SocketHandle command = connectedTcp(d.wifiLocal, d.wifiDevice, kWiFiCommandPort);
        d.commandSocket = std::make_shared<transport::auto_close_socket>(command);
    }
    platform::closeSocket(d.tcpSocket);
    d.tcpSocket = connectedTcp(d.wifiLocal, d.wifiDevice,
                               static_cast<uint16_t>(kWiFiDataPort + d.channelIndex));
    freshIoBlock(d);
    return d.tcpSocket != kNoSocket;
}

bool reopenEthernet(DevStruct& d) {
    const SocketAddress peer{platform::networkToHost32(d.udpPeer.address),
                             platform::networkToHost16(d.udpPeer.port)};
    const SocketHandle s = platform::openUdpSocket();
    if (s == kNoSocket || !platform::connectSocket(s, peer, kConnectTimeoutMs)) {
        platform::closeSocket(s);
        return false;
    }
    // Nothing posted may complete into the record from the old socket.
    platform::cancelPosted(d.udpSocket, d.streamOverlapped);
    transport::withdrawPostedReceive(d);
    platform::closeSocket(d.udpSocket);
    d.udpSocket = s;
    freshIoBlock(d);
    return true;
}

} // namespace zs::discovery
