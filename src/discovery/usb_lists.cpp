#include "discovery/usb_lists.h"

#include "discovery/identification.h"
#include "discovery/network_attach.h"
#include "discovery/winusb_enumeration.h"
#include "engine/command_packets.h"
#include "engine/io_threads.h"
#include "frame/description_guard.h"
#include "frame/library.h"
#include "platform/clock.h"
#include "trace/trace.h"
#include "transport/d2xx.h"
#include "transport/winusb_binding.h"

#include <array>
#include <cstdio>
#include <functional>
#include <iterator>
#include <memory>

namespace zs::discovery {

using frame::DevStruct;
using transport::d2xx;
using transport::FtHandle;
using transport::kNoFtdiHandle;

namespace {

constexpr uint32_t kOpenAccess = 0xC0000000;
constexpr uint32_t kOpenExisting = 3;
constexpr uint32_t kStreamOffPauseMs = 10;

using transport::LinkKind;
constexpr uint32_t kL700Rate = 768000;

struct KnownDescription {
    const char* text;
    int code;
};
constexpr KnownDescription kDescriptions[] = {
    {"Brevane DOUT20", 0}, {"Brevane DOUT21", 1}, {"Brevane WIFI53", 2},
    {"Brevane WIFI54", 3}, {"QRNT", 4},
};
constexpr int kMultiDoutCode = 5;

// A serial number of 8 or more characters ending in A or B names a channel of a two-channel
// chip: 'A', 'B', or 0.
char serialChannel(const std::string& serial) {
    if (serial.size() < 8) return 0;
    const char last = serial.back();
    return last == 'A' || last == 'B' ? last : 0;
}

// The serial number of device `index`; nothing when the serial call fails.
std::optional<std::string> serialAt(uint32_t index) {
    std::array<char, 128> buffer{};
    if (d2xx().serial(reinterpret_cast<void*>(static_cast<uintptr_t>(index)), buffer.data(),
                      transport::kD2xxListSerialByIndex) != transport::kD2xxOk)
        return std::nullopt;
    buffer.back() = '\0';
    return std::string(buffer.data());
}

FtHandle openBySerial(const std::string& serial) {
    const FtHandle h = d2xx().open(serial.c_str(), kOpenAccess, 0, nullptr, kOpenExisting,
                                   transport::kD2xxOpenFlags, nullptr);
    ZS_TRACE_LINE("USB ", serial,
                  h != kNoFtdiHandle ? ": opened"
                                     : ": open failed (another program has it, or it went)");
    return h;
}

// The stored description of an open device; nothing when the configuration call fails.
std::optional<std::string> storedDescription(FtHandle handle) {
    std::array<char, 256> manufacturer{}, manufacturerId{}, description{}, serial{};
    transport::D2xxProgramData data;
    data.manufacturer = manufacturer.data();
    data.manufacturerId = manufacturerId.data();
    data.description = description.data();
    data.serialNumber = serial.data();
    if (const uint32_t status = d2xx().configuration(handle, &data); status != transport::kD2xxOk) {
        ZS_TRACE_LINE("USB: the stored description is unreadable (status ", status, ")");
        return std::nullopt;
    }
    description.back() = '\0';
    return std::string(description.data());
}

void closeHandle(DevStruct& d, const std::string& serial) {
    if (d.hasFtdi()) {
        d2xx().close(d.ftdiHandle);
        ZS_TRACE_LINE("USB ", serial, ": closed");
    }
    d.ftdiHandle = kNoFtdiHandle;
}

// Why a count call gave no list, and how many devices the driver lists.
bool countDevices(uint32_t& count) {
    count = 0;
    const uint32_t status = d2xx().count(&count, nullptr, transport::kD2xxListNumberOnly);
    if (status != transport::kD2xxOk) {
        ZS_TRACE_LINE("USB: the driver's device count failed (status ", status,
                      transport::d2xxPresent() ? ")" : "; no FTDI driver)");
        return false;
    }
    ZS_TRACE_LINE("USB: the driver lists ", count, count == 1 ? " device" : " devices");
    return true;
}

// Opens every listed FTDI device and appends those `accept` takes (it sets the link kind
// from the description and serial number and returns false to refuse). False when the
// count call fails.
bool scanFtdi(const std::function<bool(DevStruct&, const std::string&, const std::string&)>& accept,
              LinkKind initialKind = LinkKind::NoneOrWinUsb) {
    uint32_t count = 0;
    if (!countDevices(count)) return false;
    auto& list = frame::lib().devices;
    for (uint32_t i = 0; i < count; ++i) {
        const auto serial = serialAt(i);
        if (!serial) {
            ZS_TRACE_LINE("USB device ", i, ": serial number unreadable");
            continue;
        }
        auto d = std::make_shared<DevStruct>();
        d->linkKind = initialKind;
        d->state.deviceType = 0;
        d->state.serialNumber = 0;
        d->ftdiHandle = openBySerial(*serial);
        if (!d->hasFtdi()) continue;
        const auto description = storedDescription(d->ftdiHandle);
        if (!description || !accept(*d, *description, *serial)) {
            if (description)
                ZS_TRACE_LINE("USB ", *serial, ": \"", *description,
                              "\" is not an instrument this list takes");
            closeHandle(*d, *serial);
            continue;
        }
        ZS_TRACE_LINE("USB ", *serial, ": \"", *description, "\", link kind ",
                      transport::code(d->linkKind));
        d->ftdiSerial = *serial;
        list.push_back(std::move(d));
    }
    return true;
}

bool acceptForFList(DevStruct& d, const std::string& description, const std::string& serial) {
    const auto kind = classifyFtdi(description, serial);
    if (!kind) return false;
    d.linkKind = kind->linkKind;
    d.multiDout = kind->multiDout ? 1 : 0;
    return true;
}

int startedListSize() {
    engine::startIoThreads();
    return static_cast<int>(frame::lib().devices.size());
}

// Stops the record's thread and switches its stream off, as the list release does.
void quiesce(const std::shared_ptr<DevStruct>& d) {
    engine::stopIoThread(*d);
    engine::sendStreamMode(d, 0);
    platform::sleepMs(kStreamOffPauseMs);
}

// The scan of a full reconnect: binds the first acceptable device after the first
// `reconnectSkip` opened ones to `d`. False when none was taken.
bool reopen(DevStruct& d) {
    uint32_t& skip = frame::lib().reconnectSkip;
    for (;;) {
        uint32_t count = 0;
        if (!countDevices(count)) return false;
        uint32_t opened = 0;
        bool taken = false;
        for (uint32_t i = 0; i < count && !taken; ++i) {
            const auto serial = serialAt(i);
            if (!serial) continue;
            d.ftdiHandle = openBySerial(*serial);
            if (!d.hasFtdi()) continue;
            if (opened < skip) {
                ++opened;
                closeHandle(d, *serial);
                continue;
            }
            const auto description = storedDescription(d.ftdiHandle);
            taken = description && acceptForFList(d, *description, *serial);
            if (taken)
                d.ftdiSerial = *serial;
            else
                closeHandle(d, *serial);
        }
        if (taken) {
            ++skip;
            return true;
        }
        if (skip == 0) return false;
        skip = 0;
    }
}

// Reopens the instrument a record lost, by its serial number, after a fresh count call so the
// driver lists what is plugged in now. False when it is not back (or no longer acceptable).
bool reopenBySerial(DevStruct& d) {
    uint32_t count = 0;
    if (!countDevices(count)) return false;
    d.ftdiHandle = openBySerial(d.ftdiSerial);
    if (!d.hasFtdi()) return false;
    const auto description = storedDescription(d.ftdiHandle);
    if (description && acceptForFList(d, *description, d.ftdiSerial)) return true;
    closeHandle(d, d.ftdiSerial);
    return false;
}

} // namespace

int descriptionKindCode(const std::string& description) {
    for (const auto& k : kDescriptions)
        if (description == k.text) return k.code;
    int first = 0, second = 0;
    if (std::sscanf(description.c_str(), "MultiDOUT Ports%d,%d", &first, &second) == 2 &&
        first >= 1 && first <= 9 && first % 2 == 1 && second == first + 1)
        return kMultiDoutCode;
    return -1;
}

std::optional<FtdiKind> classifyFtdi(const std::string& description, const std::string& serial) {
    const int code = descriptionKindCode(description);
    const char channel = serialChannel(serial);
    if (code < 0 || (channel == 0 && code != 4)) return std::nullopt;
    if (code == kMultiDoutCode) return FtdiKind{LinkKind::FtdiDirect, true};
    // DOUT20 and WIFI53 are two-channel chips whose channel B is the second interface; the
    // others always talk through it.
    const bool second = (code == 0 || code == 2) ? channel == 'B' : true;
    if (second)
        return FtdiKind{code == 2 || code == 3 ? LinkKind::FtdiPacketSwitchedSync
                                               : LinkKind::FtdiDirectSync,
                        false};
    return FtdiKind{code == 0 ? LinkKind::FtdiDirect : LinkKind::FtdiPacketSwitched, false};
}

int buildFList() {
    frame::ensureDescriptionLoaded();
    if (!scanFtdi(acceptForFList)) return 0;
    enumerateWinUsb();
    auto& list = frame::lib().devices;
    if (list.empty()) return 0;
    identifyDevices(true, 0);
    return list.empty() ? 0 : startedListSize();
}

int buildL700List() {
    frame::ensureDescriptionLoaded();
    const bool scanned = scanFtdi([](DevStruct&, const std::string& description,
                                     const std::string&) { return description == "Brevane L700"; },
                                  LinkKind::FtdiDirect);
    if (!scanned || frame::lib().devices.empty()) return 0;
    if (identifyDevices(true, kL700Rate) == 0) return 0;
    return startedListSize();
}

int buildQM730List() {
    frame::ensureDescriptionLoaded();
    const size_t before = frame::lib().devices.size();
    const bool scanned = scanFtdi(
        [](DevStruct& d, const std::string& description, const std::string&) {
            if (description == "Brevane QM730") d.linkKind = LinkKind::FtdiDirect;
            return d.linkKind == LinkKind::FtdiDirect;
        },
        LinkKind::Unaccepted);
    if (!scanned || frame::lib().devices.size() == before) return 0;
    if (identifyDevices(true, 0) == 0) return 0;
    return startedListSize();
}

void freeFList() {
    auto& list = frame::lib().devices;
    for (const auto& d : list) quiesce(d);
    list.clear();
}

int reconnectDevice(uint32_t index) {
    const bool soft = (index & 0x80000000u) != 0;
    const uint32_t position = index & 0x7FFFFFFFu;
    auto& list = frame::lib().devices;
    if (position >= list.size()) return 0;
    const std::shared_ptr<DevStruct> d = *std::next(list.begin(), position);

    const bool udp = !d->hasFtdi() && !d->hasTcp() && d->hasUdp();
    ZS_TRACE_LINE("reconnect ", transport::linkName(*d), soft ? " (soft)" : "");
    d->linkState = 0;
    d->keepOnFailure = 1;
    quiesce(d);

    // A record whose instrument was gone at an earlier reconnect is still an FTDI record.
    const bool lost = !d->hasFtdi() && !d->ftdiSerial.empty();
    if (d->hasFtdi() || lost) {
        if (!soft && !lost) {
            d2xx().reset(d->ftdiHandle);
            closeHandle(*d, d->ftdiSerial);
        }
        d->state.deviceType = 0;
        d->state.serialNumber = 0;
        if (!d->hasFtdi() && !(lost ? reopenBySerial(*d) : reopen(*d))) {
            ZS_TRACE_LINE("reconnect ", transport::linkName(*d), ": the instrument is not back");
            d->linkState = -1; // nothing to identify until the next reconnect finds it
            return 0;
        }
    } else if (d->hasTcp()) {
        d->state.deviceType = 0;
        d->state.serialNumber = 0;
        // An instrument that closed the connection is reached again on a new one.
        if (!reopenClosedWiFi(*d)) {
            ZS_TRACE_LINE("reconnect ", transport::linkName(*d), ": cannot connect again");
            d->linkState = -1;
            return 0;
        }
    } else if (udp) {
        // Ethernet records are identified from the query reply, never by the stages.
        reopenEthernet(*d);
        d->linkState = -1;
    } else if (d->hasWinUsb() || !d->winUsbPath.empty()) {
        // A record whose instrument was gone at an earlier reconnect enumerates again too.
        if (d->hasWinUsb()) transport::releaseWinUsb(d->winUsbHandle, d->winUsbFile);
        d->winUsbHandle = nullptr;
        d->winUsbFile = transport::kInvalidFile;
        enumerateWinUsb(d);
        if (!d->hasWinUsb()) {
            ZS_TRACE_LINE("reconnect ", transport::linkName(*d), ": the instrument is not back");
            d->linkState = -1;
            return 0;
        }
    }
    identifyDevices(false, 0);
    engine::startIoThreads();
    return 1;
}

} // namespace zs::discovery
