#include "sim_d2xx.h"

#include <algorithm>
#include <cstring>

namespace zs::sim {

using transport::D2xxLineSettings;
using transport::D2xxProgramData;
using transport::FtHandle;
using transport::kNoFtdiHandle;

namespace {
constexpr uint32_t kOk = 0;
constexpr uint32_t kInvalidHandle = 1;
constexpr uint32_t kDeviceNotFound = 2;
constexpr uint32_t kIoError = 4;
constexpr uint32_t kInvalidParameter = 6;
constexpr uint32_t kErrorPending = 997;
constexpr uint32_t kErrorIncomplete = 996;
constexpr uint32_t kErrorGenFailure = 31;

bool fails(const SimD2xxDevice& d, D2xxRole role) {
    return (d.failingRoles & roleBit(role)) != 0;
}

void record(SimD2xxDevice& d, D2xxCall call) {
    d.history.push_back(call);
    if (d.onCall) d.onCall(d, call);
}
} // namespace

struct SimD2xxCalls {
    using Lock = std::lock_guard<std::recursive_mutex>;
    static SimD2xx& sim() { return SimD2xx::instance(); }

    static SimD2xx::Handle* handle(FtHandle h) {
        for (auto& p : sim().handles_)
            if (p.get() == h) return p.get();
        return nullptr;
    }

    static std::vector<SimD2xxDevice*> presentDevices() {
        std::vector<SimD2xxDevice*> r;
        for (auto& d : sim().devices_)
            if (d->present) r.push_back(d.get());
        return r;
    }

    // A status call on an open handle of a present device whose role does not fail.
    static SimD2xxDevice* usable(FtHandle h, D2xxRole role, uint32_t& status) {
        SimD2xx::Handle* hd = handle(h);
        if (!hd) {
            status = kInvalidHandle;
            return nullptr;
        }
        if (!hd->device->present || fails(*hd->device, role)) {
            status = kIoError;
            return nullptr;
        }
        status = kOk;
        return hd->device;
    }

