#include "engine/stream_threads.h"

#include "engine/command_engine.h"
#include "frame/library.h"
#include "platform/clock.h"
#include "platform/little_endian.h"
#include "platform/sockets.h"
#include "telemetry/record_decoder.h"
#include "telemetry/record_identity.h"
#include "trace/trace.h"
#include "transport/d2xx.h"
#include "transport/dispatch.h"
#include "transport/packet_process.h"
#include "transport/winusb_binding.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace zs::engine {

using frame::DevStruct;

void deliverRecord(DevStruct& d, std::span<const uint8_t> bytes) {
    {
        std::lock_guard lock(*d.dataLock);
        telemetry::decodeCheckedByDevice(bytes, d.rows, d.state, d.layout);
    }
    d.lastPacketTick = platform::tickMs();
    if (d.online.exchange(1) == 0)
        ZS_TRACE_LINE(transport::linkName(d), ": records again; on line");
}

void checkOnline(DevStruct& d) {
    if (platform::tickMs() - d.lastPacketTick.load() >= kOfflineAfterMs &&
        d.online.exchange(0) == 1)
        ZS_TRACE_LINE(transport::linkName(d), ": no record for ", kOfflineAfterMs, " ms; off line");
}

bool stopRequested(const DevStruct& d) {
    return d.stopEvent->wait(0);
}

bool pauseUnlessStopped(const DevStruct& d, uint32_t ms) {
    return d.stopEvent->wait(ms);
}

namespace {

constexpr uint32_t kFragmentSize = 512;
constexpr uint16_t kStreamFragment = 2;

void startTicks(DevStruct& d) {
    const uint32_t now = platform::tickMs();
    d.lastPacketTick = now;
    d.seenPacketTick = now;
}

// The framing of byte-stream links: sync packets for the sync family, tagged packets for
// every other instrument, both cutting into one record buffer.
class StreamFraming {
  public:
    explicit StreamFraming(transport::LinkKind linkKind)
        : buffer_(kRecordBufferSize), dout_(kRecordBufferSize, buffer_.data()),
          din_(kRecordBufferSize, buffer_.data()),
          parser_(isSyncFamily(linkKind) ? static_cast<transport::CPacketProcess&>(din_)
                                         : static_cast<transport::CPacketProcess&>(dout_)) {}

    // Calls `onRecord(payload)` for every record the bytes complete.
    template <class OnRecord>
    void feed(const uint8_t* bytes, uint32_t count, OnRecord&& onRecord) {
        uint32_t position = 0;
        while (parser_.process(bytes, count, position))
            onRecord(std::span<const uint8_t>(parser_.payload(), parser_.payloadLength()));
    }

  private:
    std::vector<uint8_t> buffer_;
    transport::CDoutPacketProcess dout_;
    transport::CDinPacketProcess din_;
    transport::CPacketProcess& parser_;
};

enum class Receive { Data, TimedOut, Failed, Stopped };

// One socket receive on the link's stream block into rxBuffer, waiting up to `sliceMs`. A
// receive that is still out stays posted, and the next call waits for it rather than post
// another: its bytes land in rxBuffer whenever they come.
Receive receiveSlice(DevStruct& d, platform::SocketHandle socket, bool withSender, uint32_t sliceMs,
                     uint32_t& count) {
    platform::Overlapped& io = d.streamOverlapped;
    count = 0;
    if (io.posted != platform::PostedIo::Receive) {
        const auto started = withSender
                                 ? platform::postReceiveFrom(socket, d.rxBuffer.data(),
                                                             transport::kRxBufferSize, io, count)
                                 : platform::postReceive(socket, d.rxBuffer.data(),
                                                         transport::kRxBufferSize, io, count);
        if (started == platform::IoStart::Done) return Receive::Data;
        if (started == platform::IoStart::Failed) return Receive::Failed;
    }
    switch (platform::waitPosted(io, d.stopEvent.get(), sliceMs)) {
    case platform::IoWait::Stopped:
        return Receive::Stopped;
    case platform::IoWait::TimedOut:
        return Receive::TimedOut;
    case platform::IoWait::Completed:
        break;
    }
    return platform::postedResult(io, count) ? Receive::Data : Receive::Failed;
}

// What every socket thread does with a receive that did not bring data. True when the
// thread should end.
bool afterEmptyReceive(DevStruct& d, Receive r) {
    checkOnline(d);
    if (r == Receive::Stopped) return true;
    // A link that fails at once would otherwise turn the loop without rest.
    if (r == Receive::Failed) return pauseUnlessStopped(d, kStreamTurnMs);
    return false;
}

constexpr uint32_t kReceiveSliceMs = 300;

} // namespace

