// Device and file queries: field reads. A device's fields are read under its dataLock, which its
// I/O thread holds while it decodes, so a query never sees a value half written.
#include "api/guard.h"
#include "api/records.h"
#include "engine/signal_threads.h"
#include "frame/record_queries.h"
#include "platform/clock.h"
#include "zentrel_signal.h"

#include <mutex>

using namespace zs;
using frame::DevStruct;
using frame::LibraryState;
using telemetry::CDataProcessor;

namespace {

// The device's dataLock for the time of one read; none for a file or a device never started.
std::unique_lock<std::mutex> dataLockOf(DevStruct* d) {
    if (!d || !d->dataLock) return {};
    return std::unique_lock(*d->dataLock);
}

template <class R, class Read>
R mixed(int32_t index, R notFound, Read&& read) {
    return api::guarded<R>(notFound, [&](LibraryState& s) {
        return api::readMixed<R>(s, index, notFound, [&](CDataProcessor& r, DevStruct* d) {
            const auto lock = dataLockOf(d);
            return read(r, d);
        });
    });
}

template <class R, class Read>
R device(int32_t index, R notFound, Read&& read) {
    return api::guarded<R>(notFound, [&](LibraryState& s) {
        return api::readDevice<R>(s, index, notFound, [&](DevStruct& d) {
            const auto lock = dataLockOf(&d);
            return read(d);
        });
    });
}

// For what waits or touches only atomics: without the lock, which the I/O thread needs.
template <class R, class Read>
R deviceUnlocked(int32_t index, R notFound, Read&& read) {
    return api::guarded<R>(
        notFound, [&](LibraryState& s) { return api::readDevice<R>(s, index, notFound, read); });
}

// Per-channel coefficients exist for the larger of the sensor and channel counts.
template <class Field>
double coefficient(int32_t index, int32_t channel, Field field) {
    return device<double>(index, 0.0, [&](DevStruct& d) {
        const uint32_t limit = std::max(d.layout.sensorCount, d.layout.channelCount);
        const auto c = static_cast<uint32_t>(channel);
        return c < limit && c < telemetry::kRowCount ? d.rows[c].*field : 0.0;
    });
}

} // namespace

