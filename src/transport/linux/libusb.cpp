#include "transport/linux/libusb.h"

#include "platform/dynlib.h"
#include "platform/overlapped.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace zs::transport {
namespace {

constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorSemTimeout = 121;
constexpr uint32_t kErrorOperationAborted = 995;
constexpr uint32_t kErrorDeviceNotConnected = 1167;
// How long freeing an interface waits for libusb to hand back the transfers it withdrew.
constexpr auto kWithdrawWait = std::chrono::milliseconds(1000);
constexpr long kEventTurnUs = 100000;

// One interface of the instrument class, found by the enumeration.
struct Found {
    uint8_t bus, address, interfaceNumber;
    uint16_t vendor, product;
};

std::u16string pathOf(const Found& f) {
    char text[64];
    std::snprintf(text, sizeof text, "usb:%03u:%03u:%u:%04x:%04x", f.bus, f.address,
                  f.interfaceNumber, f.vendor, f.product);
    return std::u16string(text, text + std::char_traits<char>::length(text));
}

std::optional<Found> parsePath(const std::u16string& path) {
    const std::string text(path.begin(), path.end());
    unsigned bus = 0, address = 0, number = 0, vendor = 0, product = 0;
    if (std::sscanf(text.c_str(), "usb:%u:%u:%u:%x:%x", &bus, &address, &number, &vendor,
                    &product) != 5)
        return std::nullopt;
    return Found{static_cast<uint8_t>(bus), static_cast<uint8_t>(address),
                 static_cast<uint8_t>(number), static_cast<uint16_t>(vendor),
                 static_cast<uint16_t>(product)};
}

struct Pipe {
    uint8_t id, attributes, interval;
    uint16_t maxPacket;
};

// The interface's pipes when it is of the vendor class and has the instruments' two bulk
// pipes (commands out on 0x06, data in on 0x85); nothing otherwise.
std::optional<std::vector<Pipe>> instrumentPipes(const libusb_interface_descriptor& d) {
    if (d.bInterfaceClass != usb::kVendorClass) return std::nullopt;
    std::vector<Pipe> pipes;
    bool out = false, in = false;
    for (int e = 0; e < d.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = d.endpoint[e];
        pipes.push_back({ep.bEndpointAddress, ep.bmAttributes, ep.bInterval, ep.wMaxPacketSize});
        const bool bulk = (ep.bmAttributes & 3) == usb::kTransferTypeBulk;
        out |= bulk && ep.bEndpointAddress == kWinUsbOutPipe;
        in |= bulk && ep.bEndpointAddress == kWinUsbInPipe;
    }
    if (!out || !in) return std::nullopt;
    return pipes;
}

struct Interface;

// A transfer posted on an overlapped block.
struct Transfer {
    libusb_transfer* usb = nullptr;
    Interface* owner = nullptr;
    void* block = nullptr;
    uint8_t pipe = 0;
    bool done = false;
};

struct File {
    libusb_device_handle* handle = nullptr;
    uint8_t interfaceNumber = 0;
    std::vector<Pipe> pipes;
};

struct Interface {
    File* file = nullptr;
    std::mutex mutex;
    std::condition_variable completed;
    std::map<void*, Transfer*> transfers; // by block: a block carries one transfer
};

// The process's libusb session: the context, and the thread that runs libusb's events (the
// completions of the transfers) while any device file is open.
struct Session {
    const LibUsb* f = nullptr;
    libusb_context* ctx = nullptr;
    std::mutex mutex;     // the sets
    std::mutex lifecycle; // opening and closing files, which start and end the event thread
    int openFiles = 0;
    std::atomic<bool> stopping{false};
    std::thread events;
    std::set<File*> files;
    std::set<Interface*> interfaces;

