#pragma once
// Network instruments on loopback addresses: a Wi-Fi instrument (TCP command port and one
// data port per channel) and an Ethernet instrument (UDP query on port 22). Each answers the
// library's identification exchange and then streams the records of its source once the
// library switches its stream on.
#include "command_log.h"
#include "platform/sockets.h"
#include "stream_instruments.h"
#include "stream_source.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zs::sim {

inline constexpr uint16_t kWiFiCommandPort = 30704;
inline constexpr uint16_t kWiFiDataPort = 10001;
inline constexpr uint16_t kEthernetPort = 22;

// A stream source for an instrument of the reference description.
StreamSource referenceSource(StreamIdentity identity, double recordsPerSecond);

// Accepts connections on one listener and hands every chunk received to `onBytes` until
// destroyed. One connection at a time: a new one replaces the old.
class TcpResponder {
  public:
    using OnBytes = std::function<void(const uint8_t*, size_t)>;
    // Listens at once; serves only after start(), so an owner can finish wiring the
    // callback's targets before the first byte arrives.
    TcpResponder(uint32_t address, uint16_t port, OnBytes onBytes);
    ~TcpResponder();
    void start();
    // Joins the serving thread; after it, the callback is never called again.
    void stop();
    TcpResponder(const TcpResponder&) = delete;
    TcpResponder& operator=(const TcpResponder&) = delete;
    bool listening() const { return listener_ != platform::kNoSocket; }
    uint32_t connections() const { return connections_; }
    // Sends on the current connection; false without one.
    bool send(const std::vector<uint8_t>& bytes);
    // A fault: false leaves what the peer sends unread, so the peer's sends back up.
    void setReading(bool on) { reading_ = on; }
    // A fault: the current connection is closed, as by an instrument that restarts; the
    // listener stays, so the peer may connect again.
    void dropConnection() { drop_ = true; }

  private:
    void run();
    platform::SocketsInUse sockets_; // first in, last out
    platform::SocketHandle listener_ = platform::kNoSocket;
    OnBytes onBytes_;
    std::mutex peerMutex_;
    platform::SocketHandle peer_ = platform::kNoSocket;
    std::atomic<bool> stop_{false};
    std::atomic<bool> reading_{true};
    std::atomic<bool> drop_{false};
    std::atomic<uint32_t> connections_{0};
    std::thread thread_;
};

struct WiFiOptions {
    uint32_t address = 0x7F000001;
    uint32_t channelCode = 55; // 0 one channel, 55 two, 247 two in the combined form
    bool answerHello = true;
    bool helloInPieces = false; // the reply's first byte, then the rest a moment later
    StreamIdentity identity[2] = {{28, 40, 0x00031001}, {38, 40, 0x00031002}};
    std::vector<uint16_t> programs = {40}; // the program list of a sync-protocol channel
    double recordsPerSecond = 10;
};

class SimWiFiInstrument {
  public:
    explicit SimWiFiInstrument(WiFiOptions options);
    ~SimWiFiInstrument();
    // False when a port could not be taken (another instrument holds the address).
    bool listening() const;
    uint32_t hellos() const { return hellos_; }
    uint32_t dataConnections(int channel) const;
    // Every line command received on the command port, 9 bytes each.
    std::vector<std::vector<uint8_t>> lineCommands() const;
    // The channel's stream: its source, whether it runs, and the commands it received.
    StreamState& stream(int channel) { return *streams_[channel]; }
    // A fault: false stops reading the command port and the data ports (streaming goes on).
    void setReading(bool on);
    // Faults: every connection closed (the ports stay open), and bytes of the test's own on
    // a channel's data connection (false without one).
    void dropConnections();
    bool sendData(int channel, const std::vector<uint8_t>& bytes);

  private:
    void onCommand(const uint8_t* bytes, size_t length);
    void onData(int channel, const uint8_t* bytes, size_t length);
    bool tagged(int channel) const { return channel == 0 && options_.channelCode != 247; }

    WiFiOptions options_;
    mutable std::mutex mutex_;
    std::vector<uint8_t> commandBytes_;
    std::vector<uint8_t> dataBytes_[2];
    ByteCommandReader readers_[2];
    std::vector<std::vector<uint8_t>> lineCommands_;
    std::atomic<uint32_t> hellos_{0};
    std::unique_ptr<StreamState> streams_[2];
    std::unique_ptr<TcpResponder> command_;
    std::unique_ptr<TcpResponder> data_[2];
    std::unique_ptr<Pump> pump_;
};

// What the Ethernet instrument puts in its query reply.
enum class EthernetReply {
    Proper,     // the three header words, then the identification record
    QueryOrder, // the first two words swapped (as the query has them)
    Short,      // 15 bytes in all
    None,       // no reply
};

struct EthernetOptions {
    uint32_t address = 0x7F000001;
    EthernetReply reply = EthernetReply::Proper;
    StreamIdentity identity{28, 40, 0x00031001};
    uint32_t replyFrom = 0; // another address (port 22) it answers and streams from; 0: its own
    double recordsPerSecond = 10;
};

class SimEthernetInstrument {
  public:
    explicit SimEthernetInstrument(EthernetOptions options);
    ~SimEthernetInstrument();
    // False when port 22 of the address could not be taken.
    bool listening() const { return socket_ != platform::kNoSocket; }
    uint32_t queries() const { return queries_; }
    // The source address its datagrams carry: its own, except where the system binds a UDP
    // socket to every address whatever address it is given (Wine does), and answers from the
    // loopback's first address.
    uint32_t repliesFrom() const { return repliesFrom_; }
    StreamState& stream() { return *stream_; }
    // A fault: a datagram of the test's own to whoever sent the last command (false before
    // anyone did).
    bool sendDatagram(const std::vector<uint8_t>& bytes);

  private:
    void run();
    void turn();
    platform::SocketsInUse sockets_; // first in, last out
    EthernetOptions options_;
    std::unique_ptr<StreamState> stream_;
    platform::SocketHandle socket_ = platform::kNoSocket;
    platform::SocketHandle replySocket_ = platform::kNoSocket;
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> queries_{0};
    uint32_t repliesFrom_ = 0;
    std::mutex peerMutex_;
    std::optional<platform::SocketAddress> peer_;
    std::thread thread_;
    std::unique_ptr<Pump> pump_;
};

} // namespace zs::sim
