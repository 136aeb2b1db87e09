#ifndef _WIN32
#include "sim_libusb.h"

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/overlapped.h"
#include "sim_winusb.h"

#include <algorithm>
#include <cstddef>
#include <map>
#include <mutex>
#include <set>
#include <vector>

using zs::transport::WinUsbApi;

// A context: the transfers submitted and not yet handed back, and the event that wakes its
// event handling when one is submitted, withdrawn or the handling is interrupted.
struct libusb_context {
    std::mutex mutex;
    std::vector<libusb_transfer*> outstanding;
    zs::platform::Event wake{zs::platform::Event::Reset::Auto};
};

struct libusb_device {
    libusb_context* ctx;
    std::u16string path;
    uint8_t address;
};

struct libusb_device_handle {
    libusb_device device;
    void* file = nullptr;
    void* iface = nullptr;
};

namespace zs::sim {
namespace {

namespace usb = transport::usb;

constexpr int kErrorIo = -1;
constexpr int kErrorAccess = -3;

// A transfer with the overlapped record its WinUSB pipe call is posted on.
struct SimTransfer {
    libusb_transfer usb{};
    platform::Overlapped io;
    bool atOnce = false; // the pipe call completed inside the submit
    uint32_t count = 0;
};

SimTransfer& sim(libusb_transfer* t) {
    return *reinterpret_cast<SimTransfer*>(t);
}

const WinUsbApi& winUsb() {
    return SimWinUsb::table();
}

// Addresses stay with their device for the process, as a plugged device keeps its address.
struct State {
    std::mutex mutex;
    std::map<std::u16string, uint8_t> addresses;
    std::set<std::u16string> kernelDrivers;
    std::set<std::u16string> claimed; // an interface one handle holds, another cannot claim
    std::map<std::u16string, uint32_t> detaches;
};
State& state() {
    static State s;
    return s;
}

uint8_t addressOf(const std::u16string& path) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    auto [at, added] = s.addresses.emplace(path, 0);
    if (added) at->second = static_cast<uint8_t>(1 + (s.addresses.size() - 1) % 127);
    return at->second;
}

int init(libusb_context** ctx) {
    if (!ctx) return kErrorIo;
    *ctx = new libusb_context;
    return 0;
}

void exitContext(libusb_context* ctx) {
    delete ctx;
}

ssize_t getDeviceList(libusb_context* ctx, libusb_device*** list) {
    std::vector<std::u16string> paths;
    void* set = winUsb().openInterfaceSet(transport::kInstrumentInterfaceClass);
    for (uint32_t i = 0; set; ++i) {
        std::u16string path;
        const uint32_t r = winUsb().interfacePath(set, i, &path);
        if (r == transport::kNoMoreItems) break;
        if (r == 0) paths.push_back(path);
    }
    if (set) winUsb().closeInterfaceSet(set);
    *list = new libusb_device*[paths.size() + 1];
    for (size_t i = 0; i < paths.size(); ++i)
        (*list)[i] = new libusb_device{ctx, paths[i], addressOf(paths[i])};
    (*list)[paths.size()] = nullptr;
    return static_cast<ssize_t>(paths.size());
}

void freeDeviceList(libusb_device** list, int) {
    if (!list) return;
    for (libusb_device** d = list; *d; ++d) delete *d;
    delete[] list;
}

int getDeviceDescriptor(libusb_device*, libusb_device_descriptor* d) {
    *d = libusb_device_descriptor{18,     1, 0x0200, 0, 0, 0, 64, kSimUsbVendor, kSimUsbProduct,
                                  0x0100, 1, 2,      3, 1};
    return 0;
}

// One vendor-class interface with the instruments' pipes: commands and data, and in
// raw-signal mode the status and the signal played.
struct Config {
    libusb_endpoint_descriptor endpoints[4] = {
        {7, 5, transport::kWinUsbInPipe, usb::kTransferTypeBulk, 512, 0, 0, 0, nullptr, 0},
        {7, 5, transport::kWinUsbOutPipe, usb::kTransferTypeBulk, 512, 0, 0, 0, nullptr, 0},
        {7, 5, transport::kWinUsbStatusPipe, usb::kTransferTypeBulk, 512, 0, 0, 0, nullptr, 0},
        {7, 5, transport::kWinUsbSignalOutPipe, usb::kTransferTypeBulk, 512, 0, 0, 0, nullptr, 0}};
    libusb_interface_descriptor setting{9, 4, 0, 0,         4,       usb::kVendorClass,
                                        0, 0, 0, endpoints, nullptr, 0};
    libusb_interface iface{&setting, 1};
    libusb_config_descriptor config{9, 2, 9 + 9 + 4 * 7, 1, 1, 0, 0x80, 50, &iface, nullptr, 0};
};

int getActiveConfigDescriptor(libusb_device*, libusb_config_descriptor** config) {
    *config = &(new Config)->config;
    return 0;
}

void freeConfigDescriptor(libusb_config_descriptor* config) {
    if (config)
        delete reinterpret_cast<Config*>(reinterpret_cast<char*>(config) -
                                         offsetof(Config, config));
}

uint8_t busNumber(libusb_device*) {
    return 1;
}
uint8_t deviceAddress(libusb_device* d) {
    return d->address;
}

int openDevice(libusb_device* d, libusb_device_handle** handle) {
    void* file = winUsb().openFile(d->path);
    if (file == transport::kInvalidFile) return kErrorAccess;
    *handle = new libusb_device_handle{*d, file, nullptr};
    return 0;
}

int kernelDriverActive(libusb_device_handle* h, int) {
    std::lock_guard lock(state().mutex);
    return state().kernelDrivers.count(h->device.path) ? 1 : 0;
}

int detachKernelDriver(libusb_device_handle* h, int) {
    std::lock_guard lock(state().mutex);
    if (!state().kernelDrivers.erase(h->device.path)) return usb::kErrorNotFound;
    ++state().detaches[h->device.path];
    return 0;
}

// A kernel driver, or another handle, holds the interface until it lets it go.
int claimInterface(libusb_device_handle* h, int number) {
    if (number != 0) return usb::kErrorNotFound;
    if (h->iface) return 0;
    {
        std::lock_guard lock(state().mutex);
        if (state().kernelDrivers.count(h->device.path) || state().claimed.count(h->device.path))
            return usb::kErrorBusy;
    }
    if (!winUsb().initialize(h->file, &h->iface)) return kErrorIo;
    std::lock_guard lock(state().mutex);
    state().claimed.insert(h->device.path);
    return 0;
}

int releaseInterface(libusb_device_handle* h, int) {
    if (!h->iface) return usb::kErrorNotFound;
    winUsb().free(h->iface);
    h->iface = nullptr;
    std::lock_guard lock(state().mutex);
    state().claimed.erase(h->device.path);
    return 0;
}

void closeDevice(libusb_device_handle* h) {
    if (!h) return;
    if (h->iface) releaseInterface(h, 0);
    winUsb().closeFile(h->file);
    delete h;
}

libusb_transfer* allocTransfer(int) {
    return &(new SimTransfer)->usb;
}

void freeTransfer(libusb_transfer* t) {
    if (t) delete &sim(t);
}

libusb_context* contextOf(libusb_transfer* t) {
    return t->dev_handle->device.ctx;
}

int submitTransfer(libusb_transfer* t) {
    libusb_device_handle* h = t->dev_handle;
    if (!h || !h->iface) return usb::kErrorNotFound;
    SimTransfer& s = sim(t);
    s.io.ensureEvent();
    const auto call = (t->endpoint & 0x80) ? winUsb().readPipe : winUsb().writePipe;
    s.atOnce = call(h->iface, t->endpoint, t->buffer, static_cast<uint32_t>(t->length), &s.count,
                    s.io.system()) != 0;
    if (!s.atOnce && platform::lastSystemError() != platform::kErrorIoPending) return kErrorIo;
    libusb_context* ctx = contextOf(t);
    {
        std::lock_guard lock(ctx->mutex);
        ctx->outstanding.push_back(t);
    }
    ctx->wake.set();
    return 0;
}

int cancelTransfer(libusb_transfer* t) {
    libusb_context* ctx = contextOf(t);
    {
        std::lock_guard lock(ctx->mutex);
        auto& out = ctx->outstanding;
        if (std::find(out.begin(), out.end(), t) == out.end()) return usb::kErrorNotFound;
    }
    winUsb().abortPipe(t->dev_handle->iface, t->endpoint);
    ctx->wake.set();
    return 0;
}

// The state of a submitted transfer: its libusb status once it is over, -1 while it is out.
int statusOf(libusb_transfer* t) {
    SimTransfer& s = sim(t);
    if (s.atOnce) return usb::kCompleted;
    if (winUsb().overlappedResult(t->dev_handle->iface, s.io.system(), &s.count, 0))
        return usb::kCompleted;
    switch (platform::lastSystemError()) {
    case platform::kErrorIoIncomplete:
        return -1;
    case 995: // aborted
        return usb::kCancelled;
    default:
        return usb::kError;
    }
}

// Hands back the transfers that are over, calling their callbacks as libusb does on the
// thread that handles events; waits for one at most the time-out.
int handleEvents(libusb_context* ctx, libusb_timeval* tv, int* completed) {
    const uint32_t limit = tv ? static_cast<uint32_t>(tv->tv_sec * 1000 + tv->tv_usec / 1000)
                              : platform::kWaitInfinite;
    const uint32_t start = platform::tickMs();
    for (;;) {
        std::vector<std::pair<libusb_transfer*, int>> over;
        std::vector<platform::Event*> waits;
        {
            std::lock_guard lock(ctx->mutex);
            auto& out = ctx->outstanding;
            for (auto it = out.begin(); it != out.end();) {
                const int status = statusOf(*it);
                if (status < 0) {
                    waits.push_back(sim(*it).io.ioEvent);
                    ++it;
                } else {
                    over.emplace_back(*it, status);
                    it = out.erase(it);
                }
            }
        }
        for (auto [t, status] : over) {
            t->status = status;
            t->actual_length = status == usb::kCompleted ? static_cast<int>(sim(t).count) : 0;
            if (t->callback) t->callback(t);
        }
        if (!over.empty() || (completed && *completed)) return 0;
        const uint32_t elapsed = platform::tickMs() - start;
        if (limit != platform::kWaitInfinite && elapsed >= limit) return 0;
        waits.push_back(&ctx->wake);
        const int woken = platform::waitAny(
            waits.data(), waits.size(), limit == platform::kWaitInfinite ? limit : limit - elapsed);
        // A submit, a withdrawal or an interruption returns, as libusb's handling does.
        if (woken == static_cast<int>(waits.size()) - 1) return 0;
    }
}

int clearHalt(libusb_device_handle*, unsigned char) {
    return 0;
}

void interruptEventHandler(libusb_context* ctx) {
    ctx->wake.set();
}

} // namespace

