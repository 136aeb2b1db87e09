#include "sim_winusb.h"

#include "platform/overlapped.h"

#include <algorithm>
#include <cstring>

namespace zs::sim {
namespace {
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorOperationAborted = 995;

struct Set {
    std::vector<SimWinUsbDevice*> devices;
};

bool sameGuid(const transport::InterfaceClassGuid& a, const transport::InterfaceClassGuid& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}
} // namespace

struct SimWinUsbCalls {
    // A device file and an interface handle both point at the device; they are told apart by
    // the tag, so a file handle passed as an interface handle is refused.
    using Handle = SimWinUsb::Handle;
    using Lock = std::lock_guard<std::recursive_mutex>;
    static SimWinUsb& sim() { return SimWinUsb::instance(); }

    static bool fails(const SimWinUsbDevice& d, WinUsbCall c) {
        return !d.present || (d.failingCalls & winUsbBit(c));
    }

    static bool known(SimWinUsbDevice* d) {
        for (auto& p : sim().devices_)
            if (p.get() == d) return true;
        return false;
    }

    static SimWinUsbDevice* device(void* h, bool isInterface) {
        Handle* handle = nullptr;
        for (auto& p : sim().handles_)
            if (p.get() == h) handle = p.get();
        if (!handle || handle->isInterface != isInterface || !known(handle->device)) return nullptr;
        return handle->device;
    }

    static void* openSet(const transport::InterfaceClassGuid& cls) {
        Lock lock(sim().mutex_);
        auto* set = new Set;
        if (sameGuid(cls, transport::kInstrumentInterfaceClass))
            for (auto& d : sim().devices_)
                if (d->present) set->devices.push_back(d.get());
        return set;
    }

    static uint32_t interfacePath(void* set, uint32_t index, std::u16string* path) {
        Lock lock(sim().mutex_);
        auto* s = static_cast<Set*>(set);
        if (!s || index >= s->devices.size()) return transport::kNoMoreItems;
        SimWinUsbDevice* d = s->devices[index];
        if (!known(d) || fails(*d, WinUsbCall::Enumerate)) return kErrorGenFailure;
        if (path) *path = d->path;
        return 0;
    }

    static void closeSet(void* set) { delete static_cast<Set*>(set); }

    static void* openFile(const std::u16string& path) {
        Lock lock(sim().mutex_);
        for (auto& d : sim().devices_) {
            if (d->path != path) continue;
            if (fails(*d, WinUsbCall::Open)) return transport::kInvalidFile;
            d->fileOpens++;
            return sim().newHandle(d.get(), false);
        }
        return transport::kInvalidFile;
    }

    static void closeFile(void* file) {
        Lock lock(sim().mutex_);
        SimWinUsbDevice* d = device(file, false);
        if (!d) return;
        d->fileCloses++;
        sim().dropHandle(file);
    }

    static int32_t ZS_WINAPI initialize(void* file, void** interfaceHandle) {
        Lock lock(sim().mutex_);
        SimWinUsbDevice* d = device(file, false);
        if (!d || !interfaceHandle || fails(*d, WinUsbCall::Initialize)) {
            platform::setLastSystemError(kErrorGenFailure);
            return 0;
        }
        d->initializeCalls++;
        d->initialized = true;
        *interfaceHandle = sim().newHandle(d, true);
        return 1;
    }

    static int32_t ZS_WINAPI free(void* interfaceHandle) {
        Lock lock(sim().mutex_);
        SimWinUsbDevice* d = device(interfaceHandle, true);
        if (!d) return 0;
        d->freeCalls++;
        d->initialized = false;
        // Freeing the interface ends its transfers; one still in progress is counted.
        for (bool out :
             {d->pendingRead && !d->pendingRead->done, d->pendingStatus && !d->pendingStatus->done,
              d->pendingWrite && !d->pendingWrite->done})
            if (out) ++d->abandonedTransfers;
        d->pendingRead.reset();
        d->pendingStatus.reset();
        d->pendingWrite.reset();
        sim().dropHandle(interfaceHandle);
        return 1;
    }

    static void deliverFrom(std::unique_ptr<SimWinUsbDevice::PendingRead>& p,
                            std::deque<std::vector<uint8_t>>& queue) {
        if (!p || p->done || queue.empty()) return;
        auto& transfer = queue.front();
        p->count = std::min<uint32_t>(p->length, static_cast<uint32_t>(transfer.size()));
        std::memcpy(p->buffer, transfer.data(), p->count);
        queue.pop_front();
        p->done = true;
        platform::signalOverlapped(p->block);
    }
    static void deliver(SimWinUsbDevice& d) { deliverFrom(d.pendingRead, d.input); }
    static void deliverStatus(SimWinUsbDevice& d) {
        if (d.pendingStatus && !d.pendingStatus->done && d.statusInput.empty() && d.statusSource) {
            auto status = d.statusSource(d);
            if (!status.empty()) d.statusInput.push_back(std::move(status));
        }
        deliverFrom(d.pendingStatus, d.statusInput);
    }