void ftdiStreamThread(DevicePtr record) {
    DevStruct& d = *record;
    std::vector<uint8_t> readBuffer(65536);
    StreamFraming framing(d.linkKind);
    bool firstRead = true;
    startTicks(d);
    const auto& api = transport::d2xx();
    while (!stopRequested(d)) {
        serviceCommands(record);
        uint32_t waiting = 0;
        if (api.queue(d.ftdiHandle, &waiting) == transport::kD2xxOk && waiting > 0) {
            uint32_t count = 0;
            const uint32_t wanted = std::min<uint32_t>(waiting, 65536);
            if (api.read(d.ftdiHandle, readBuffer.data(), wanted, &count, nullptr) && count > 0) {
                // The first read holds what piled up before the stream was switched on,
                // possibly cut anywhere: none of it is decoded.
                framing.feed(readBuffer.data(), std::min(count, wanted),
                             [&](std::span<const uint8_t> r) {
                                 if (!firstRead) deliverRecord(d, r);
                             });
                firstRead = false;
            }
        }
        checkOnline(d);
        if (pauseUnlessStopped(d, kStreamTurnMs)) break;
    }
}

void tcpStreamThread(DevicePtr record) {
    DevStruct& d = *record;
    StreamFraming framing(d.linkKind);
    bool firstRecord = true;
    const auto& table = frame::lib().description;
    startTicks(d);
    while (!stopRequested(d)) {
        serviceCommands(record);
        uint32_t count = 0;
        const Receive r = receiveSlice(d, d.tcpSocket, false, kReceiveSliceMs, count);
        if (r != Receive::Data) {
            if (afterEmptyReceive(d, r)) break;
            continue;
        }
        framing.feed(d.rxBuffer.data(), count, [&](std::span<const uint8_t> rec) {
            if (firstRecord && rec.size() >= 2) {
                // The first record tells what the instrument is.
                std::lock_guard lock(*d.dataLock);
                firstRecord = false;
                const telemetry::RecordIdentity id = telemetry::recordIdentity(rec);
                d.state.deviceType = id.deviceType;
                d.state.programNumber = id.programNumber;
                d.selectLayout(table);
                telemetry::decodeCheckedByTable(table, rec, d.rows, d.state);
            }
            deliverRecord(d, rec);
        });
        checkOnline(d);
        if (pauseUnlessStopped(d, kStreamTurnMs)) break;
    }
}

namespace {

enum class UsbRead { Data, Failed, Stopped };

// One 512-byte read from the IN pipe into rxBuffer on the link's stream block. A read left
// out by a stop stays on the record's block and buffer; the next call waits for it instead of
// posting another.
UsbRead winUsbStreamRead(DevStruct& d, uint32_t& count) {
    const auto& api = transport::winUsb();
    platform::Overlapped& io = d.streamOverlapped;
    count = 0;
    if (!api.bound || !d.winUsbHandle) return UsbRead::Failed;
    using transport::PipeState;
    PipeState state = PipeState::Pending;
    if (io.posted == platform::PostedIo::None)
        state = transport::winUsbPost(api.readPipe, d.winUsbHandle, transport::kWinUsbInPipe,
                                      d.rxBuffer.data(), kFragmentSize, io, count);
    if (state == PipeState::Pending)
        state = transport::winUsbWait(d.winUsbHandle, io, d.stopEvent.get(),
                                      platform::kWaitInfinite, count);
    switch (state) {
    case PipeState::Done:
        return UsbRead::Data;
    case PipeState::Pending:
        return UsbRead::Stopped;
    case PipeState::Failed:
        break;
    }
    return UsbRead::Failed;
}

} // namespace