const transport::LibUsb& simLibUsb() {
    static const transport::LibUsb f = [] {
        transport::LibUsb t;
        t.libusb_init = init;
        t.libusb_exit = exitContext;
        t.libusb_get_device_list = getDeviceList;
        t.libusb_free_device_list = freeDeviceList;
        t.libusb_get_device_descriptor = getDeviceDescriptor;
        t.libusb_get_active_config_descriptor = getActiveConfigDescriptor;
        t.libusb_free_config_descriptor = freeConfigDescriptor;
        t.libusb_get_bus_number = busNumber;
        t.libusb_get_device_address = deviceAddress;
        t.libusb_open = openDevice;
        t.libusb_close = closeDevice;
        t.libusb_kernel_driver_active = kernelDriverActive;
        t.libusb_detach_kernel_driver = detachKernelDriver;
        t.libusb_claim_interface = claimInterface;
        t.libusb_release_interface = releaseInterface;
        t.libusb_alloc_transfer = allocTransfer;
        t.libusb_free_transfer = freeTransfer;
        t.libusb_submit_transfer = submitTransfer;
        t.libusb_cancel_transfer = cancelTransfer;
        t.libusb_handle_events_timeout_completed = handleEvents;
        t.libusb_clear_halt = clearHalt;
        t.libusb_interrupt_event_handler = interruptEventHandler;
        return t;
    }();
    return f;
}

void simUsbBindKernelDriver(const std::u16string& path) {
    std::lock_guard lock(state().mutex);
    state().kernelDrivers.insert(path);
}

uint32_t simUsbDetaches(const std::u16string& path) {
    std::lock_guard lock(state().mutex);
    auto at = state().detaches.find(path);
    return at == state().detaches.end() ? 0 : at->second;
}

void simUsbReset() {
    std::lock_guard lock(state().mutex);
    state().kernelDrivers.clear();
    state().detaches.clear();
    state().claimed.clear();
}

} // namespace zs::sim
#endif
