#pragma once
// Network instruments on loopback addresses: a Wi-Fi instrument (TCP command port and one
// data port per channel) and an Ethernet instrument (UDP query on port 22). Each answers the
// library's identification exchange with the records the test gives it.
#include "platform/sockets.h"

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

// Accepts connections on one listener and hands every chunk received to `onBytes` (which
// may answer on the socket) until stopped. One connection at a time.
class TcpResponder {
  public:
    using OnBytes = std::function<void(platform::SocketHandle, const uint8_t*, size_t)>;
    TcpResponder(uint32_t address, uint16_t port, OnBytes onBytes);
    ~TcpResponder();
    TcpResponder(const TcpResponder&) = delete;
    TcpResponder& operator=(const TcpResponder&) = delete;
    bool listening() const { return listener_ != platform::kNoSocket; }
    uint32_t connections() const { return connections_; }

  private:
    void run();
    platform::SocketHandle listener_ = platform::kNoSocket;
    OnBytes onBytes_;
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> connections_{0};
    std::thread thread_;
};

struct WiFiOptions {
    uint32_t address = 0x7F000001;
    uint32_t channelCode = 55; // 0 one channel, 55 two, 247 two in the combined form
    bool answerHello = true;
    std::vector<uint8_t> records[2];       // identification record of channel 0 and 1
    std::vector<uint16_t> programs = {40}; // the program list of a sync-protocol channel
};

class SimWiFiInstrument {
  public:
    explicit SimWiFiInstrument(WiFiOptions options);
    ~SimWiFiInstrument();
    // False when a port could not be taken (another instrument holds the address).
    bool listening() const;
    uint32_t hellos() const { return hellos_; }
    uint32_t dataConnections(int channel) const;
    uint32_t recordsSent(int channel) const { return recordsSent_[channel]; }
    // Every line command received on the command port, 9 bytes each.
    std::vector<std::vector<uint8_t>> lineCommands() const;

  private:
    void onCommand(platform::SocketHandle s, const uint8_t* bytes, size_t length);
    void onData(int channel, platform::SocketHandle s, const uint8_t* bytes, size_t length);

    WiFiOptions options_;
    mutable std::mutex mutex_;
    std::vector<uint8_t> commandBytes_;
    std::vector<uint8_t> dataBytes_[2];
    std::vector<std::vector<uint8_t>> lineCommands_;
    std::atomic<uint32_t> hellos_{0};
    std::atomic<uint32_t> recordsSent_[2] = {0, 0};
    std::unique_ptr<TcpResponder> command_;
    std::unique_ptr<TcpResponder> data_[2];
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
    std::vector<uint8_t> record;
    uint32_t replyFrom = 0; // another address (port 22) the reply comes from; 0: its own
};

class SimEthernetInstrument {
  public:
    explicit SimEthernetInstrument(EthernetOptions options);
    ~SimEthernetInstrument();
    // False when port 22 of the address could not be taken.
    bool listening() const { return socket_ != platform::kNoSocket; }
    uint32_t queries() const { return queries_; }
    // Every datagram received that was not a query.
    std::vector<std::vector<uint8_t>> datagrams() const;

  private:
    void run();
    EthernetOptions options_;
    platform::SocketHandle socket_ = platform::kNoSocket;
    platform::SocketHandle replySocket_ = platform::kNoSocket;
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> queries_{0};
    mutable std::mutex mutex_;
    std::vector<std::vector<uint8_t>> datagrams_;
    std::thread thread_;
};

} // namespace zs::sim