    void startEvents() {
        stopping = false;
        events = std::thread([this] {
            while (!stopping) {
                libusb_timeval turn{0, kEventTurnUs};
                f->libusb_handle_events_timeout_completed(ctx, &turn, nullptr);
            }
        });
    }
    void stopEvents() {
        stopping = true;
        if (f->libusb_interrupt_event_handler) f->libusb_interrupt_event_handler(ctx);
        events.join();
    }

    // Goes when the library is unloaded; a host that left a device open is not waited on
    // past its event thread.
    ~Session() {
        if (events.joinable()) stopEvents();
        f->libusb_exit(ctx);
    }
};

std::mutex g_sessionMutex;
std::atomic<Session*> g_session{nullptr};
// Every session made: one for the process, and for tests one per set of functions, kept
// while a transfer of an earlier one may still be running.
std::vector<std::unique_ptr<Session>> g_sessions;

Session& session() {
    return *g_session.load(std::memory_order_acquire);
}

// The block's event is set under the interface's lock: until the lock is released nobody can
// collect the transfer, so the block and its event are still there.
void onCompleted(libusb_transfer* usb) {
    auto* t = static_cast<Transfer*>(usb->user_data);
    Interface& i = *t->owner;
    std::lock_guard lock(i.mutex);
    t->done = true;
    platform::signalOverlapped(t->block);
    i.completed.notify_all();
}

File* fileOf(void* handle) {
    std::lock_guard lock(session().mutex);
    auto* f = static_cast<File*>(handle);
    return session().files.count(f) ? f : nullptr;
}

// The interface of a handle the binding gave out; null (and the invalid-handle error) for
// any other.
Interface* interfaceOf(void* handle) {
    std::lock_guard lock(session().mutex);
    auto* i = static_cast<Interface*>(handle);
    if (session().interfaces.count(i)) return i;
    platform::setLastSystemError(kErrorInvalidHandle);
    return nullptr;
}

void* openSet(const InterfaceClassGuid& cls) {
    auto* found = new std::vector<Found>;
    if (std::memcmp(&cls, &kInstrumentInterfaceClass, sizeof cls) != 0) return found;
    const LibUsb& f = *session().f;
    libusb_device** list = nullptr;
    const ssize_t n = f.libusb_get_device_list(session().ctx, &list);
    for (ssize_t d = 0; d < n; ++d) {
        libusb_device_descriptor device{};
        libusb_config_descriptor* config = nullptr;
        if (f.libusb_get_device_descriptor(list[d], &device) < 0 ||
            f.libusb_get_active_config_descriptor(list[d], &config) < 0 || !config)
            continue;
        for (int i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface& iface = config->interfaces[i];
            if (iface.num_altsetting < 1 || !instrumentPipes(iface.altsetting[0])) continue;
            found->push_back(
                {f.libusb_get_bus_number(list[d]), f.libusb_get_device_address(list[d]),
                 iface.altsetting[0].bInterfaceNumber, device.idVendor, device.idProduct});
        }
        f.libusb_free_config_descriptor(config);
    }
    if (list) f.libusb_free_device_list(list, 1);
    return found;
}

uint32_t interfacePath(void* set, uint32_t index, std::u16string* path) {
    const auto* found = static_cast<std::vector<Found>*>(set);
    if (!found || index >= found->size()) return kNoMoreItems;
    if (path) *path = pathOf((*found)[index]);
    return 0;
}

void closeSet(void* set) {
    delete static_cast<std::vector<Found>*>(set);
}

// Opens the device of the path, with the pipes of its interface.
void* openFile(const std::u16string& path) {
    const auto wanted = parsePath(path);
    if (!wanted) return kInvalidFile;
    Session& s = session();
    const LibUsb& f = *s.f;
    libusb_device** list = nullptr;
    const ssize_t n = f.libusb_get_device_list(s.ctx, &list);
    File* file = nullptr;
    for (ssize_t d = 0; d < n && !file; ++d) {
        if (f.libusb_get_bus_number(list[d]) != wanted->bus ||
            f.libusb_get_device_address(list[d]) != wanted->address)
            continue;
        libusb_config_descriptor* config = nullptr;
        if (f.libusb_get_active_config_descriptor(list[d], &config) < 0 || !config) break;
        std::optional<std::vector<Pipe>> pipes;
        for (int i = 0; i < config->bNumInterfaces && !pipes; ++i) {
            const libusb_interface& iface = config->interfaces[i];
            if (iface.num_altsetting > 0 &&
                iface.altsetting[0].bInterfaceNumber == wanted->interfaceNumber)
                pipes = instrumentPipes(iface.altsetting[0]);
        }
        f.libusb_free_config_descriptor(config);
        libusb_device_handle* handle = nullptr;
        if (!pipes || f.libusb_open(list[d], &handle) < 0) break;
        file = new File{handle, wanted->interfaceNumber, std::move(*pipes)};
    }
    if (list) f.libusb_free_device_list(list, 1);
    if (!file) return kInvalidFile;
    std::lock_guard life(s.lifecycle);
    {
        std::lock_guard lock(s.mutex);
        s.files.insert(file);
    }
    if (s.openFiles++ == 0) s.startEvents();
    return file;
}

void closeFile(void* handle) {
    File* file = fileOf(handle);
    if (!file) return;
    Session& s = session();
    s.f->libusb_close(file->handle);
    std::lock_guard life(s.lifecycle);
    {
        std::lock_guard lock(s.mutex);
        s.files.erase(file);
    }
    if (--s.openFiles == 0) s.stopEvents();
    delete file;
}

// Claims the interface, first taking it from a kernel driver that has bound it.
int32_t initialize(void* fileHandle, void** interfaceHandle) {
    File* file = fileOf(fileHandle);
    if (!file || !interfaceHandle) {
        platform::setLastSystemError(kErrorInvalidHandle);
        return 0;
    }
    const LibUsb& f = *session().f;
    if (f.libusb_kernel_driver_active(file->handle, file->interfaceNumber) == 1)
        f.libusb_detach_kernel_driver(file->handle, file->interfaceNumber);
    if (f.libusb_claim_interface(file->handle, file->interfaceNumber) < 0) {
        platform::setLastSystemError(kErrorGenFailure);
        return 0;
    }
    auto* i = new Interface;
    i->file = file;
    std::lock_guard lock(session().mutex);
    session().interfaces.insert(i);
    *interfaceHandle = i;
    return 1;
}

// Withdraws what is still out and waits (bounded) until libusb has handed it back, then
// gives the interface up.
int32_t freeInterface(void* interfaceHandle) {
    Interface* i = interfaceOf(interfaceHandle);
    if (!i) return 0;
    const LibUsb& f = *session().f;
    {
        std::unique_lock lock(i->mutex);
        for (auto& [block, t] : i->transfers)
            if (!t->done) f.libusb_cancel_transfer(t->usb);
        const bool back = i->completed.wait_for(lock, kWithdrawWait, [&] {
            return std::all_of(i->transfers.begin(), i->transfers.end(),
                               [](const auto& entry) { return entry.second->done; });
        });
        if (!back) return 0; // libusb still holds them: the interface must stay
        for (auto& [block, t] : i->transfers) {
            f.libusb_free_transfer(t->usb);
            delete t;
        }
        i->transfers.clear();
    }
    f.libusb_release_interface(i->file->handle, i->file->interfaceNumber);
    {
        std::lock_guard lock(session().mutex);
        session().interfaces.erase(i);
    }
    delete i;
    return 1;
}

uint32_t failureOf(int status) {
    switch (status) {
    case usb::kCancelled:
        return kErrorOperationAborted;
    case usb::kTimedOut:
        return kErrorSemTimeout;
    case usb::kNoDevice:
        return kErrorDeviceNotConnected;
    default:
        return kErrorGenFailure;
    }
}

// The transfer posted on `block`: its count once it is over (and it is forgotten), else 996.
int32_t overlappedResult(void* interfaceHandle, void* block, uint32_t* transferred, int32_t wait) {
    if (transferred) *transferred = 0;
    Interface* i = interfaceOf(interfaceHandle);
    if (!i) return 0;
    const LibUsb& f = *session().f;
    std::unique_lock lock(i->mutex);
    auto at = i->transfers.find(block);
    if (at == i->transfers.end()) {
        platform::setLastSystemError(kErrorInvalidParameter);
        return 0;
    }
    Transfer* t = at->second;
    if (wait) i->completed.wait(lock, [&] { return t->done; });
    if (!t->done) {
        platform::setLastSystemError(platform::kErrorIoIncomplete);
        return 0;
    }
    i->transfers.erase(at);
    lock.unlock();
    const int status = t->usb->status;
    const int count = t->usb->actual_length;
    if (status == usb::kStall) f.libusb_clear_halt(i->file->handle, t->pipe);
    f.libusb_free_transfer(t->usb);
    delete t;
    if (status != usb::kCompleted) {
        platform::setLastSystemError(failureOf(status));
        return 0;
    }
    if (transferred) *transferred = static_cast<uint32_t>(count);
    return 1;
}

// WinUSB's defaults are libusb's: no time-out (the callers wait with their stop event and
// withdraw), no zero-length packet after a write that fills its last packet, and partial
// reads allowed. A pipe that stalls is cleared before its failure is reported, so the next
// transfer on it can run.
int32_t post(void* interfaceHandle, uint8_t pipe, uint8_t* buffer, uint32_t length,
             uint32_t* transferred, void* block) {
    if (transferred) *transferred = 0;
    Interface* i = interfaceOf(interfaceHandle);
    if (!i) return 0;
    const LibUsb& f = *session().f;
    auto* t = new Transfer;
    t->usb = f.libusb_alloc_transfer(0);
    t->owner = i;
    t->block = block;
    t->pipe = pipe;
    if (!t->usb) {
        delete t;
        platform::setLastSystemError(kErrorGenFailure);
        return 0;
    }
    libusb_transfer& u = *t->usb;
    u.dev_handle = i->file->handle;
    u.flags = 0;
    u.endpoint = pipe;
    u.type = usb::kTransferTypeBulk;
    u.timeout = 0;
    u.buffer = buffer;
    u.length = static_cast<int>(length);
    u.actual_length = 0;
    u.callback = onCompleted;
    u.user_data = t;
    u.num_iso_packets = 0;
    std::unique_lock lock(i->mutex);
    if (auto old = i->transfers.find(block); old != i->transfers.end()) {
        // A finished transfer nobody collected; one still out stays the block's.
        if (!old->second->done) {
            lock.unlock();
            f.libusb_free_transfer(t->usb);
            delete t;
            platform::setLastSystemError(kErrorInvalidParameter);
            return 0;
        }
        f.libusb_free_transfer(old->second->usb);
        delete old->second;
        i->transfers.erase(old);
    }
    const int r = f.libusb_submit_transfer(t->usb);
    if (r < 0) {
        lock.unlock();
        f.libusb_free_transfer(t->usb);
        delete t;
        platform::setLastSystemError(r == usb::kErrorNoDevice ? kErrorDeviceNotConnected
                                                              : kErrorGenFailure);
        return 0;
    }
    i->transfers[block] = t;
    if (block) {
        platform::setLastSystemError(platform::kErrorIoPending);
        return 0;
    }
    // Without a block the call is synchronous.
    i->completed.wait(lock, [&] { return t->done; });
    lock.unlock();
    uint32_t count = 0;
    const int32_t ok = overlappedResult(interfaceHandle, nullptr, &count, 0);
    if (transferred) *transferred = count;
    return ok;
}

// WINUSB_PIPE_INFORMATION: the pipe type numbers are the endpoint's transfer types.
struct PipeInformation {
    int32_t pipeType;
    uint8_t pipeId;
    uint16_t maximumPacketSize;
    uint8_t interval;
};

int32_t queryPipe(void* interfaceHandle, uint8_t altSetting, uint8_t pipeIndex, void* information) {
    Interface* i = interfaceOf(interfaceHandle);
    if (!i) return 0;
    if (altSetting != 0 || pipeIndex >= i->file->pipes.size() || !information) {
        platform::setLastSystemError(kErrorInvalidParameter);
        return 0;
    }
    const Pipe& p = i->file->pipes[pipeIndex];
    auto* out = static_cast<PipeInformation*>(information);
    out->pipeType = p.attributes & 3;
    out->pipeId = p.id;
    out->maximumPacketSize = p.maxPacket;
    out->interval = p.interval;
    return 1;
}

int32_t abortPipe(void* interfaceHandle, uint8_t pipe) {
    Interface* i = interfaceOf(interfaceHandle);
    if (!i) return 0;
    std::lock_guard lock(i->mutex);
    for (auto& [block, t] : i->transfers)
        if (t->pipe == pipe && !t->done) session().f->libusb_cancel_transfer(t->usb);
    return 1;
}

} // namespace