    static int32_t ZS_WINAPI writePipe(void* iface, uint8_t pipe, uint8_t* buffer, uint32_t length,
                                       uint32_t* transferred, void* overlapped) {
        Lock lock(sim().mutex_);
        if (transferred) *transferred = 0;
        SimWinUsbDevice* d = device(iface, true);
        if (!d) {
            platform::setLastSystemError(kErrorInvalidHandle);
            return 0;
        }
        const bool output = pipe == transport::kWinUsbSignalOutPipe;
        if (fails(*d, WinUsbCall::Write) || (pipe != transport::kWinUsbOutPipe && !output)) {
            platform::setLastSystemError(kErrorGenFailure);
            return 0;
        }
        d->pipesUsed.push_back(pipe);
        if (d->pendingWrite && d->pendingWrite->pipe == pipe) ++d->postsOnBusyPipe;
        if (d->writeMode == WinUsbWrite::Stuck) {
            d->pendingWrite = std::make_unique<SimWinUsbDevice::PendingWrite>();
            d->pendingWrite->block = overlapped;
            d->pendingWrite->pipe = pipe;
            platform::setLastSystemError(platform::kErrorIoPending);
            return 0;
        }
        if (output) {
            d->output.emplace_back(buffer, buffer + length);
        } else {
            d->written.emplace_back(buffer, buffer + length);
            if (d->onWrite) d->onWrite(*d, buffer, length);
        }
        if (d->writeMode == WinUsbWrite::Immediate || !overlapped) {
            if (transferred) *transferred = length;
            return 1;
        }
        d->pendingWrite = std::make_unique<SimWinUsbDevice::PendingWrite>();
        d->pendingWrite->block = overlapped;
        d->pendingWrite->pipe = pipe;
        d->pendingWrite->done = true;
        d->pendingWrite->count = length;
        platform::signalOverlapped(overlapped);
        platform::setLastSystemError(platform::kErrorIoPending);
        return 0;
    }

    static int32_t ZS_WINAPI readPipe(void* iface, uint8_t pipe, uint8_t* buffer, uint32_t length,
                                      uint32_t* transferred, void* overlapped) {
        Lock lock(sim().mutex_);
        if (transferred) *transferred = 0;
        SimWinUsbDevice* d = device(iface, true);
        if (!d) {
            platform::setLastSystemError(kErrorInvalidHandle);
            return 0;
        }
        const bool status = pipe == transport::kWinUsbStatusPipe;
        if (fails(*d, WinUsbCall::Read) || (pipe != transport::kWinUsbInPipe && !status) ||
            !overlapped) {
            platform::setLastSystemError(kErrorGenFailure);
            return 0;
        }
        d->pipesUsed.push_back(pipe);
        if (status ? d->pendingStatus : d->pendingRead) ++d->postsOnBusyPipe;
        auto& queue = status ? d->statusInput : d->input;
        if (d->readsCompleteAtOnce && status && queue.empty() && d->statusSource) {
            auto next = d->statusSource(*d);
            if (!next.empty()) queue.push_back(std::move(next));
        }
        if (d->readsCompleteAtOnce && !queue.empty()) {
            if (status) ++d->statusReads;
            auto& transfer = queue.front();
            const auto n = std::min<uint32_t>(length, static_cast<uint32_t>(transfer.size()));
            std::memcpy(buffer, transfer.data(), n);
            queue.pop_front();
            if (transferred) *transferred = n;
            platform::signalOverlapped(overlapped);
            return 1;
        }
        auto& pending = status ? d->pendingStatus : d->pendingRead;
        pending = std::make_unique<SimWinUsbDevice::PendingRead>();
        pending->block = overlapped;
        pending->buffer = buffer;
        pending->length = length;
        // Data already waiting still completes through the overlapped record, as WinUSB does.
        if (status) {
            ++d->statusReads;
            deliverStatus(*d);
        } else {
            deliver(*d);
        }
        platform::setLastSystemError(platform::kErrorIoPending);
        return 0;
    }

