#include "transport/linux/libftdi.h"

#include "platform/dynlib.h"
#include "platform/overlapped.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace zs::transport {
namespace {

constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorInvalidParameter = 87;

constexpr int kFtdiVendor = 0x0403;
// The vendor's product ids with their channel count: the chips D2XX finds without being told
// other ids.
struct Product {
    int id;
    int channels;
};
constexpr Product kProducts[] = {{0x6001, 1}, {0x6010, 2}, {0x6011, 4}, {0x6014, 1}, {0x6015, 1}};

// A short latency lets the chip hand over small replies at once instead of after its default
// 16 ms, so the engine's 5 ms polls see them as they would through D2XX.
constexpr unsigned char kLatencyMs = 2;
// How long a read without an overlapped record waits for the bytes it asks for.
constexpr auto kBlockingReadTimeout = std::chrono::milliseconds(1000);
constexpr int kReadChunk = 4096;

// One channel as D2XX lists it: a chip with several channels appears once per channel, its
// serial number with the channel letter appended and its description with a space and the
// letter.
struct Channel {
    std::string serial, description;
    std::string usbSerial, usbDescription, manufacturer;
    int product = 0;
    int channel = 0;  // libftdi's interface: 0 any (single channel), 1..4 A..D
    int position = 0; // among the devices of the product, for devices without strings
};

std::atomic<const LibFtdi*> g_functions{nullptr};
std::mutex g_listMutex;
std::vector<Channel> g_lastList;

std::vector<Channel> enumerate(const LibFtdi& f) {
    std::vector<Channel> out;
    ftdi_context* ctx = f.ftdi_new();
    if (!ctx) return out;
    for (const Product& product : kProducts) {
        ftdi_device_list* list = nullptr;
        if (f.ftdi_usb_find_all(ctx, &list, kFtdiVendor, product.id) <= 0) {
            if (list) f.ftdi_list_free(&list);
            continue;
        }
        int position = 0;
        for (ftdi_device_list* node = list; node; node = node->next, ++position) {
            char manufacturer[128] = {}, description[128] = {}, serial[128] = {};
            if (f.ftdi_usb_get_strings(ctx, node->dev, manufacturer, sizeof manufacturer,
                                       description, sizeof description, serial, sizeof serial) < 0)
                continue; // a device that cannot be asked cannot be opened either
            for (int c = 0; c < product.channels; ++c) {
                Channel ch;
                ch.usbSerial = serial;
                ch.usbDescription = description;
                ch.manufacturer = manufacturer;
                ch.product = product.id;
                ch.position = position;
                ch.serial = serial;
                ch.description = description;
                if (product.channels > 1) {
                    const char letter = static_cast<char>('A' + c);
                    ch.serial += letter;
                    ch.description += std::string(" ") + letter;
                    ch.channel = c + 1;
                }
                out.push_back(std::move(ch));
            }
        }
        f.ftdi_list_free(&list);
    }
    f.ftdi_free(ctx);
    return out;
}

// An open channel: its libftdi context, the line settings as last applied (the chip cannot be
// asked for them), and the bytes its reader thread has taken from the chip.
struct Link {
    const LibFtdi* f = nullptr;
    ftdi_context* ctx = nullptr;
    Channel channel;
    D2xxLineSettings line;

    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<uint8_t> received;
    bool failed = false; // the chip stopped answering (pulled out)
    bool stopping = false;
    uint32_t lastError = 0;
    // An overlapped read waiting for more bytes than had arrived.
    void* pendingBlock = nullptr;
    uint8_t* pendingBuffer = nullptr;
    uint32_t pendingLength = 0;
    // The reader holds this around each chip read; the reset takes it so that the chip's
    // buffers and libftdi's are emptied between two reads.
    std::mutex chipRead;
    std::thread reader;

