#include "sim_network_instruments.h"

#include "platform/clock.h"
#include "sim_ftdi_instrument.h"

#include <algorithm>

namespace zs::sim {

using platform::kNoSocket;
using platform::SocketAddress;
using platform::SocketHandle;

namespace {
constexpr uint32_t kSliceMs = 50;

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

TcpResponder::TcpResponder(uint32_t address, uint16_t port, OnBytes onBytes)
    : onBytes_(std::move(onBytes)) {
    listener_ = platform::openTcpSocket();
    if (listener_ == kNoSocket) return;
    if (!platform::bindSocket(listener_, SocketAddress{address, port}) ||
        !platform::listenSocket(listener_, 4)) {
        platform::closeSocket(listener_);
        listener_ = kNoSocket;
        return;
    }
    thread_ = std::thread([this] { run(); });
}

TcpResponder::~TcpResponder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    platform::closeSocket(listener_);
}

void TcpResponder::run() {
    SocketHandle peer = kNoSocket;
    std::vector<uint8_t> buffer(65536);
    while (!stop_) {
        // A new connection replaces the one served so far, as the instrument's single port does.
        const SocketHandle next =
            platform::acceptSocket(listener_, peer == kNoSocket ? kSliceMs : 0);
        if (next != kNoSocket) {
            platform::closeSocket(peer);
            peer = next;
            ++connections_;
        }
        if (peer == kNoSocket) continue;
        const uint32_t start = platform::tickMs();
        const int n = platform::receiveTimed(peer, buffer.data(), buffer.size(), kSliceMs);
        if (n > 0) {
            onBytes_(peer, buffer.data(), static_cast<size_t>(n));
        } else if (n < 0 || platform::tickMs() - start < kSliceMs / 2) {
            platform::closeSocket(peer); // closed by the other side
            peer = kNoSocket;
        }
    }
    platform::closeSocket(peer);
}

SimWiFiInstrument::SimWiFiInstrument(WiFiOptions options) : options_(std::move(options)) {
    command_ = std::make_unique<TcpResponder>(
        options_.address, kWiFiCommandPort,
        [this](SocketHandle s, const uint8_t* b, size_t n) { onCommand(s, b, n); });
    for (int i = 0; i < 2; ++i)
        data_[i] = std::make_unique<TcpResponder>(
            options_.address, static_cast<uint16_t>(kWiFiDataPort + i),
            [this, i](SocketHandle s, const uint8_t* b, size_t n) { onData(i, s, b, n); });
}

SimWiFiInstrument::~SimWiFiInstrument() = default;

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

void SimWiFiInstrument::onCommand(SocketHandle s, const uint8_t* bytes, size_t length) {
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
                platform::sendAll(s, reply.data(), reply.size());
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

void SimWiFiInstrument::onData(int channel, SocketHandle s, const uint8_t* bytes, size_t length) {
    std::lock_guard lock(mutex_);
    auto& in = dataBytes_[channel];
    in.insert(in.end(), bytes, bytes + length);
    const std::vector<uint8_t>& record = options_.records[channel];
    auto send = [&](const std::vector<uint8_t>& frame) {
        platform::sendAll(s, frame.data(), frame.size());
    };
    static constexpr uint8_t kTag[7] = {'k', 'X', '-', 'w', 'a', 'v', 'e'};
    for (;;) {
        if (in.size() >= 2 && in[0] == 0xA0 && in[1] == 0x1A) { // acknowledge: the record
            in.erase(in.begin(), in.begin() + 2);
            send(taggedFrame(record));
            ++recordsSent_[channel];
            continue;
        }
        if (in.size() >= 7 && std::equal(kTag, kTag + 7, in.begin())) {
            if (in.size() < 10) return;
            const size_t payload = get16(in.data() + 8);
            if (in.size() < 11 + payload) return;
            const bool query = payload == 4 && std::all_of(in.begin() + 10, in.begin() + 14,
                                                           [](uint8_t b) { return b == 0; });
            in.erase(in.begin(), in.begin() + static_cast<long>(11 + payload));
            if (query) send(taggedFrame(std::vector<uint8_t>(8, 0)));
            continue;
        }
        if (in.size() >= 4 && in[0] == 0x11 && in[1] == 0x22 && in[2] == 0x33 && in[3] == 0x44) {
            if (in.size() < 6) return;
            const size_t payload = get16(in.data() + 4);
            if (in.size() < 8 + payload) return;
            const bool request = payload == 4 && get16(in.data() + 6) == 0;
            const uint16_t program = request ? get16(in.data() + 8) : 0;
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
                ++recordsSent_[channel];
            }
            continue;
        }
        if (in.empty()) return;
        if (in.size() < 7 && std::equal(in.begin(), in.end(), kTag)) return; // a tag in pieces
        in.erase(in.begin()); // rate packets and anything else this model ignores
    }
}

SimEthernetInstrument::SimEthernetInstrument(EthernetOptions options)
    : options_(std::move(options)) {
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
    thread_ = std::thread([this] { run(); });
}

SimEthernetInstrument::~SimEthernetInstrument() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (replySocket_ != socket_) platform::closeSocket(replySocket_);
    platform::closeSocket(socket_);
}

std::vector<std::vector<uint8_t>> SimEthernetInstrument::datagrams() const {
    std::lock_guard lock(mutex_);
    return datagrams_;
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
            std::lock_guard lock(mutex_);
            datagrams_.emplace_back(d, d + n);
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
        reply.insert(reply.end(), options_.record.begin(), options_.record.end());
        if (options_.reply == EthernetReply::Short) reply.resize(15);
        platform::sendTo(replySocket_, reply.data(), reply.size(), from);
    }
}

} // namespace zs::sim
