#include "engine/command_engine.h"

#include "engine/program_table.h"
#include "platform/clock.h"
#include "platform/sockets.h"
#include "transport/d2xx.h"
#include "transport/ftdi_transport.h"
#include "transport/socket_transport.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace zs::engine {
namespace {

using frame::DevStruct;

// The thread start creates the record's locks; a record without them has no I/O thread
// that could race with the host.
class LockIf {
  public:
    explicit LockIf(std::mutex* m) : m_(m) {
        if (m_) m_->lock();
    }
    ~LockIf() {
        if (m_) m_->unlock();
    }
    LockIf(const LockIf&) = delete;
    LockIf& operator=(const LockIf&) = delete;

  private:
    std::mutex* m_;
};

// Sleeps of a command that end early when the thread is asked to stop. Once stopped, the
// remaining steps still run, without waiting, so that control lines are put back.
class Pauses {
  public:
    explicit Pauses(const DevStruct& d) : stop_(d.stopEvent.get()) {}
    void operator()(uint32_t ms) {
        if (stopped_) return;
        if (stop_)
            stopped_ = stop_->wait(ms);
        else
            platform::sleepMs(ms);
    }

  private:
    platform::Event* stop_;
    bool stopped_ = false;
};

// Reads a mailbox, runs its command when one is pending, then marks it served.
template <class Action>
void serveMailbox(std::atomic<int32_t>& box, Action&& action) {
    const int32_t value = box.load();
    if (value < 0) return;
    action(value);
    box.exchange(-1);
}

// Sends a copy taken under the lock, so the host may append while the send waits; what it
// appended meanwhile stays pending for the next pass.
void serveBands(const DevicePtr& record) {
    DevStruct& d = *record;
    std::vector<uint16_t> words;
    {
        LockIf lock(d.bandLock.get());
        if (d.bandBytes.empty()) return;
        words = d.bandBytes;
    }
    sendBands(record, words);
    LockIf lock(d.bandLock.get());
    d.bandBytes.erase(d.bandBytes.begin(),
                      d.bandBytes.begin() +
                          static_cast<std::ptrdiff_t>(std::min(words.size(), d.bandBytes.size())));
}

// One entry per pass, oldest first. Indices are taken modulo the ring so that a corrupt
// index cannot reach outside it.
void serveRing(const DevicePtr& record) {
    DevStruct& d = *record;
    frame::RingEntry entry;
    {
        LockIf lock(d.ringLock.get());
        const uint32_t read = d.ringReadIndex.load();
        if (read == d.ringWriteIndex.load()) return;
        entry = d.commandRing[read % kRingSize];
    }
    sendRingEntry(record, entry);
    LockIf lock(d.ringLock.get());
    d.ringReadIndex.store((d.ringReadIndex.load() % kRingSize + 1) % kRingSize);
}

// The queue's lock is held only to take the items out: a send can wait on the device, and
// the generator exports must not wait with it.
void serveGenerators(const DevicePtr& record) {
    frame::GeneratorQueue* queue = record->generatorQueue.get();
    if (!queue) return;
    std::vector<frame::GeneratorQueue::Item> items;
    frame::GeneratorQueue::Item item;
    while (queue->pop(item)) items.push_back(item);
    for (const auto& i : items) sendGeneratorItem(record, i.command, i.value);
}

void d2xxWriteByte(const DevStruct& d, uint8_t byte) {
    uint32_t count = 0;
    transport::d2xx().write(d.ftdiHandle, &byte, 1, &count, nullptr);
}

// A plain send: the record's overlapped block may carry the I/O thread's posted receive.
void lineCommand(const DevStruct& d, uint32_t code, uint32_t value) {
    const auto bytes = transport::buildLineCommand(code, value);
    platform::sendAllWithin(d.commandSocketHandle(), bytes.data(), bytes.size(), d.stopEvent.get(),
                            transport::kSocketSendTimeoutMs);
}

} // namespace

void switchProgram(DevicePtr record, int32_t index) {
    if (!record) return;
    DevStruct& d = *record;
    if (isSyncFamily(d.linkKind)) {
        // Identification switches these instruments when it next runs.
        if (index >= 0 && index < 200) d.requestedProgram = static_cast<uint16_t>(index);
        return;
    }
    const auto entry = programEntry(index);
    if (!entry) return;
    sendProgramSwitch(record, entry->name.substr(0, kProgramNameMax));
    d.online = 0;
    Pauses pause(d);
    pause(entry->settleMs + (d.hasWinUsb() ? 1000 : 0));
}