    void readLoop() {
        std::vector<unsigned char> chunk(kReadChunk);
        for (;;) {
            int n;
            {
                std::lock_guard chip(chipRead);
                {
                    std::lock_guard lock(mutex);
                    if (stopping) return;
                }
                // Returns within the latency time when the chip has nothing.
                n = f->ftdi_read_data(ctx, chunk.data(), kReadChunk);
            }
            std::lock_guard lock(mutex);
            if (n < 0) {
                failed = true;
                arrived.notify_all();
                return;
            }
            if (n > 0) {
                received.insert(received.end(), chunk.begin(), chunk.begin() + n);
                arrived.notify_all();
            }
        }
    }

    uint32_t take(uint8_t* buffer, uint32_t length) {
        const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(received.size()));
        std::copy_n(received.begin(), n, buffer);
        received.erase(received.begin(), received.begin() + n);
        return n;
    }
};

std::mutex g_linksMutex;
std::set<Link*> g_links;

Link* link(FtHandle h) {
    std::lock_guard lock(g_linksMutex);
    auto* l = static_cast<Link*>(h);
    return g_links.count(l) ? l : nullptr;
}

const LibFtdi* functions() {
    return g_functions.load(std::memory_order_acquire);
}

uint32_t status(int result) {
    return result < 0 ? kD2xxIoError : kD2xxOk;
}

// Runs a control call on an open channel: FT_OK, or the D2XX status of its failure.
template <class Call>
uint32_t control(FtHandle h, Call&& call) {
    Link* l = link(h);
    if (!l) return kD2xxInvalidHandle;
    return status(call(*l->f, l->ctx));
}

uint32_t listDevices(void* arg1, void* arg2, uint32_t flags) {
    const LibFtdi* f = functions();
    if (!f) return kD2xxDeviceNotFound;
    if (flags & kD2xxListNumberOnly) {
        if (!arg1) return kD2xxInvalidParameter;
        auto list = enumerate(*f);
        *static_cast<uint32_t*>(arg1) = static_cast<uint32_t>(list.size());
        std::lock_guard lock(g_listMutex);
        g_lastList = std::move(list);
        return kD2xxOk;
    }
    if (!(flags & 0x40000000u) || !arg2) return kD2xxInvalidParameter;
    // By index, from the list the count call took, as the vendor's driver numbers devices.
    const auto index = static_cast<size_t>(reinterpret_cast<uintptr_t>(arg1));
    std::lock_guard lock(g_listMutex);
    if (g_lastList.empty()) g_lastList = enumerate(*f);
    if (index >= g_lastList.size()) return kD2xxDeviceNotFound;
    const std::string& text =
        (flags & 2) ? g_lastList[index].description : g_lastList[index].serial;
    // The caller's buffer holds 64 characters at least.
    const size_t n = std::min<size_t>(text.size(), 63);
    std::memcpy(arg2, text.data(), n);
    static_cast<char*>(arg2)[n] = '\0';
    return kD2xxOk;
}

// Opens the channel on a context of its own; null when the device is gone or taken.
ftdi_context* openChannel(const LibFtdi& f, const Channel& ch) {
    ftdi_context* ctx = f.ftdi_new();
    if (!ctx) return nullptr;
    if (f.ftdi_set_interface(ctx, ch.channel) < 0) {
        f.ftdi_free(ctx);
        return nullptr;
    }
    ftdi_device_list* list = nullptr;
    bool opened = false;
    if (f.ftdi_usb_find_all(ctx, &list, kFtdiVendor, ch.product) > 0) {
        int position = 0;
        for (ftdi_device_list* node = list; node && !opened; node = node->next, ++position) {
            char description[128] = {}, serial[128] = {};
            if (f.ftdi_usb_get_strings(ctx, node->dev, nullptr, 0, description, sizeof description,
                                       serial, sizeof serial) < 0)
                continue;
            const bool same = ch.usbSerial.empty()
                                  ? position == ch.position && ch.usbDescription == description
                                  : ch.usbSerial == serial;
            if (same) opened = f.ftdi_usb_open_dev(ctx, node->dev) == 0;
        }
    }
    if (list) f.ftdi_list_free(&list);
    if (!opened) {
        f.ftdi_free(ctx);
        return nullptr;
    }
    return ctx;
}