std::optional<std::span<const uint8_t>> FragmentJoiner::add(const uint8_t* f, uint32_t count) {
    if (complete_) {
        joined_.clear();
        complete_ = false;
    }
    if (count != kFragmentSize || platform::le16(f) != kStreamFragment) return std::nullopt;
    const uint16_t control = platform::le16(f + 2);
    const uint32_t words = transport::winUsbFragmentWords(control);
    if (!discarding_ && joined_.size() + 2 * words <= kRecordBufferSize) {
        joined_.insert(joined_.end(), f + 4, f + 4 + 2 * words);
    } else {
        joined_.clear();
        discarding_ = true;
    }
    if (!(control & transport::kWinUsbLastFragment)) return std::nullopt;
    const bool whole = !discarding_;
    discarding_ = false;
    complete_ = true;
    if (!whole) return std::nullopt;
    return std::span<const uint8_t>(joined_);
}

void winUsbStreamThread(DevicePtr record) {
    DevStruct& d = *record;
    FragmentJoiner joiner;
    startTicks(d);
    while (!stopRequested(d)) {
        serviceCommands(record);
        uint32_t count = 0;
        const UsbRead r = winUsbStreamRead(d, count);
        if (r == UsbRead::Stopped) break;
        if (count == 0) {
            checkOnline(d);
            if (pauseUnlessStopped(d, kStreamTurnMs)) break;
            continue;
        }
        const uint8_t* f = d.rxBuffer.data();
        if (count != kFragmentSize || platform::le16(f) != kStreamFragment) continue;
        const bool last = (platform::le16(f + 2) & transport::kWinUsbLastFragment) != 0;
        const auto joined = joiner.add(f, count);
        if (!last) {
            checkOnline(d);
            if (pauseUnlessStopped(d, kStreamTurnMs)) break;
            continue;
        }
        const bool ours =
            joined && joined->size() >= 2 && platform::le16(joined->data()) == d.state.deviceType;
        if (ours) deliverRecord(d, *joined);
        if (!ours) continue;
        checkOnline(d);
        if (pauseUnlessStopped(d, kStreamTurnMs)) break;
    }
}

namespace {

constexpr uint8_t kDatagramStart[8] = {0x34, 0x75, 0x85, 0x84, 0xCB, 0x8A, 0x7A, 0x7B};
constexpr uint32_t kDatagramRecordOffset = 10;

} // namespace

std::optional<std::span<const uint8_t>> streamDatagramRecord(const transport::UdpPeer& peer,
                                                             std::span<const uint8_t> datagram,
                                                             const uint8_t* from,
                                                             int32_t fromLength) {
    const uint8_t* b = datagram.data();
    if (datagram.size() < 12 || std::memcmp(b, kDatagramStart, sizeof kDatagramStart) != 0)
        return std::nullopt;
    const uint16_t kind = platform::le16(b + 8);
    if (kind != 10 && kind != 9) return std::nullopt;
    if (!from || fromLength < 8) return std::nullopt;
    uint16_t port;
    uint32_t address;
    std::memcpy(&port, from + 2, sizeof port);
    std::memcpy(&address, from + 4, sizeof address);
    if (port != peer.port || address != peer.address) return std::nullopt;
    return datagram.subspan(kDatagramRecordOffset);
}

void udpStreamThread(DevicePtr record) {
    DevStruct& d = *record;
    startTicks(d);
    while (!stopRequested(d)) {
        serviceCommands(record);
        uint32_t count = 0;
        const Receive r = receiveSlice(d, d.udpSocket, true, kReceiveSliceMs, count);
        if (r != Receive::Data) {
            if (afterEmptyReceive(d, r)) break;
            continue;
        }
        const platform::Overlapped& io = d.streamOverlapped;
        const auto record =
            streamDatagramRecord(d.udpPeer, std::span<const uint8_t>(d.rxBuffer.data(), count),
                                 io.postedFrom, io.postedFromLength);
        if (record) deliverRecord(d, *record);
        checkOnline(d);
        if (pauseUnlessStopped(d, kStreamTurnMs)) break;
    }
}

} // namespace zs::engine
