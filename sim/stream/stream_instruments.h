#pragma once
// Instruments at stream level on every link: each owns a StreamSource and streams its
// records once the library switches the stream on, in the frames of its family and link,
// and logs every command it receives, decoded. Identification is not modelled here; an
// instrument model that answers it can own one of these stream pieces as well.
#include "command_log.h"
#include "platform/sockets.h"
#include "sim_d2xx.h"
#include "sim_winusb.h"
#include "stream_source.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zs::sim {

// Commands received, in order, with bounded waits for tests.
class CommandLog {
  public:
    void add(const std::vector<Command>& commands);
    std::vector<Command> all() const;
    std::vector<Command> named(const std::string& name) const;
    // The first command called `name` after the first `skip` of them, waiting at most
    // `timeoutMs` for it.
    std::optional<Command> waitFor(const std::string& name, uint32_t timeoutMs,
                                   size_t skip = 0) const;
    void clear();

  private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Command> log_;
};

// Runs `turn` every `periodMs` on a thread of its own until stopped or destroyed.
class Pump {
  public:
    Pump(uint32_t periodMs, std::function<void()> turn);
    ~Pump() { stop(); }
    Pump(const Pump&) = delete;
    Pump& operator=(const Pump&) = delete;
    void stop();

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

enum class Framing { Tagged, Sync };

// Frames one record as the instrument family sends it on a byte link.
std::vector<uint8_t> frameRecord(Framing framing, const std::vector<uint8_t>& record);

// The stream state every model shares: the source, switched on and off by the library's
// stream-mode commands, and the command log.
class StreamState {
  public:
    explicit StreamState(StreamSource source) : source_(std::move(source)) {}
    CommandLog log;

    // Records due now (taken), or the `count` next ones for push.
    std::vector<std::vector<uint8_t>> due();
    std::vector<std::vector<uint8_t>> next(uint64_t count);
    // Applies what a received command does to the stream, then logs them.
    void received(const std::vector<Command>& commands);
    void startStreaming();
    void stopStreaming();
    bool streaming() const;
    uint64_t recordsSent() const;
    // Runs `fn(source)` under the state's lock.
    template <class Fn>
    auto withSource(Fn&& fn) const {
        std::lock_guard lock(mutex_);
        return fn(source_);
    }
    template <class Fn>
    auto withSource(Fn&& fn) {
        std::lock_guard lock(mutex_);
        return fn(source_);
    }
    void setRate(double recordsPerSecond);

  private:
    mutable std::mutex mutex_;
    StreamSource source_;
};

// An FTDI instrument on the simulated D2XX: records are added to the device's input as the
// driver is polled, so a reader sees them arrive at the source's rate.
class FtdiStreamInstrument : public StreamState {
  public:
    static std::shared_ptr<FtdiStreamInstrument> attach(SimD2xxDevice& device, StreamSource source,
                                                        Framing framing);
    FtdiStreamInstrument(StreamSource source, Framing framing)
        : StreamState(std::move(source)), framing_(framing) {}
    // Queues the next `count` records at once (one read may then take them together).
    void push(SimD2xxDevice& device, uint64_t count);

  private:
    Framing framing_;
    ByteCommandReader reader_;
};

// A Wi-Fi instrument's data channel: a TCP listener on the loopback address; the library's
// side connects to port().
class TcpStreamInstrument : public StreamState {
  public:
    TcpStreamInstrument(StreamSource source, Framing framing);
    ~TcpStreamInstrument();
    uint16_t port() const { return port_; }
    bool connected() const { return peer_ != platform::kNoSocket; }
    // Sends bytes or the next `count` records now.
    void sendBytes(const std::vector<uint8_t>& bytes);
    void push(uint64_t count);
    void closeConnection();

  private:
    void turn();
    platform::SocketsInUse sockets_; // first in, last out
    Framing framing_;
    platform::SocketHandle listener_ = platform::kNoSocket;
    std::atomic<platform::SocketHandle> peer_{platform::kNoSocket};
    uint16_t port_ = 0;
    std::mutex sendMutex_;
    ByteCommandReader reader_;
    std::unique_ptr<Pump> pump_;
};

// An Ethernet instrument: a UDP socket on the loopback address that streams one record per
// datagram to whoever sent it its last command.
class UdpStreamInstrument : public StreamState {
  public:
    explicit UdpStreamInstrument(StreamSource source);
    ~UdpStreamInstrument();
    uint16_t port() const { return port_; }
    // The datagram that carries `record` (kind 10).
    static std::vector<uint8_t> datagram(const std::vector<uint8_t>& record, uint16_t kind = 10);
    void push(uint64_t count);
    // Sends the next record from a second socket (same address, another port).
    void pushFromOtherPort();
    void sendDatagram(const std::vector<uint8_t>& bytes);

  private:
    void turn();
    platform::SocketsInUse sockets_; // first in, last out
    platform::SocketHandle socket_ = platform::kNoSocket;
    platform::SocketHandle other_ = platform::kNoSocket;
    uint16_t port_ = 0;
    std::mutex peerMutex_;
    std::optional<platform::SocketAddress> peer_;
    std::unique_ptr<Pump> pump_;
};

// A WinUSB instrument on the simulated WinUSB: records cut into 512-byte stream fragments
// on the IN pipe; commands arrive as 512-byte frames on the OUT pipe.
class WinUsbStreamInstrument : public StreamState {
  public:
    static std::shared_ptr<WinUsbStreamInstrument> attach(SimWinUsbDevice& device,
                                                          StreamSource source);
    explicit WinUsbStreamInstrument(StreamSource source) : StreamState(std::move(source)) {}
    ~WinUsbStreamInstrument() { stop(); }
    // The stream fragments of one record.
    static std::vector<std::vector<uint8_t>> fragments(const std::vector<uint8_t>& record);
    void push(uint64_t count);
    void queueTransfer(std::vector<uint8_t> transfer);
    // Ends the pump; call before the simulated WinUSB forgets the device.
    void stop();

  private:
    SimWinUsbDevice* device_ = nullptr;
    std::unique_ptr<Pump> pump_;
};

} // namespace zs::sim