FtHandle createFile(const char* name, uint32_t, uint32_t, void*, uint32_t, uint32_t flags, void*) {
    const LibFtdi* f = functions();
    if (!f || !name) return kNoFtdiHandle;
    const bool byDescription = (flags & 2) != 0;
    for (const Channel& ch : enumerate(*f)) {
        if ((byDescription ? ch.description : ch.serial) != name) continue;
        ftdi_context* ctx = openChannel(*f, ch);
        if (!ctx) return kNoFtdiHandle;
        f->ftdi_set_latency_timer(ctx, kLatencyMs);
        auto* l = new Link;
        l->f = f;
        l->ctx = ctx;
        l->channel = ch;
        l->line.baudRate = 9600; // the chip's rate after power-up
        l->line.flags = 1;       // binary
        l->reader = std::thread([l] { l->readLoop(); });
        std::lock_guard lock(g_linksMutex);
        g_links.insert(l);
        return l;
    }
    return kNoFtdiHandle;
}

// D2XX reads the configuration block from the chip's EEPROM; the parts of it the library
// uses are what the chip reports as its USB strings and ids, so they are taken from there
// (with the channel letter D2XX adds), and the manufacturer id is the serial number's prefix,
// which is how the vendor's tools fill it.
uint32_t programRead(FtHandle h, D2xxProgramData* data) {
    Link* l = link(h);
    if (!l) return kD2xxInvalidHandle;
    if (!data) return kD2xxInvalidParameter;
    auto put = [](char* out, const std::string& text) {
        if (!out) return;
        const size_t n = std::min<size_t>(text.size(), 63);
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
    };
    data->vendorId = kFtdiVendor;
    data->productId = static_cast<uint16_t>(l->channel.product);
    put(data->manufacturer, l->channel.manufacturer);
    put(data->manufacturerId, l->channel.usbSerial.substr(0, 2));
    put(data->description, l->channel.description);
    put(data->serialNumber, l->channel.serial);
    return kD2xxOk;
}

int32_t closeHandle(FtHandle h) {
    Link* l = link(h);
    if (!l) return 0;
    {
        std::lock_guard lock(g_linksMutex);
        g_links.erase(l);
    }
    {
        std::lock_guard lock(l->mutex);
        l->stopping = true;
    }
    l->reader.join();
    l->f->ftdi_usb_close(l->ctx);
    l->f->ftdi_free(l->ctx);
    delete l;
    return 1;
}

// D2XX's flow values are the chip's own (0x0100 RTS/CTS, 0x0200 DTR/DSR, 0x0400 XON/XOFF).
uint32_t flow(FtHandle h, uint16_t flowControl, uint8_t xon, uint8_t xoff) {
    return control(h, [&](const LibFtdi& f, ftdi_context* ctx) {
        if (flowControl == 0x0400 && f.ftdi_setflowctrl_xonxoff)
            return f.ftdi_setflowctrl_xonxoff(ctx, xon, xoff);
        return f.ftdi_setflowctrl(ctx, flowControl);
    });
}

int32_t getLine(FtHandle h, D2xxLineSettings* dcb) {
    Link* l = link(h);
    if (!l || !dcb) return 0;
    *dcb = l->line;
    return 1;
}

// Applies the rate and the data bits, parity and stop bits (the device-control block numbers
// them as libftdi does). Its other fields have no chip request behind them (parity checking,
// for one, is done on the host) and are only kept; flow control is the flow call's.
int32_t setLine(FtHandle h, D2xxLineSettings* dcb) {
    Link* l = link(h);
    if (!l || !dcb) return 0;
    const LibFtdi& f = *l->f;
    if (dcb->baudRate != l->line.baudRate &&
        f.ftdi_set_baudrate(l->ctx, static_cast<int>(dcb->baudRate)) < 0)
        return 0;
    if (f.ftdi_set_line_property(l->ctx, dcb->byteSize, dcb->stopBits, dcb->parity) < 0) return 0;
    l->line = *dcb;
    return 1;
}

