#include "stream_instruments.h"

#include "platform/clock.h"
#include "sim_ftdi_instrument.h"

#include <algorithm>

namespace zs::sim {

// --- CommandLog ------------------------------------------------------------------------------

void CommandLog::add(const std::vector<Command>& commands) {
    if (commands.empty()) return;
    {
        std::lock_guard lock(mutex_);
        log_.insert(log_.end(), commands.begin(), commands.end());
    }
    changed_.notify_all();
}

std::vector<Command> CommandLog::all() const {
    std::lock_guard lock(mutex_);
    return log_;
}

std::vector<Command> CommandLog::named(const std::string& name) const {
    std::lock_guard lock(mutex_);
    std::vector<Command> out;
    for (const auto& c : log_)
        if (c.name == name) out.push_back(c);
    return out;
}

std::optional<Command> CommandLog::waitFor(const std::string& name, uint32_t timeoutMs,
                                           size_t skip) const {
    std::unique_lock lock(mutex_);
    std::optional<Command> found;
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        size_t seen = 0;
        for (const auto& c : log_)
            if (c.name == name && seen++ == skip) {
                found = c;
                return true;
            }
        return false;
    });
    return found;
}

void CommandLog::clear() {
    std::lock_guard lock(mutex_);
    log_.clear();
}

// --- Pump ------------------------------------------------------------------------------------

Pump::Pump(uint32_t periodMs, std::function<void()> turn) {
    thread_ = std::thread([this, periodMs, turn = std::move(turn)] {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            lock.unlock();
            turn();
            lock.lock();
            wake_.wait_for(lock, std::chrono::milliseconds(periodMs), [&] { return stopping_; });
        }
    });
}

void Pump::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

// --- StreamState -----------------------------------------------------------------------------

std::vector<uint8_t> frameRecord(Framing framing, const std::vector<uint8_t>& record) {
    return framing == Framing::Tagged ? taggedFrame(record) : syncFrame(record);
}

std::vector<std::vector<uint8_t>> StreamState::due() {
    std::lock_guard lock(mutex_);
    const uint64_t count = source_.takeDue(platform::tickMs());
    std::vector<std::vector<uint8_t>> out;
    for (uint64_t n = source_.taken() - count; n < source_.taken(); ++n)
        out.push_back(source_.record(n));
    return out;
}

std::vector<std::vector<uint8_t>> StreamState::next(uint64_t count) {
    std::lock_guard lock(mutex_);
    const uint64_t first = source_.take(count);
    std::vector<std::vector<uint8_t>> out;
    for (uint64_t n = first; n < first + count; ++n) out.push_back(source_.record(n));
    return out;
}

void StreamState::received(const std::vector<Command>& commands) {
    for (const auto& c : commands) {
        if (c.name == "streamMode" && !c.values.empty()) {
            if (c.values[0] == 1)
                startStreaming();
            else if (c.values[0] == 0)
                stopStreaming();
        } else if (c.name == "signalMode") {
            stopStreaming(); // raw signal replaces the measurement records
        }
    }
    log.add(commands);
}

void StreamState::startStreaming() {
    std::lock_guard lock(mutex_);
    if (!source_.running()) source_.start(platform::tickMs());
}

void StreamState::stopStreaming() {
    std::lock_guard lock(mutex_);
    source_.stop();
}

bool StreamState::streaming() const {
    std::lock_guard lock(mutex_);
    return source_.running();
}

uint64_t StreamState::recordsSent() const {
    std::lock_guard lock(mutex_);
    return source_.taken();
}

void StreamState::setRate(double recordsPerSecond) {
    std::lock_guard lock(mutex_);
    source_.setRate(recordsPerSecond);
    if (source_.running()) source_.start(platform::tickMs());
}

// --- FTDI ------------------------------------------------------------------------------------

std::shared_ptr<FtdiStreamInstrument>
FtdiStreamInstrument::attach(SimD2xxDevice& device, StreamSource source, Framing framing) {
    auto self = std::make_shared<FtdiStreamInstrument>(std::move(source), framing);
    device.onWrite = [self](SimD2xxDevice&, const uint8_t* bytes, size_t length) {
        std::vector<Command> commands;
        self->reader_.feed(bytes, length, commands);
        self->received(commands);
    };
    device.onPoll = [self](SimD2xxDevice& d) {
        for (const auto& r : self->due()) d.queue(frameRecord(self->framing_, r));
    };
    return self;
}

void FtdiStreamInstrument::push(SimD2xxDevice& device, uint64_t count) {
    SimD2xx::instance().locked([&] {
        for (const auto& r : next(count)) device.queue(frameRecord(framing_, r));
    });
}

// --- TCP -------------------------------------------------------------------------------------

constexpr uint32_t kPumpPeriodMs = 5;

TcpStreamInstrument::TcpStreamInstrument(StreamSource source, Framing framing)
    : StreamState(std::move(source)), framing_(framing) {
    using namespace platform;
    listener_ = openTcpSocket();
    SocketAddress at{kLoopbackAddress, 0};
    if (listener_ == kNoSocket || !bindSocket(listener_, at) || !listenSocket(listener_, 1) ||
        !localAddress(listener_, at))
        return;
    port_ = at.port;
    pump_ = std::make_unique<Pump>(kPumpPeriodMs, [this] { turn(); });
}

TcpStreamInstrument::~TcpStreamInstrument() {
    if (pump_) pump_->stop();
    platform::closeSocket(peer_.exchange(platform::kNoSocket));
    platform::closeSocket(listener_);
}