std::optional<LibUsb> bindLibUsb(const char* fileName) {
    auto lib = platform::openVendorLibrary(fileName);
    if (!lib) return std::nullopt;
    LibUsb f;
#define ZS_BIND(name) lib->bind(#name, f.name)
    const bool ok =
        ZS_BIND(libusb_init) && ZS_BIND(libusb_exit) && ZS_BIND(libusb_get_device_list) &&
        ZS_BIND(libusb_free_device_list) && ZS_BIND(libusb_get_device_descriptor) &&
        ZS_BIND(libusb_get_active_config_descriptor) && ZS_BIND(libusb_free_config_descriptor) &&
        ZS_BIND(libusb_get_bus_number) && ZS_BIND(libusb_get_device_address) &&
        ZS_BIND(libusb_open) && ZS_BIND(libusb_close) && ZS_BIND(libusb_kernel_driver_active) &&
        ZS_BIND(libusb_detach_kernel_driver) && ZS_BIND(libusb_claim_interface) &&
        ZS_BIND(libusb_release_interface) && ZS_BIND(libusb_alloc_transfer) &&
        ZS_BIND(libusb_free_transfer) && ZS_BIND(libusb_submit_transfer) &&
        ZS_BIND(libusb_cancel_transfer) && ZS_BIND(libusb_handle_events_timeout_completed) &&
        ZS_BIND(libusb_clear_halt);
    ZS_BIND(libusb_interrupt_event_handler);
#undef ZS_BIND
    if (!ok) return std::nullopt;
    lib->keepLoaded();
    return f;
}

std::optional<WinUsbApi> winUsbOnLibUsb(const LibUsb& functions) {
    {
        std::lock_guard lock(g_sessionMutex);
        Session* current = g_session.load();
        if (!current || current->f != &functions) {
            libusb_context* ctx = nullptr;
            if (functions.libusb_init(&ctx) < 0) return std::nullopt;
            auto made = std::make_unique<Session>();
            made->f = &functions;
            made->ctx = ctx;
            g_session.store(made.get(), std::memory_order_release);
            g_sessions.push_back(std::move(made));
        }
    }
    WinUsbApi api;
    api.initialize = initialize;
    api.free = freeInterface;
    api.readPipe = post; // the pipe says which way
    api.overlappedResult = overlappedResult;
    api.writePipe = post;
    api.queryPipe = queryPipe;
    api.abortPipe = abortPipe;
    api.bound = 1;
    api.openInterfaceSet = openSet;
    api.interfacePath = interfacePath;
    api.closeInterfaceSet = closeSet;
    api.openFile = openFile;
    api.closeFile = closeFile;
    return api;
}

} // namespace zs::transport