uint32_t chars(FtHandle h, uint8_t eventChar, uint8_t eventEnabled, uint8_t errorChar,
               uint8_t errorEnabled) {
    return control(h, [&](const LibFtdi& f, ftdi_context* ctx) {
        const int r = f.ftdi_set_event_char(ctx, eventChar, eventEnabled);
        return r < 0 ? r : f.ftdi_set_error_char(ctx, errorChar, errorEnabled);
    });
}

// libftdi refuses a rate the chip cannot come within 5 % of (-1), as D2XX answers 7.
uint32_t rate(FtHandle h, uint32_t bitsPerSecond) {
    Link* l = link(h);
    if (!l) return kD2xxInvalidHandle;
    const int r = l->f->ftdi_set_baudrate(l->ctx, static_cast<int>(bitsPerSecond));
    if (r == -1) return kD2xxRateRefused;
    if (r < 0) return kD2xxIoError;
    l->line.baudRate = bitsPerSecond;
    return kD2xxOk;
}

uint32_t queue(FtHandle h, uint32_t* waiting) {
    if (waiting) *waiting = 0;
    Link* l = link(h);
    if (!l) return kD2xxInvalidHandle;
    std::lock_guard lock(l->mutex);
    if (l->failed) return kD2xxIoError;
    if (waiting) *waiting = static_cast<uint32_t>(l->received.size());
    return kD2xxOk;
}

// A write goes out in the call: libftdi hands the bytes to the chip and returns when it has
// taken them, so there is never a transfer left pending.
int32_t write(FtHandle h, void* buffer, uint32_t length, uint32_t* transferred, void*) {
    if (transferred) *transferred = 0;
    Link* l = link(h);
    if (!l) return 0;
    const int n = length ? l->f->ftdi_write_data(l->ctx, static_cast<const unsigned char*>(buffer),
                                                 static_cast<int>(length))
                         : 0;
    std::lock_guard lock(l->mutex);
    if (n < 0 || l->failed) {
        l->lastError = kErrorGenFailure;
        return 0;
    }
    if (transferred) *transferred = static_cast<uint32_t>(n);
    return 1;
}

// A read takes what the reader thread has queued. Asked for more than has arrived, it is
// pending on its overlapped record until the rest comes; without one it waits up to a second
// and returns what it has, as D2XX does with its read time-out.
int32_t read(FtHandle h, void* buffer, uint32_t length, uint32_t* transferred, void* block) {
    if (transferred) *transferred = 0;
    Link* l = link(h);
    if (!l) return 0;
    auto* bytes = static_cast<uint8_t*>(buffer);
    std::unique_lock lock(l->mutex);
    l->pendingBlock = nullptr;
    if (l->failed || (length && !buffer)) {
        l->lastError = kErrorGenFailure;
        return 0;
    }
    if (l->received.size() < length) {
        if (block) {
            l->pendingBlock = block;
            l->pendingBuffer = bytes;
            l->pendingLength = length;
            l->lastError = platform::kErrorIoPending;
            return 0;
        }
        l->arrived.wait_for(lock, kBlockingReadTimeout,
                            [&] { return l->failed || l->received.size() >= length; });
    }
    const uint32_t n = l->take(bytes, length);
    if (transferred) *transferred = n;
    return 1;
}

uint32_t lastError(FtHandle h) {
    Link* l = link(h);
    if (!l) return kD2xxInvalidParameter;
    std::lock_guard lock(l->mutex);
    return l->lastError;
}