extern "C" {

ZS_EXPORT int32_t ZS_CALL K427_GetDeviceType(int32_t index) {
    return ZS_EXPORT_CALL(index).run([&]() -> int32_t {
        return mixed<int32_t>(index, 0, [](CDataProcessor& r, DevStruct*) {
            return static_cast<int32_t>(r.state.deviceType);
        });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_GetDeviceRange(int32_t index) {
    return ZS_EXPORT_CALL(index).run([&]() -> int32_t {
        return mixed<int32_t>(index, 0, [](CDataProcessor& r, DevStruct*) {
            return static_cast<int32_t>(r.state.rangeWord & 0xFF);
        });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_GetDeviceVIN(int32_t index) {
    return ZS_EXPORT_CALL(index).run([&]() -> int32_t {
        return mixed<int32_t>(index, 0, [](CDataProcessor& r, DevStruct*) {
            return static_cast<int32_t>(r.state.serialNumber);
        });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_GetStartStopState(int32_t index) {
    return ZS_EXPORT_CALL(index).run([&]() -> int32_t {
        return mixed<int32_t>(index, 0, [](CDataProcessor& r, DevStruct*) {
            return static_cast<int32_t>(r.state.startStopState);
        });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_GetOverflowState(int32_t index, int32_t channel) {
    return ZS_EXPORT_CALL(index, channel).run([&]() -> int32_t {
        if (static_cast<uint32_t>(channel) >= 8) return 0;
        return mixed<int32_t>(index, 0, [&](CDataProcessor& r, DevStruct*) {
            return static_cast<int32_t>(r.rows[channel].overflowFlags);
        });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_GetUnderrangeState(int32_t index, int32_t channel) {
    return ZS_EXPORT_CALL(index, channel).run([&]() -> int32_t {
        if (static_cast<uint32_t>(channel) >= 8) return 0;
        return mixed<int32_t>(index, 0, [&](CDataProcessor& r, DevStruct*) {
            return static_cast<int32_t>(r.rows[channel].underrangeFlags);
        });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_IsDeviceOnLine(int32_t index) {
    return ZS_EXPORT_CALL(index).run([&]() -> int32_t {
        return mixed<int32_t>(index, 0, [](CDataProcessor&, DevStruct* d) {
            return d ? d->online.load() : 1; // an open file is always there
        });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_IsDeviceHighSpeed(int32_t index) {
    return ZS_EXPORT_CALL(index).run([&]() -> int32_t {
        return device<int32_t>(index, 0,
                               [](DevStruct& d) { return static_cast<int32_t>(d.highSpeed); });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_GetChannelN(int32_t index) {
    return ZS_EXPORT_CALL(index).run([&]() -> int32_t {
        return device<int32_t>(
            index, 0, [](DevStruct& d) { return static_cast<int32_t>(d.layout.channelCount); });
    });
}

ZS_EXPORT double ZS_CALL K427_GetFSampling(int32_t index) {
    return ZS_EXPORT_CALL(index).run([&]() -> double {
        return device<double>(index, 0.0, [](DevStruct& d) { return d.state.samplingRate; });
    });
}

ZS_EXPORT double ZS_CALL K427_GetCorrection(int32_t index, int32_t channel) {
    return ZS_EXPORT_CALL(index, channel).run([&]() -> double {
        return coefficient(index, channel, &telemetry::ChannelRow::correction);
    });
}

ZS_EXPORT double ZS_CALL K427_GetSensor(int32_t index, int32_t channel) {
    return ZS_EXPORT_CALL(index, channel).run([&]() -> double {
        return coefficient(index, channel, &telemetry::ChannelRow::sensitivity);
    });
}

ZS_EXPORT double ZS_CALL K427_GetKBase(int32_t index, int32_t channel) {
    return ZS_EXPORT_CALL(index, channel).run([&]() -> double {
        return coefficient(index, channel, &telemetry::ChannelRow::kBase);
    });
}

ZS_EXPORT double ZS_CALL K427_GetBaseLevel(int32_t index, int32_t channel) {
    return ZS_EXPORT_CALL(index, channel).run([&]() -> double {
        if (static_cast<uint32_t>(channel) >= 8) return 0.0;
        return device<double>(index, 0.0, [&](DevStruct& d) { return d.baseLevel[channel]; });
    });
}

// A recorded file answers with its current record's time: hosts that step through a file
// need each record's time as much as a live device's.
ZS_EXPORT double ZS_CALL K427_GetDateTime(int32_t index) {
    return ZS_EXPORT_CALL(index).run([&]() -> double {
        return mixed<double>(index, 0.0, [](CDataProcessor& r, DevStruct*) {
            return frame::packedDateTimeToOleDate(r.state.packedDate, r.state.packedTime);
        });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_WaitForTelePacket(int32_t index, uint32_t timeoutMs) {
    return ZS_EXPORT_CALL(index, timeoutMs).run([&]() -> int32_t {
        return deviceUnlocked<int32_t>(
            index, 0, [&](DevStruct& d) { return frame::waitForTelePacket(d, timeoutMs) ? 1 : 0; });
    });
}

ZS_EXPORT double* ZS_CALL K427_GetWPtr(int32_t index) {
    return ZS_EXPORT_CALL(index).run([&]() -> double* {
        return deviceUnlocked<double*>(index, nullptr,
                                       [](DevStruct& d) { return d.signalWritePtr.load(); });
    });
}

ZS_EXPORT void ZS_CALL K427_RegisterCallbackForSignalSend(int32_t index,
                                                          ZS_SignalSendCallback callback,
                                                          int32_t user) {
    ZS_EXPORT_CALL(index, callback, user).run([&] {
        deviceUnlocked<int>(index, 0, [&](DevStruct& d) {
            engine::setSignalSendCallback(d, callback, user);
            return 0;
        });
    });
}

} // extern "C"