    static uint32_t ZS_D2XX_API listDevices(void* arg1, void* arg2, uint32_t flags) {
        Lock lock(sim().mutex_);
        const auto devices = presentDevices();
        for (auto* d : devices)
            if (fails(*d, (flags & 0x80000000u) ? D2xxRole::Count : D2xxRole::Serial))
                return kIoError;
        if (flags & 0x80000000u) { // number only
            if (!arg1) return kInvalidParameter;
            *static_cast<uint32_t*>(arg1) = static_cast<uint32_t>(devices.size());
            return kOk;
        }
        if (flags & 0x40000000u) { // by index: 1 serial number, 2 description
            const auto index = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg1));
            if (index >= devices.size() || !arg2) return kDeviceNotFound;
            const std::string& text =
                (flags & 2) ? devices[index]->description : devices[index]->serial;
            std::memcpy(arg2, text.c_str(), std::min<size_t>(text.size() + 1, 64));
            return kOk;
        }
        return kInvalidParameter;
    }

    static FtHandle ZS_D2XX_API createFile(const char* name, uint32_t, uint32_t, void*, uint32_t,
                                           uint32_t flags, void*) {
        Lock lock(sim().mutex_);
        if (!name) return kNoFtdiHandle;
        for (auto& d : sim().devices_) {
            const std::string& key = (flags & 2) ? d->description : d->serial;
            if (!d->present || key != name) continue;
            if (d->open || fails(*d, D2xxRole::Open)) return kNoFtdiHandle;
            d->open = true;
            auto h = std::make_unique<SimD2xx::Handle>();
            h->device = d.get();
            FtHandle result = h.get();
            sim().handles_.push_back(std::move(h));
            record(*d, {D2xxRole::Open, flags, 0});
            return result;
        }
        return kNoFtdiHandle;
    }

    static uint32_t ZS_D2XX_API programRead(FtHandle h, D2xxProgramData* data) {
        Lock lock(sim().mutex_);
        uint32_t status;
        SimD2xxDevice* d = usable(h, D2xxRole::Configuration, status);
        if (!d) return status;
        if (!data) return kInvalidParameter;
        auto put = [](char* out, const std::string& text) {
            if (!out) return;
            const size_t n = std::min<size_t>(text.size(), 63);
            std::memcpy(out, text.data(), n);
            out[n] = '\0';
        };
        data->vendorId = 0x0403;
        data->productId = 0x6001;
        put(data->manufacturer, "FTDI");
        put(data->manufacturerId, "FT");
        put(data->description, d->description);
        put(data->serialNumber, d->serial);
        return kOk;
    }

    static int32_t ZS_D2XX_API closeHandle(FtHandle h) {
        Lock lock(sim().mutex_);
        auto& handles = sim().handles_;
        for (auto it = handles.begin(); it != handles.end(); ++it) {
            if (it->get() != h) continue;
            SimD2xxDevice* d = (*it)->device;
            d->open = false;
            handles.erase(it);
            record(*d, {D2xxRole::Close});
            return 1;
        }
        return 0;
    }

    static uint32_t control(FtHandle h, D2xxRole role, uint32_t a = 0, uint32_t b = 0) {
        Lock lock(sim().mutex_);
        uint32_t status;
        SimD2xxDevice* d = usable(h, role, status);
        if (!d) return status;
        record(*d, {role, a, b});
        return kOk;
    }

    static uint32_t ZS_D2XX_API flow(FtHandle h, uint16_t flowControl, uint8_t, uint8_t) {
        return control(h, D2xxRole::Flow, flowControl);
    }
    static uint32_t ZS_D2XX_API chars(FtHandle h, uint8_t eventChar, uint8_t eventEnabled,
                                      uint8_t errorChar, uint8_t errorEnabled) {
        return control(h, D2xxRole::Characters,
                       eventChar | eventEnabled << 8 | errorChar << 16 |
                           static_cast<uint32_t>(errorEnabled) << 24);
    }
    static uint32_t ZS_D2XX_API lineLow(FtHandle h) { return control(h, D2xxRole::LineLow); }
    static uint32_t ZS_D2XX_API lineHigh(FtHandle h) { return control(h, D2xxRole::LineHigh); }
    static uint32_t ZS_D2XX_API resetDevice(FtHandle h) { return control(h, D2xxRole::Reset); }
    static uint32_t ZS_D2XX_API bitMode(FtHandle h, uint8_t mask, uint8_t mode) {
        return control(h, D2xxRole::BitMode, mask, mode);
    }

    static int32_t ZS_D2XX_API getLine(FtHandle h, D2xxLineSettings* dcb) {
        Lock lock(sim().mutex_);
        uint32_t status;
        SimD2xxDevice* d = usable(h, D2xxRole::GetLineSettings, status);
        if (!d || !dcb) return 0;
        *dcb = d->lineSettings;
        dcb->baudRate = d->lineRate;
        return 1;
    }

    static int32_t ZS_D2XX_API setLine(FtHandle h, D2xxLineSettings* dcb) {
        Lock lock(sim().mutex_);
        uint32_t status;
        SimD2xxDevice* d = usable(h, D2xxRole::SetLineSettings, status);
        if (!d || !dcb) return 0;
        d->lineSettings = *dcb;
        if (dcb->baudRate) d->lineRate = dcb->baudRate;
        record(*d, {D2xxRole::SetLineSettings, dcb->baudRate, dcb->byteSize});
        return 1;
    }

    static uint32_t ZS_D2XX_API rate(FtHandle h, uint32_t bitsPerSecond) {
        Lock lock(sim().mutex_);
        uint32_t status;
        SimD2xxDevice* d = usable(h, D2xxRole::Rate, status);
        if (!d) return status;
        if (d->refusedRates.count(bitsPerSecond)) return transport::kD2xxRateRefused;
        d->lineRate = bitsPerSecond;
        record(*d, {D2xxRole::Rate, bitsPerSecond});
        return kOk;
    }

    static uint32_t ZS_D2XX_API queue(FtHandle h, uint32_t* waiting) {
        Lock lock(sim().mutex_);
        uint32_t status;
        SimD2xxDevice* d = usable(h, D2xxRole::Queue, status);
        if (d && d->onPoll) d->onPoll(*d);
        if (waiting) *waiting = d ? static_cast<uint32_t>(d->input.size()) : 0;
        return status;
    }

    // Moves the bytes of a transfer: a write appends to the log (and tells the instrument),
    // a read takes what is queued, up to the length.
    static uint32_t complete(SimD2xxDevice& d, bool isWrite, uint8_t* buffer, uint32_t length) {
        if (isWrite) {
            d.written.insert(d.written.end(), buffer, buffer + length);
            if (d.onWrite) d.onWrite(d, buffer, length);
            return length;
        }
        if (d.onPoll) d.onPoll(d);
        const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(d.input.size()));
        std::copy_n(d.input.begin(), n, buffer);
        d.input.erase(d.input.begin(), d.input.begin() + n);
        return n;
    }

    static int32_t transfer(FtHandle h, bool isWrite, void* buffer, uint32_t length,
                            uint32_t* transferred, void* overlapped) {
        Lock lock(sim().mutex_);
        if (transferred) *transferred = 0;
        SimD2xx::Handle* hd = handle(h);
        if (!hd) return 0;
        SimD2xxDevice& d = *hd->device;
        (isWrite ? d.writeCalls : d.readCalls)++;
        // A new transfer replaces one left pending: the simulated device has one channel.
        hd->hasPending = false;
        if (!d.present || fails(d, isWrite ? D2xxRole::Write : D2xxRole::Read) ||
            (length && !buffer)) {
            hd->lastError = kErrorGenFailure;
            return 0;
        }
        const Completion mode = isWrite ? d.writeCompletion : d.readCompletion;
        if (mode == Completion::Immediate || !overlapped) {
            const uint32_t n = complete(d, isWrite, static_cast<uint8_t*>(buffer), length);
            if (transferred) *transferred = n;
            return 1;
        }
        hd->hasPending = true;
        hd->pending = SimD2xx::Pending{overlapped,
                                       isWrite,
                                       static_cast<uint8_t*>(buffer),
                                       length,
                                       d.pendingResultCalls,
                                       mode == Completion::Stuck};
        hd->lastError = kErrorPending;
        return 0;
    }

    static int32_t ZS_D2XX_API write(FtHandle h, void* buffer, uint32_t length,
                                     uint32_t* transferred, void* overlapped) {
        return transfer(h, true, buffer, length, transferred, overlapped);
    }
    static int32_t ZS_D2XX_API read(FtHandle h, void* buffer, uint32_t length,
                                    uint32_t* transferred, void* overlapped) {
        return transfer(h, false, buffer, length, transferred, overlapped);
    }

    static uint32_t ZS_D2XX_API lastError(FtHandle h) {
        Lock lock(sim().mutex_);
        SimD2xx::Handle* hd = handle(h);
        if (!hd) return kInvalidParameter;
        hd->device->lastErrorCalls++;
        return hd->lastError;
    }

    static int32_t ZS_D2XX_API result(FtHandle h, void* overlapped, uint32_t* transferred,
                                      int32_t wait) {
        Lock lock(sim().mutex_);
        if (transferred) *transferred = 0;
        SimD2xx::Handle* hd = handle(h);
        if (!hd) return 0;
        SimD2xxDevice& d = *hd->device;
        d.resultCalls++;
        if (!hd->hasPending || hd->pending.overlapped != overlapped || !d.present) {
            hd->lastError = d.present ? kInvalidParameter : kErrorGenFailure;
            return 0;
        }
        SimD2xx::Pending& p = hd->pending;
        if (p.stuck || (!wait && p.remaining > 1)) {
            if (!p.stuck) --p.remaining;
            hd->lastError = kErrorIncomplete;
            return 0;
        }
        hd->hasPending = false;
        const uint32_t n = complete(d, p.isWrite, p.buffer, p.length);
        if (transferred) *transferred = n;
        return 1;
    }
};