int32_t result(FtHandle h, void* block, uint32_t* transferred, int32_t wait) {
    if (transferred) *transferred = 0;
    Link* l = link(h);
    if (!l) return 0;
    std::unique_lock lock(l->mutex);
    if (!block || l->pendingBlock != block) {
        l->lastError = kErrorInvalidParameter;
        return 0;
    }
    auto complete = [&] { return l->failed || l->received.size() >= l->pendingLength; };
    if (wait) l->arrived.wait(lock, complete);
    if (!complete()) {
        l->lastError = platform::kErrorIoIncomplete;
        return 0;
    }
    l->pendingBlock = nullptr;
    if (l->failed) {
        l->lastError = kErrorGenFailure;
        return 0;
    }
    const uint32_t n = l->take(l->pendingBuffer, l->pendingLength);
    if (transferred) *transferred = n;
    return 1;
}

// Line low and high are DTR, cleared and set.
uint32_t lineLow(FtHandle h) {
    return control(h, [](const LibFtdi& f, ftdi_context* ctx) { return f.ftdi_setdtr(ctx, 0); });
}
uint32_t lineHigh(FtHandle h) {
    return control(h, [](const LibFtdi& f, ftdi_context* ctx) { return f.ftdi_setdtr(ctx, 1); });
}

// D2XX's bit modes are the chip's (0 reset, 4 synchronous bit-bang, ...).
uint32_t bitMode(FtHandle h, uint8_t mask, uint8_t mode) {
    return control(h, [&](const LibFtdi& f, ftdi_context* ctx) {
        return f.ftdi_set_bitmode(ctx, mask, mode);
    });
}

// The chip's reset empties its buffers; what the reader had queued goes with them.
uint32_t resetDevice(FtHandle h) {
    Link* l = link(h);
    if (!l) return kD2xxInvalidHandle;
    std::lock_guard chip(l->chipRead);
    const int r = l->f->ftdi_usb_reset(l->ctx);
    std::lock_guard lock(l->mutex);
    l->received.clear();
    return status(r);
}

} // namespace

std::optional<LibFtdi> bindLibFtdi(const char* fileName) {
    auto lib = platform::openVendorLibrary(fileName);
    if (!lib) return std::nullopt;
    LibFtdi f;
#define ZS_BIND(name) lib->bind(#name, f.name)
    const bool ok =
        ZS_BIND(ftdi_new) && ZS_BIND(ftdi_free) && ZS_BIND(ftdi_set_interface) &&
        ZS_BIND(ftdi_usb_find_all) && ZS_BIND(ftdi_list_free) && ZS_BIND(ftdi_usb_get_strings) &&
        ZS_BIND(ftdi_usb_open_dev) && ZS_BIND(ftdi_usb_close) && ZS_BIND(ftdi_usb_reset) &&
        ZS_BIND(ftdi_set_baudrate) && ZS_BIND(ftdi_set_line_property) &&
        ZS_BIND(ftdi_setflowctrl) && ZS_BIND(ftdi_setdtr) && ZS_BIND(ftdi_set_event_char) &&
        ZS_BIND(ftdi_set_error_char) && ZS_BIND(ftdi_set_bitmode) &&
        ZS_BIND(ftdi_set_latency_timer) && ZS_BIND(ftdi_read_data) && ZS_BIND(ftdi_write_data);
    ZS_BIND(ftdi_setflowctrl_xonxoff);
#undef ZS_BIND
    if (!ok) return std::nullopt;
    lib->keepLoaded();
    return f;
}

D2xxApi d2xxOnLibFtdi(const LibFtdi& f) {
    g_functions.store(&f, std::memory_order_release);
    {
        std::lock_guard lock(g_listMutex);
        g_lastList.clear();
    }
    return D2xxApi{listDevices, listDevices, createFile, programRead, closeHandle, flow, getLine,
                   setLine,     chars,       rate,       queue,       write,       read, lastError,
                   result,      lineLow,     lineHigh,   bitMode,     resetDevice};
}

} // namespace zs::transport