    static int32_t ZS_WINAPI overlappedResult(void* iface, void* overlapped, uint32_t* transferred,
                                              int32_t) {
        Lock lock(sim().mutex_);
        if (transferred) *transferred = 0;
        SimWinUsbDevice* d = device(iface, true);
        if (!d || !d->present) {
            platform::setLastSystemError(kErrorGenFailure);
            return 0;
        }
        // The read or write posted on this block: its count once done, and it is forgotten.
        int32_t result = -1;
        auto collect = [&](auto& pending) {
            if (result >= 0 || !pending || pending->block != overlapped) return;
            if (!pending->done) {
                platform::setLastSystemError(platform::kErrorIoIncomplete);
                result = 0;
                return;
            }
            if (pending->aborted) {
                pending.reset();
                platform::setLastSystemError(kErrorOperationAborted);
                result = 0;
                return;
            }
            if (transferred) *transferred = pending->count;
            pending.reset();
            result = 1;
        };
        collect(d->pendingRead);
        collect(d->pendingStatus);
        collect(d->pendingWrite);
        if (result >= 0) return result;
        platform::setLastSystemError(kErrorGenFailure);
        return 0;
    }

    static int32_t ZS_WINAPI queryPipe(void*, uint8_t, uint8_t, void*) { return 0; }

    static int32_t ZS_WINAPI abortPipe(void* iface, uint8_t pipe) {
        Lock lock(sim().mutex_);
        SimWinUsbDevice* d = device(iface, true);
        if (!d) {
            platform::setLastSystemError(kErrorInvalidHandle);
            return 0;
        }
        d->abortCalls++;
        // Each transfer still in progress on the pipe completes, aborted.
        auto abort = [](auto& pending) {
            if (!pending || pending->done) return;
            pending->done = pending->aborted = true;
            pending->count = 0;
            platform::signalOverlapped(pending->block);
        };
        if (pipe == transport::kWinUsbInPipe) abort(d->pendingRead);
        if (pipe == transport::kWinUsbStatusPipe) abort(d->pendingStatus);
        if (d->pendingWrite && d->pendingWrite->pipe == pipe) abort(d->pendingWrite);
        return 1;
    }
};

bool SimWinUsbDevice::transferOut(uint8_t pipe) const {
    std::lock_guard lock(SimWinUsb::instance().mutex());
    if (pipe == transport::kWinUsbInPipe) return pendingRead != nullptr;
    if (pipe == transport::kWinUsbStatusPipe) return pendingStatus != nullptr;
    return pendingWrite && pendingWrite->pipe == pipe;
}

SimWinUsb& SimWinUsb::instance() {
    static SimWinUsb sim;
    return sim;
}

void SimWinUsb::reset() {
    std::lock_guard lock(mutex_);
    handles_.clear();
    devices_.clear();
}

void* SimWinUsb::newHandle(SimWinUsbDevice* device, bool isInterface) {
    handles_.push_back(std::make_unique<Handle>(Handle{device, isInterface}));
    return handles_.back().get();
}

bool SimWinUsb::dropHandle(void* handle) {
    for (auto it = handles_.begin(); it != handles_.end(); ++it) {
        if (it->get() != handle) continue;
        handles_.erase(it);
        return true;
    }
    return false;
}

SimWinUsbDevice& SimWinUsb::addDevice(const std::u16string& path) {
    std::lock_guard lock(mutex_);
    devices_.push_back(std::make_unique<SimWinUsbDevice>(path));
    return *devices_.back();
}

SimWinUsbDevice* SimWinUsb::find(const std::u16string& path) {
    std::lock_guard lock(mutex_);
    for (auto& d : devices_)
        if (d->path == path) return d.get();
    return nullptr;
}

void SimWinUsb::queueInput(SimWinUsbDevice& device, std::vector<uint8_t> transfer) {
    std::lock_guard lock(mutex_);
    device.input.push_back(std::move(transfer));
    SimWinUsbCalls::deliver(device);
}

void SimWinUsb::queueStatus(SimWinUsbDevice& device, std::vector<uint8_t> transfer) {
    std::lock_guard lock(mutex_);
    device.statusInput.push_back(std::move(transfer));
    SimWinUsbCalls::deliverStatus(device);
}

const transport::WinUsbApi& SimWinUsb::table() {
    using C = SimWinUsbCalls;
    static const transport::WinUsbApi api = [] {
        transport::WinUsbApi a;
        a.initialize = C::initialize;
        a.free = C::free;
        a.readPipe = C::readPipe;
        a.overlappedResult = C::overlappedResult;
        a.writePipe = C::writePipe;
        a.queryPipe = C::queryPipe;
        a.abortPipe = C::abortPipe;
        a.bound = 1;
        a.openInterfaceSet = C::openSet;
        a.interfacePath = C::interfacePath;
        a.closeInterfaceSet = C::closeSet;
        a.openFile = C::openFile;
        a.closeFile = C::closeFile;
        return a;
    }();
    return api;
}

} // namespace zs::sim