SimD2xx& SimD2xx::instance() {
    // Never destroyed: at process exit the library may unload after this module and still
    // close what it holds, as it would with the vendor's driver.
    static SimD2xx& sim = *new SimD2xx;
    return sim;
}

void SimD2xx::reset() {
    std::lock_guard lock(mutex_);
    handles_.clear();
    devices_.clear();
}

SimD2xxDevice& SimD2xx::addDevice(const std::string& serial, const std::string& description) {
    std::lock_guard lock(mutex_);
    devices_.push_back(std::make_unique<SimD2xxDevice>(serial, description));
    return *devices_.back();
}

SimD2xxDevice* SimD2xx::find(const std::string& serial) {
    std::lock_guard lock(mutex_);
    for (auto& d : devices_)
        if (d->serial == serial) return d.get();
    return nullptr;
}

const transport::D2xxApi& SimD2xx::table() {
    using C = SimD2xxCalls;
    static const transport::D2xxApi api{
        C::listDevices, C::listDevices, C::createFile, C::programRead, C::closeHandle,
        C::flow,        C::getLine,     C::setLine,    C::chars,       C::rate,
        C::queue,       C::write,       C::read,       C::lastError,   C::result,
        C::lineLow,     C::lineHigh,    C::bitMode,    C::resetDevice};
    return api;
}

} // namespace zs::sim