void TcpStreamInstrument::turn() {
    using namespace platform;
    if (peer_ == kNoSocket) {
        const SocketHandle s = acceptSocket(listener_, 0);
        if (s == kNoSocket) return;
        peer_ = s;
    }
    uint8_t buffer[4096];
    for (;;) {
        const int n = receiveTimed(peer_, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        std::vector<Command> commands;
        reader_.feed(buffer, static_cast<size_t>(n), commands);
        received(commands);
    }
    for (const auto& r : due()) sendBytes(frameRecord(framing_, r));
}

void TcpStreamInstrument::sendBytes(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(sendMutex_);
    if (peer_ != platform::kNoSocket) platform::sendAll(peer_, bytes.data(), bytes.size());
}

void TcpStreamInstrument::push(uint64_t count) {
    for (const auto& r : next(count)) sendBytes(frameRecord(framing_, r));
}

void TcpStreamInstrument::closeConnection() {
    if (pump_) pump_->stop();
    std::lock_guard lock(sendMutex_);
    platform::closeSocket(peer_.exchange(platform::kNoSocket));
}

// --- UDP -------------------------------------------------------------------------------------

UdpStreamInstrument::UdpStreamInstrument(StreamSource source) : StreamState(std::move(source)) {
    using namespace platform;
    socket_ = openUdpSocket();
    other_ = openUdpSocket();
    SocketAddress at{kLoopbackAddress, 0}, second{kLoopbackAddress, 0};
    if (!bindSocket(socket_, at) || !localAddress(socket_, at) || !bindSocket(other_, second))
        return;
    port_ = at.port;
    pump_ = std::make_unique<Pump>(kPumpPeriodMs, [this] { turn(); });
}

UdpStreamInstrument::~UdpStreamInstrument() {
    if (pump_) pump_->stop();
    platform::closeSocket(socket_);
    platform::closeSocket(other_);
}

std::vector<uint8_t> UdpStreamInstrument::datagram(const std::vector<uint8_t>& record,
                                                   uint16_t kind) {
    static constexpr uint8_t kHead[8] = {0x34, 0x75, 0x85, 0x84, 0xCB, 0x8A, 0x7A, 0x7B};
    std::vector<uint8_t> out(10 + record.size());
    std::copy(std::begin(kHead), std::end(kHead), out.begin());
    out[8] = static_cast<uint8_t>(kind);
    out[9] = static_cast<uint8_t>(kind >> 8);
    std::copy(record.begin(), record.end(), out.begin() + 10);
    return out;
}

void UdpStreamInstrument::turn() {
    using namespace platform;
    uint8_t buffer[2048];
    for (;;) {
        SocketAddress from;
        const int n = receiveFrom(socket_, buffer, sizeof buffer, from, 0);
        if (n <= 0) break;
        {
            std::lock_guard lock(peerMutex_);
            peer_ = from;
        }
        if (auto c = decodeDatagram({buffer, static_cast<size_t>(n)})) received({*c});
    }
    for (const auto& r : due()) sendDatagram(datagram(r));
}

void UdpStreamInstrument::sendDatagram(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(peerMutex_);
    if (peer_) platform::sendTo(socket_, bytes.data(), bytes.size(), *peer_);
}

void UdpStreamInstrument::push(uint64_t count) {
    for (const auto& r : next(count)) sendDatagram(datagram(r));
}

void UdpStreamInstrument::pushFromOtherPort() {
    const auto records = next(1);
    std::lock_guard lock(peerMutex_);
    if (peer_) {
        const auto bytes = datagram(records.front());
        platform::sendTo(other_, bytes.data(), bytes.size(), *peer_);
    }
}

// --- WinUSB ----------------------------------------------------------------------------------

std::shared_ptr<WinUsbStreamInstrument> WinUsbStreamInstrument::attach(SimWinUsbDevice& device,
                                                                       StreamSource source) {
    auto self = std::make_shared<WinUsbStreamInstrument>(std::move(source));
    self->device_ = &device;
    WinUsbStreamInstrument* raw = self.get();
    device.onWrite = [raw](SimWinUsbDevice&, const uint8_t* bytes, size_t length) {
        if (auto c = decodeWinUsbFrame({bytes, length})) raw->received({*c});
    };
    self->pump_ = std::make_unique<Pump>(kPumpPeriodMs, [raw] {
        for (const auto& r : raw->due())
            for (auto& f : fragments(r)) raw->queueTransfer(std::move(f));
    });
    return self;
}

std::vector<std::vector<uint8_t>>
WinUsbStreamInstrument::fragments(const std::vector<uint8_t>& record) {
    std::vector<std::vector<uint8_t>> out;
    size_t at = 0;
    do {
        const size_t n = std::min<size_t>(508, record.size() - at);
        const bool last = at + n >= record.size();
        std::vector<uint8_t> f(512, 0);
        f[0] = 2;
        const uint16_t control = last ? static_cast<uint16_t>(0x8000 | (n / 2)) : 0;
        f[2] = static_cast<uint8_t>(control);
        f[3] = static_cast<uint8_t>(control >> 8);
        std::copy_n(record.begin() + static_cast<std::ptrdiff_t>(at), n, f.begin() + 4);
        out.push_back(std::move(f));
        at += n;
    } while (at < record.size());
    return out;
}

void WinUsbStreamInstrument::push(uint64_t count) {
    for (const auto& r : next(count))
        for (auto& f : fragments(r)) queueTransfer(std::move(f));
}

void WinUsbStreamInstrument::queueTransfer(std::vector<uint8_t> transfer) {
    if (device_) SimWinUsb::instance().queueInput(*device_, std::move(transfer));
}

void WinUsbStreamInstrument::stop() {
    if (pump_) pump_->stop();
    if (device_) {
        SimWinUsb::instance().locked([&] {
            device_->onWrite = nullptr;
            return 0;
        });
        device_ = nullptr;
    }
}

} // namespace zs::sim
