#include "network_instruments.h"

#include "instrument_records.h"
#include "platform/clock.h"
#include "sim_ftdi_instrument.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace zs::sim {

using platform::kNoSocket;
using platform::SocketAddress;
using platform::SocketHandle;

namespace {
constexpr uint32_t kSliceMs = 50;
constexpr uint32_t kPumpPeriodMs = 5;

uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t get32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
} // namespace

StreamSource referenceSource(StreamIdentity identity, double recordsPerSecond) {
    for (const auto& layout : referenceDescription().layouts)
        if (layout.typeCode == identity.deviceType)
            return StreamSource(layout, identity, recordsPerSecond);
    throw std::runtime_error("no layout for the instrument type");
}

TcpResponder::TcpResponder(uint32_t address, uint16_t port, OnBytes onBytes)
    : onBytes_(std::move(onBytes)) {
    listener_ = platform::openTcpSocket();
    if (listener_ == kNoSocket) return;
    if (!platform::bindSocket(listener_, SocketAddress{address, port}) ||
        !platform::listenSocket(listener_, 4)) {
        platform::closeSocket(listener_);
        listener_ = kNoSocket;
    }
}

TcpResponder::~TcpResponder() {
    stop();
    platform::closeSocket(listener_);
}

void TcpResponder::start() {
    if (listener_ != kNoSocket && !thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void TcpResponder::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

bool TcpResponder::send(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(peerMutex_);
    return peer_ != kNoSocket && platform::sendAll(peer_, bytes.data(), bytes.size());
}

void TcpResponder::run() {
    std::vector<uint8_t> buffer(65536);
    SocketHandle peer = kNoSocket; // this thread's copy; peer_ changes only here
    auto replace = [&](SocketHandle next) {
        std::lock_guard lock(peerMutex_);
        platform::closeSocket(peer_);
        peer_ = peer = next;
    };
    while (!stop_) {
        if (drop_.exchange(false) && peer != kNoSocket) replace(kNoSocket);
        // A new connection replaces the one served so far, as the instrument's port does.
        const bool idle = peer == kNoSocket || !reading_;
        const SocketHandle next = platform::acceptSocket(listener_, idle ? kSliceMs : 0);
        if (next != kNoSocket) {
            replace(next);
            ++connections_;
        }
        if (peer == kNoSocket || !reading_) continue;
        const uint32_t start = platform::tickMs();
        const int n = platform::receiveTimed(peer, buffer.data(), buffer.size(), kSliceMs);
        if (n > 0)
            onBytes_(buffer.data(), static_cast<size_t>(n));
        else if (n < 0 || platform::tickMs() - start < kSliceMs / 2)
            replace(kNoSocket); // closed by the other side
    }
    replace(kNoSocket);
}

void SimWiFiInstrument::setReading(bool on) {
    command_->setReading(on);
    for (auto& d : data_) d->setReading(on);
}

void SimWiFiInstrument::dropConnections() {
    command_->dropConnection();
    for (auto& d : data_) d->dropConnection();
}

bool SimWiFiInstrument::sendData(int channel, const std::vector<uint8_t>& bytes) {
    return data_[channel]->send(bytes);
}

SimWiFiInstrument::SimWiFiInstrument(WiFiOptions options) : options_(std::move(options)) {
    for (int i = 0; i < 2; ++i)
        streams_[i] = std::make_unique<StreamState>(
            referenceSource(options_.identity[i], options_.recordsPerSecond));
    command_ =
        std::make_unique<TcpResponder>(options_.address, kWiFiCommandPort,
                                       [this](const uint8_t* b, size_t n) { onCommand(b, n); });
    for (int i = 0; i < 2; ++i)
        data_[i] = std::make_unique<TcpResponder>(
            options_.address, static_cast<uint16_t>(kWiFiDataPort + i),
            [this, i](const uint8_t* b, size_t n) { onData(i, b, n); });
    // Each callback reaches the other responders, so none serves before all exist.
    command_->start();
    for (auto& d : data_) d->start();
    pump_ = std::make_unique<Pump>(kPumpPeriodMs, [this] {
        for (int i = 0; i < 2; ++i)
            for (const auto& r : streams_[i]->due())
                data_[i]->send(frameRecord(tagged(i) ? Framing::Tagged : Framing::Sync, r));
    });
}

SimWiFiInstrument::~SimWiFiInstrument() {
    // Every serving thread ends before any responder goes: a callback may use them all.
    pump_->stop();
    command_->stop();
    for (auto& d : data_) d->stop();
}

bool SimWiFiInstrument::listening() const {
    return command_->listening() && data_[0]->listening() && data_[1]->listening();
}

uint32_t SimWiFiInstrument::dataConnections(int channel) const {
    return data_[channel]->connections();
}

std::vector<std::vector<uint8_t>> SimWiFiInstrument::lineCommands() const {
    std::lock_guard lock(mutex_);
    return lineCommands_;
}

void SimWiFiInstrument::onCommand(const uint8_t* bytes, size_t length) {
    std::lock_guard lock(mutex_);
    auto& in = commandBytes_;
    in.insert(in.end(), bytes, bytes + length);
    while (in.size() >= 9) {
        if (in[0] == 0x11 &&
            std::all_of(in.begin() + 1, in.begin() + 9, [](uint8_t b) { return b == 0; })) {
            ++hellos_;
            if (options_.answerHello) {
                std::vector<uint8_t> reply = {0x11};
                put32(reply, options_.channelCode);
                if (options_.helloInPieces) {
                    command_->send({reply.front()});
                    std::this_thread::sleep_for(std::chrono::milliseconds(30));
                    reply.erase(reply.begin());
                }
                command_->send(reply);
            }
        } else if (in[0] == 0x1B) {
            lineCommands_.emplace_back(in.begin(), in.begin() + 9);
        } else {
            in.erase(in.begin());
            continue;
        }
        in.erase(in.begin(), in.begin() + 9);
    }
}

// Identification requests are answered here; the other commands go to the stream, which
// starts on the stream-on command.
void SimWiFiInstrument::onData(int channel, const uint8_t* bytes, size_t length) {
    std::lock_guard lock(mutex_);
    std::vector<uint8_t> forStream; // commands, not identification requests
    auto& in = dataBytes_[channel];
    in.insert(in.end(), bytes, bytes + length);
    StreamState& stream = *streams_[channel];
    const std::vector<uint8_t> record =
        stream.withSource([](const StreamSource& s) { return s.record(0); });
    auto send = [&](const std::vector<uint8_t>& frame) { data_[channel]->send(frame); };
    static constexpr uint8_t kTag[7] = {'k', 'X', '-', 'w', 'a', 'v', 'e'};
    for (;;) {
        if (in.size() >= 2 && in[0] == 0xA0) {            // a two-byte command
            if (in[1] == 0x1A) send(taggedFrame(record)); // the acknowledge, also stream-on
            forStream.insert(forStream.end(), in.begin(), in.begin() + 2);
            in.erase(in.begin(), in.begin() + 2);
            continue;
        }
        if (in.size() >= 7 && std::equal(kTag, kTag + 7, in.begin())) {
            if (in.size() < 10) break;
            const size_t payload = get16(in.data() + 8);
            if (in.size() < 11 + payload) break;
            const bool query = payload == 4 && std::all_of(in.begin() + 10, in.begin() + 14,
                                                           [](uint8_t b) { return b == 0; });
            if (query)
                send(taggedFrame(std::vector<uint8_t>(8, 0)));
            else
                forStream.insert(forStream.end(), in.begin(),
                                 in.begin() + static_cast<long>(11 + payload));
            in.erase(in.begin(), in.begin() + static_cast<long>(11 + payload));
            continue;
        }
        if (in.size() >= 4 && in[0] == 0x11 && in[1] == 0x22 && in[2] == 0x33 && in[3] == 0x44) {
            if (in.size() < 6) break;
            const size_t payload = get16(in.data() + 4);
            if (in.size() < 8 + payload) break;
            const bool request = payload == 4 && get16(in.data() + 6) == 0;
            const uint16_t program = request ? get16(in.data() + 8) : 0;
            if (!request)
                forStream.insert(forStream.end(), in.begin(),
                                 in.begin() + static_cast<long>(8 + payload));
            in.erase(in.begin(), in.begin() + static_cast<long>(8 + payload));
            if (!request) continue;
            if (program == 0) {
                std::vector<uint8_t> list(2 + 2 * options_.programs.size(), 0);
                for (size_t i = 0; i < options_.programs.size(); ++i) {
                    list[2 + 2 * i] = static_cast<uint8_t>(options_.programs[i]);
                    list[3 + 2 * i] = static_cast<uint8_t>(options_.programs[i] >> 8);
                }
                send(syncFrame(list));
            } else {
                std::vector<uint8_t> selected = record;
                if (selected.size() >= 4) {
                    selected[2] = static_cast<uint8_t>(program);
                    selected[3] = static_cast<uint8_t>(program >> 8);
                }
                send(syncFrame(selected));
                // The selected program runs from now on, so its records carry it too.
                stream.withSource([program](StreamSource& source) {
                    source.setProgram(program);
                    return 0;
                });
            }
            continue;
        }
        if (in.empty()) break;
        if (in.size() < 7 && std::equal(in.begin(), in.end(), kTag)) break; // a tag in pieces
        in.erase(in.begin()); // rate packets and anything else identification ignores
    }
    std::vector<Command> commands;
    readers_[channel].feed(forStream.data(), forStream.size(), commands);
    stream.received(commands);
}

SimEthernetInstrument::SimEthernetInstrument(EthernetOptions options)
    : options_(std::move(options)) {
    stream_ = std::make_unique<StreamState>(
        referenceSource(options_.identity, options_.recordsPerSecond));
    socket_ = platform::openUdpSocket();
    if (socket_ == kNoSocket) return;
    if (!platform::bindSocket(socket_, SocketAddress{options_.address, kEthernetPort})) {
        platform::closeSocket(socket_);
        socket_ = kNoSocket;
        return;
    }
    replySocket_ = socket_;
    if (options_.replyFrom != 0) {
        replySocket_ = platform::openUdpSocket();
        if (!platform::bindSocket(replySocket_, SocketAddress{options_.replyFrom, kEthernetPort})) {
            platform::closeSocket(replySocket_);
            platform::closeSocket(socket_);
            socket_ = replySocket_ = kNoSocket;
            return;
        }
    }
    repliesFrom_ = options_.replyFrom != 0 ? options_.replyFrom : options_.address;
    const SocketHandle probe = platform::openUdpSocket();
    SocketAddress at{platform::kLoopbackAddress, 0};
    if (probe != kNoSocket && platform::bindSocket(probe, at) &&
        platform::localAddress(probe, at)) {
        const uint8_t byte = 0;
        uint8_t seen[1];
        SocketAddress from;
        if (platform::sendTo(replySocket_, &byte, 1, at) &&
            platform::receiveFrom(probe, seen, sizeof seen, from, 2000) == 1)
            repliesFrom_ = from.address;
    }
    platform::closeSocket(probe);
    thread_ = std::thread([this] { run(); });
    pump_ = std::make_unique<Pump>(kPumpPeriodMs, [this] { turn(); });
}

SimEthernetInstrument::~SimEthernetInstrument() {
    if (pump_) pump_->stop();
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (replySocket_ != socket_) platform::closeSocket(replySocket_);
    platform::closeSocket(socket_);
}

// Streams one record per datagram to whoever sent the last command, from the address it
// answered from.
void SimEthernetInstrument::turn() {
    std::optional<SocketAddress> peer;
    {
        std::lock_guard lock(peerMutex_);
        peer = peer_;
    }
    for (const auto& r : stream_->due())
        if (peer) {
            const auto d = UdpStreamInstrument::datagram(r);
            platform::sendTo(replySocket_, d.data(), d.size(), *peer);
        }
}

bool SimEthernetInstrument::sendDatagram(const std::vector<uint8_t>& bytes) {
    std::optional<SocketAddress> peer;
    {
        std::lock_guard lock(peerMutex_);
        peer = peer_;
    }
    return peer && platform::sendTo(replySocket_, bytes.data(), bytes.size(), *peer);
}

void SimEthernetInstrument::run() {
    std::vector<uint8_t> buffer(65536);
    while (!stop_) {
        SocketAddress from;
        const int n = platform::receiveFrom(socket_, buffer.data(), buffer.size(), from, kSliceMs);
        if (n <= 0) continue;
        const uint8_t* d = buffer.data();
        const bool query =
            n == 20 && get32(d) == 0x7B7A8ACB && get32(d + 4) == 0x84857534 && get32(d + 8) == 7;
        if (!query) {
            {
                std::lock_guard lock(peerMutex_);
                peer_ = from;
            }
            if (auto c = decodeDatagram({d, static_cast<size_t>(n)})) stream_->received({*c});
            continue;
        }
        ++queries_;
        std::vector<uint8_t> reply;
        switch (options_.reply) {
        case EthernetReply::None:
            continue;
        case EthernetReply::QueryOrder:
            put32(reply, 0x7B7A8ACB);
            put32(reply, 0x84857534);
            break;
        default:
            put32(reply, 0x84857534);
            put32(reply, 0x7B7A8ACB);
            break;
        }
        put32(reply, 7);
        const auto record = stream_->withSource([](const StreamSource& s) { return s.record(0); });
        reply.insert(reply.end(), record.begin(), record.end());
        if (options_.reply == EthernetReply::Short) reply.resize(15);
        platform::sendTo(replySocket_, reply.data(), reply.size(), from);
    }
}

} // namespace zs::sim
