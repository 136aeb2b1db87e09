#include "engine/signal_threads.h"

#include "engine/command_engine.h"
#include "engine/signal_path.h"
#include "frame/library.h"
#include "platform/clock.h"
#include "platform/little_endian.h"
#include "trace/trace.h"
#include "transport/d2xx.h"
#include "transport/packet_process.h"
#include "transport/winusb_binding.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <span>
#include <vector>

namespace zs::engine {
namespace {

using frame::DevStruct;

constexpr uint32_t kRecordBufferSize = 10240;
constexpr uint32_t kReadBufferSize = 65536;
constexpr uint32_t kOfflineAfterMs = 1500;
constexpr uint32_t kTurnSleepMs = 5;
constexpr uint32_t kFrame = 512;
constexpr uint16_t kSignalFragment = 1;
constexpr uint32_t kFragmentWords = 254;
constexpr uint32_t kStatusBufferSize = 128;

void clearFilters(DevStruct& d) {
    for (uint32_t c = 0; c < 8; ++c)
        d.filterX1[c] = d.filterX2[c] = d.filterY1[c] = d.filterY2[c] = 0.0;
}

bool stopRequested(const DevStruct& d) {
    return !d.stopEvent || d.stopEvent->tryAcquire();
}

void blockArrived(DevStruct& d, std::span<const uint8_t> block) {
    processSignalBlock(d, frame::lib().description, block);
    d.lastPacketTick = platform::tickMs();
    if (d.online.exchange(1) == 0) ZS_TRACE_LINE(transport::linkName(d), ": signal again; on line");
}

// True when the instrument has been silent too long (and marks it offline).
bool offlineCheck(DevStruct& d) {
    if (platform::tickMs() - d.lastPacketTick.load() < kOfflineAfterMs) return false;
    if (d.online.exchange(0) == 1)
        ZS_TRACE_LINE(transport::linkName(d), ": no signal for ", kOfflineAfterMs, " ms; off line");
    return true;
}

} // namespace

void setSignalSendCallback(DevStruct& d, frame::SignalSendCallback callback, int32_t user) {
    // The thread calls the function under this lock, so no call outlives the change.
    std::lock_guard lock(d.signalSendLock);
    d.signalSendUser.store(user);
    d.signalSendCallback.store(callback);
}

bool OutputRing::fill(DevStruct& d) {
    std::lock_guard lock(d.signalSendLock);
    const frame::SignalSendCallback callback = d.signalSendCallback.load();
    if (!callback) return false;
    Block& block = blocks_[index_];
    if (block.filled) return true;
    block.bytes[0] = static_cast<uint8_t>(sequence_);
    block.bytes[1] = static_cast<uint8_t>(sequence_ >> 8);
    ++sequence_;
    block.filled = true;
    callback(block.bytes.data() + 2, kOutputBlockUnits, d.signalSendUser.load());
    return true;
}

void OutputRing::advance() {
    blocks_[index_].filled = false;
    index_ = (index_ + 1) % kOutputRingBlocks;
}

uint32_t outputBurst(uint32_t level) {
    const uint32_t n = level / kOutputBlockUnits;
    return n >= 9 ? std::min<uint32_t>(n - 8, 4) : 0;
}

void ftdiSignalThread(DevicePtr record) {
    if (!record) return;
    DevStruct& d = *record;
    const transport::D2xxApi& ft = transport::d2xx();
    std::vector<uint8_t> recordBuffer(kRecordBufferSize);
    transport::CDoutPacketProcess parser(kRecordBufferSize, recordBuffer.data());
    std::vector<uint8_t> readBuffer(kReadBufferSize);

    // Whatever the instrument sent before it switched is not a signal block.
    for (int i = 0; i < 2; ++i) {
        uint32_t waiting = 0;
        if (ft.queue(d.ftdiHandle, &waiting) != transport::kD2xxOk || waiting == 0) continue;
        uint32_t got = 0;
        ft.read(d.ftdiHandle, readBuffer.data(), std::min(waiting, kReadBufferSize), &got, nullptr);
    }
    clearFilters(d);
    // The first block completed may have started before the switch.
    uint32_t skip = 1;

    while (!stopRequested(d)) {
        serviceCommands(record);
        uint32_t waiting = 0;
        if (ft.queue(d.ftdiHandle, &waiting) == transport::kD2xxOk && waiting) {
            uint32_t got = 0;
            if (!ft.read(d.ftdiHandle, readBuffer.data(), std::min(waiting, kReadBufferSize), &got,
                         nullptr))
                got = 0;
            for (uint32_t position = 0; parser.process(readBuffer.data(), got, position);) {
                if (skip > 0) {
                    --skip;
                    continue;
                }
                blockArrived(d, {parser.payload(), parser.payloadLength()});
            }
        }
        // A silent instrument is marked offline, but the loop still pauses between polls.
        offlineCheck(d);
        platform::sleepMs(kTurnSleepMs);
    }
}

void winUsbSignalThread(DevicePtr record) {
    if (!record) return;
    DevStruct& d = *record;
    const transport::WinUsbApi& usb = transport::winUsb();
    using transport::PipeState;
    // The stream read goes on the record's block into its buffer, so a read a stop leaves out
    // harms nothing and the next thread collects it. The status and output transfers use this
    // thread's blocks and buffers, so they are withdrawn and collected before it returns.
    platform::Overlapped& stream = d.streamOverlapped;
    platform::Overlapped status, output;
    std::array<uint8_t, kStatusBufferSize> statusBuffer{};
    OutputRing ring;
    std::vector<uint8_t> fragments;
    fragments.reserve(kReadBufferSize);
    struct Collect {
        DevStruct& d;
        platform::Overlapped& status;
        platform::Overlapped& output;
        ~Collect() {
            transport::winUsbAbandon(d.winUsbHandle, status);
            transport::winUsbAbandon(d.winUsbHandle, output);
        }
    } collect{d, status, output};

    uint32_t writesRemaining = 0; // blocks of the current burst not yet accounted for
    bool writeOut = false;        // a block posted (or sent at once) and not yet accounted for
    bool statusOut = false;

    clearFilters(d);
    d.lastPacketTick = platform::tickMs();
    d.seenPacketTick = platform::tickMs();

    const auto writeCurrent = [&] {
        uint32_t count = 0;
        writeOut = transport::winUsbPost(usb.writePipe, d.winUsbHandle,
                                         transport::kWinUsbSignalOutPipe, ring.current(),
                                         kOutputBlockSize, output, count) != PipeState::Failed;
        // A write that fails outright ends the burst: the next status starts another.
        if (!writeOut) writesRemaining = 0;
    };
    const auto statusArrived = [&](uint32_t count) {
        if (count != 4 || writesRemaining != 0) return;
        uint32_t level = 0;
        std::memcpy(&level, statusBuffer.data(), 4);
        const uint32_t n = outputBurst(level);
        if (n > 0 && ring.fill(d)) {
            writesRemaining = n;
            writeCurrent();
        }
    };

    while (!stopRequested(d)) {
        serviceCommands(record);

        // Output progress: each block is accounted for once, whether it was sent at once,
        // completed later or failed; then the next one is filled and sent.
        if (writeOut) {
            uint32_t count = 0;
            const PipeState state = output.posted != platform::PostedIo::None
                                        ? transport::winUsbPoll(d.winUsbHandle, output, count)
                                        : PipeState::Done;
            if (state != PipeState::Pending) {
                writeOut = false;
                ring.advance();
                if (writesRemaining > 0) --writesRemaining;
                if (state == PipeState::Failed) writesRemaining = 0;
                if (writesRemaining > 0) {
                    if (ring.fill(d))
                        writeCurrent();
                    else
                        writesRemaining = 0; // no callback any more: the burst ends here
                }
            }
        }

        // Status: the instrument's free output space decides the next burst.
        if (statusOut) {
            uint32_t count = 0;
            const PipeState state = transport::winUsbPoll(d.winUsbHandle, status, count);
            if (state != PipeState::Pending) statusOut = false;
            if (state == PipeState::Done) statusArrived(count);
        }

        // Stream read: one outstanding at all times, waited for together with the stop.
        uint32_t count = 0;
        PipeState state = PipeState::Pending;
        if (stream.posted == platform::PostedIo::None)
            state = transport::winUsbPost(usb.readPipe, d.winUsbHandle, transport::kWinUsbInPipe,
                                          d.rxBuffer.data(), kFrame, stream, count);
        if (state == PipeState::Pending) {
            state = transport::winUsbWait(d.winUsbHandle, stream, d.stopEvent.get(),
                                          platform::kWaitInfinite, count);
            if (state == PipeState::Pending) break; // stopped
        }
        if (state != PipeState::Done) count = 0;
        if (count == 0) {
            platform::sleepMs(kTurnSleepMs);
            offlineCheck(d);
            continue;
        }

        const bool hasCallback = d.signalSendCallback.load() != nullptr;
        if (hasCallback && !statusOut) {
            uint32_t got = 0;
            const PipeState s =
                transport::winUsbPost(usb.readPipe, d.winUsbHandle, transport::kWinUsbStatusPipe,
                                      statusBuffer.data(), kStatusBufferSize, status, got);
            statusOut = s == PipeState::Pending;
            if (s == PipeState::Done) statusArrived(got); // a status that came at once counts too
        }

        if (count != kFrame || platform::le16(d.rxBuffer.data()) != kSignalFragment) continue;
        const uint16_t control = platform::le16(d.rxBuffer.data() + 2);
        const bool last = (control & 0x8000) != 0;
        const uint32_t words =
            last ? std::min<uint32_t>(control & 0xFF, kFragmentWords) : kFragmentWords;
        // A run of fragments without a last one is dropped before it outgrows the reserve.
        if (fragments.size() + 2 * words > kReadBufferSize) fragments.clear();
        fragments.insert(fragments.end(), d.rxBuffer.begin() + 4,
                         d.rxBuffer.begin() + 4 + 2 * words);
        if (last) {
            if (fragments.size() > 16) processSignalBlock(d, frame::lib().description, fragments);
            d.lastPacketTick = platform::tickMs();
            if (d.online.exchange(1) == 0)
                ZS_TRACE_LINE(transport::linkName(d), ": signal again; on line");
            fragments.clear();
        }
        offlineCheck(d);
    }
}

} // namespace zs::engine