void resetDevice(DevicePtr record) {
    if (!record) return;
    DevStruct& d = *record;
    Pauses pause(d);
    if (d.hasFtdi()) {
        const auto& api = transport::d2xx();
        if (isSyncFamily(d.linkKind)) {
            const uint8_t line = transport::resetLine(d.linkKind);
            api.bitMode(d.ftdiHandle, line | 1, 4);
            transport::ftdiWrite(d.ftdiHandle, &line, 1, d.stopEvent.get(), d.ioOverlapped);
            pause(400);
            api.bitMode(d.ftdiHandle, line | 1, 0);
            pause(800);
        } else if (d.linkKind == transport::LinkKind::FtdiPacketSwitched ||
                   d.linkKind == transport::LinkKind::TcpChannel0) {
            api.lineLow(d.ftdiHandle);
            pause(10);
            d2xxWriteByte(d, 0xFD);
            pause(100);
            d2xxWriteByte(d, 0xFC);
            pause(10);
            api.lineHigh(d.ftdiHandle);
            pause(10);
        } else {
            api.bitMode(d.ftdiHandle, 0xC0, 4);
            d2xxWriteByte(d, 0x80);
            pause(100);
            d2xxWriteByte(d, 0xC0);
            pause(600);
            api.bitMode(d.ftdiHandle, 0xC0, 0);
        }
    } else if (d.hasTcp() && isSyncFamily(d.linkKind) &&
               d.commandSocketHandle() != platform::kNoSocket) {
        const uint32_t code = transport::resetLineCode(d.channelIndex);
        lineCommand(d, code, transport::kResetLineAssert);
        pause(350);
        lineCommand(d, code, transport::kResetLineRelease);
        pause(950);
    }
    d.online = 0;
}

uint32_t dateTimeValue(const platform::CalendarTime& t) {
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour < 0 || t.hour > 23 ||
        t.minute < 0 || t.minute > 59 || t.second < 0 || t.second > 60)
        return kNoDateTime;
    // Whole seconds: the half second below only absorbs the rounding of the day fractions.
    platform::CalendarTime now = t;
    now.milliseconds = 0;
    platform::CalendarTime epoch;
    epoch.year = 2000;
    epoch.month = 1;
    epoch.day = 1;
    const double span = platform::oleDateFromCalendar(now) - platform::oleDateFromCalendar(epoch);
    constexpr double kHalfSecond = 1.0 / 172800;
    const double days = span < 0 ? span - kHalfSecond : span + kHalfSecond;
    if (days < 0 || days >= 32768) return kNoDateTime;
    return static_cast<uint32_t>(days) << 17 | static_cast<uint32_t>(t.hour) << 12 |
           static_cast<uint32_t>(t.minute) << 6 | static_cast<uint32_t>(t.second);
}

void sendDateTimeNow(DevicePtr record) {
    sendDateTime(std::move(record), dateTimeValue(platform::localTimeNow()));
}

void serviceCommands(DevicePtr record) {
    if (!record) return;
    DevStruct& d = *record;
    serveMailbox(d.resetCmd, [&](int32_t) { sendReset(record); });
    serveMailbox(d.startStopCmd, [&](int32_t) { sendStartStop(record); });
    serveMailbox(d.startCmd, [&](int32_t) { sendStart(record); });
    serveMailbox(d.stopCmd, [&](int32_t) { sendStop(record); });
    serveMailbox(d.rangeCmd, [&](int32_t v) { sendRange(record, v); });
    serveMailbox(d.polCmd, [&](int32_t v) { sendPolarity(record, v); });
    serveMailbox(d.icpModeCmd, [&](int32_t v) { sendIcpMode(record, v); });
    serveMailbox(d.zChModeCmd, [&](int32_t v) { sendZeroChannelMode(record, v); });
    serveMailbox(d.sigRegModeCmd, [&](int32_t v) {
        const auto param = static_cast<uint32_t>(d.sigRegParam.load());
        sendSigRegMode(record, static_cast<uint16_t>(v), static_cast<uint16_t>(param),
                       static_cast<uint16_t>(param >> 16));
    });
    serveBands(record);
    serveRing(record);
    serveMailbox(d.programCmd, [&](int32_t v) { switchProgram(record, v); });
    serveMailbox(d.resetDeviceCmd, [&](int32_t) { resetDevice(record); });
    serveMailbox(d.switchOffCmd, [&](int32_t) { sendSwitchOff(record); });
    serveMailbox(d.dateTimeCmd, [&](int32_t) { sendDateTimeNow(record); });
    serveGenerators(record);
}

} // namespace zs::engine
