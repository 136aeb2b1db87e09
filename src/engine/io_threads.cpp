#include "engine/io_threads.h"

#include "engine/signal_threads.h"
#include "engine/stream_threads.h"
#include "frame/library.h"
#include "platform/clock.h"
#include "trace/trace.h"
#include "transport/d2xx.h"

#include <exception>
#include <mutex>

namespace zs::engine {

using frame::DevStruct;

namespace {

ThreadProcedure streamProcedure(const DevStruct& d) {
    if (d.hasFtdi()) return ftdiStreamThread;
    if (d.hasTcp()) return tcpStreamThread;
    if (d.hasWinUsb()) return winUsbStreamThread;
    if (d.hasUdp()) return udpStreamThread;
    return nullptr;
}

// Raw-signal mode: the FTDI and WinUSB signal threads serve it; network links have none.
ThreadProcedure signalProcedure(const DevStruct& d) {
    if (d.hasFtdi()) return ftdiSignalThread;
    if (d.hasWinUsb()) return winUsbSignalThread;
    return nullptr;
}

template <class Lock>
void ensure(std::unique_ptr<Lock>& lock) {
    if (!lock) lock = std::make_unique<Lock>();
}

// Sent from the starting thread before the I/O thread exists; not acknowledged.
void sendOpeningCommand(const DevicePtr& record) {
    DevStruct& d = *record;
    if (d.sMode == 0) {
        sendStreamMode(record, 1);
        return;
    }
    if (d.hasFtdi() && !isSyncFamily(d.linkKind) && d.baudRate > 115200) {
        sendRateSwitch(record, d.baudRate);
        platform::sleepMs(100);
        transport::d2xx().rate(d.ftdiHandle, d.baudRate);
    }
    sendSignalMode(record, d.highSpeed);
}

void startOne(const DevicePtr& record) {
    DevStruct& d = *record;
    // The locks live as long as the record: an export may hold one or be about to take it
    // while the thread restarts, and a start leaves them unheld anyway.
    ensure(d.dataLock);
    ensure(d.bandLock);
    ensure(d.ringLock);
    if (d.stopEvent)
        d.stopEvent->reset();
    else
        d.stopEvent = std::make_unique<platform::Event>(platform::Event::Reset::Manual);
    d.ioOverlapped.ensureEvent();
    {
        std::lock_guard lock(*d.ringLock);
        d.ringWriteIndex = 0;
        d.ringReadIndex = 0;
    }
    transport::withdrawPostedReceive(d);
    sendOpeningCommand(record);
    const ThreadProcedure procedure = chooseProcedure(d);
    const char* mode = d.sMode == 0 ? "stream" : "raw-signal";
    if (!procedure) {
        ZS_TRACE_LINE(transport::linkName(d), ": no I/O thread serves ", mode,
                      " mode on this link");
        return;
    }
    std::weak_ptr<DevStruct> element = record;
    d.ioThread = std::make_unique<platform::IoThread>([element, procedure] {
        DevicePtr own = element.lock();
        if (!own) return;
        try {
            procedure(own);
        } catch (const std::exception& e) {
            // Out of memory or of system objects: this device's work ends, the host's goes on.
            own->online = 0;
            ZS_TRACE_LINE(transport::linkName(*own),
                          ": I/O thread ended by an exception: ", e.what(), "; off line");
        } catch (...) {
            own->online = 0;
            ZS_TRACE_LINE(transport::linkName(*own),
                          ": I/O thread ended by an exception; off line");
        }
    });
    if (!d.ioThread->start()) {
        d.ioThread.reset();
        d.online = 0;
        ZS_TRACE_LINE(transport::linkName(d), ": the I/O thread could not start; off line");
        return;
    }
    ZS_TRACE_LINE(transport::linkName(d), ": I/O thread started, ", mode, " mode");
}

} // namespace

ThreadProcedure chooseProcedure(const DevStruct& d) {
    return d.sMode == 0 ? streamProcedure(d) : signalProcedure(d);
}

void startIoThreads() {
    for (const DevicePtr& record : frame::lib().devices)
        if (record && !record->ioThread) startOne(record);
}

void stopIoThread(DevStruct& d) {
    if (d.stopEvent) d.stopEvent->set();
    if (d.ioThread) {
        d.ioThread->join();
        d.ioThread.reset();
        ZS_TRACE_LINE(transport::linkName(d), ": I/O thread stopped");
    }
    if (d.stopEvent) d.stopEvent->reset();
}

int32_t setStreamMode(uint32_t index, int32_t mode) {
    auto& devices = frame::lib().devices;
    if (index >= devices.size()) return 0;
    auto it = devices.begin();
    std::advance(it, index);
    if (it == devices.end() || !*it) return 0;
    DevStruct& d = **it;
    if ((d.sMode == 0) == (mode == 0)) return 1;
    d.sMode = mode;
    stopIoThread(d);
    startIoThreads();
    return 1;
}

} // namespace zs::engine
