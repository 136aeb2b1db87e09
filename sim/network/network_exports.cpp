// Control of simulated network instruments by a program that loads this library by name:
// start a Wi-Fi or an Ethernet instrument on a loopback address, read the commands it was
// sent, stop them all.
#include "discovery/address_text.h"
#include "instrument_records.h"
#include "network_instruments.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#define SIM_EXPORT extern "C" __declspec(dllexport)
#else
#include <dlfcn.h>
#define SIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

using zs::sim::EthernetOptions;
using zs::sim::SimEthernetInstrument;
using zs::sim::SimWiFiInstrument;
using zs::sim::StreamState;
using zs::sim::WiFiOptions;

namespace {

// This library's own folder, where the description source of the instruments lies.
std::filesystem::path ownFolder() {
#ifdef _WIN32
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ownFolder), &module);
    char path[MAX_PATH] = {};
    GetModuleFileNameA(module, path, MAX_PATH);
    return std::filesystem::path(path).parent_path();
#else
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&ownFolder), &info);
    return std::filesystem::path(info.dli_fname ? info.dli_fname : ".").parent_path();
#endif
}

// A loopback address as a number; 0 for anything else, so nothing this library starts can
// listen outside loopback.
uint32_t loopbackAddress(const char* text) {
    const uint32_t address = text ? zs::discovery::parseDottedAddress(text) : 0;
    return address >> 24 == 127 ? address : 0;
}

struct Instruments {
    std::mutex mutex;
    std::map<uint32_t, std::unique_ptr<SimWiFiInstrument>> wifi;
    std::map<uint32_t, std::unique_ptr<SimEthernetInstrument>> ethernet;
};
Instruments& instruments() {
    static Instruments all;
    return all;
}

bool descriptionLoaded() {
    try {
        zs::sim::referenceDescription(ownFolder());
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Copies `text` with its terminator as far as it fits; the length it needs.
int copyOut(const std::string& text, char* out, uint32_t capacity) {
    if (out && capacity > 0) {
        const size_t n = std::min<size_t>(text.size(), capacity - 1);
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
    }
    return static_cast<int>(text.size());
}

} // namespace

// A Wi-Fi instrument at `address` (loopback only) answering with channel code `channelCode`
// (0 one channel, 55 two); its channels are instruments of types 28 and 38 with serial
// numbers `serial` and `serial` + 1, each sending `recordsPerSecond` records once switched on.
// 1 when it listens on its ports, else 0.
SIM_EXPORT int ZsSimNet_StartWiFi(const char* address, uint32_t channelCode, uint32_t serial,
                                  double recordsPerSecond) {
    const uint32_t a = loopbackAddress(address);
    if (a == 0 || !descriptionLoaded()) return 0;
    try {
        WiFiOptions o;
        o.address = a;
        o.channelCode = channelCode;
        o.identity[0] = {28, 40, serial};
        o.identity[1] = {38, 40, serial + 1};
        o.recordsPerSecond = recordsPerSecond;
        auto instrument = std::make_unique<SimWiFiInstrument>(o);
        if (!instrument->listening()) return 0;
        auto& all = instruments();
        std::lock_guard lock(all.mutex);
        all.wifi[a] = std::move(instrument);
        return 1;
    } catch (const std::exception&) {
        return 0;
    }
}

// An Ethernet instrument of type 28 at `address` (loopback only) answering the query on UDP
// port 22. 1 when it listens, else 0 (the port may need privileges the program lacks).
SIM_EXPORT int ZsSimNet_StartEthernet(const char* address, uint32_t serial,
                                      double recordsPerSecond) {
    const uint32_t a = loopbackAddress(address);
    if (a == 0 || !descriptionLoaded()) return 0;
    try {
        EthernetOptions o;
        o.address = a;
        o.identity = {28, 40, serial};
        o.recordsPerSecond = recordsPerSecond;
        auto instrument = std::make_unique<SimEthernetInstrument>(o);
        if (!instrument->listening()) return 0;
        auto& all = instruments();
        std::lock_guard lock(all.mutex);
        all.ethernet[a] = std::move(instrument);
        return 1;
    } catch (const std::exception&) {
        return 0;
    }
}

// The commands the instrument at `address` received on `channel` (0 or 1; Ethernet: 0), one a
// line ("range 2"), copied into `out` as far as it fits; the length of the whole text, or -1
// when no instrument runs there.
SIM_EXPORT int ZsSimNet_Commands(const char* address, int channel, char* out, uint32_t capacity) {
    const uint32_t a = loopbackAddress(address);
    auto& all = instruments();
    std::lock_guard lock(all.mutex);
    StreamState* stream = nullptr;
    if (auto w = all.wifi.find(a); w != all.wifi.end() && (channel == 0 || channel == 1))
        stream = &w->second->stream(channel);
    else if (auto e = all.ethernet.find(a); e != all.ethernet.end() && channel == 0)
        stream = &e->second->stream();
    if (!stream) return -1;
    std::ostringstream text;
    for (const auto& c : stream->log.all()) text << c << '\n';
    return copyOut(text.str(), out, capacity);
}

// Stops every instrument started here and closes its sockets.
SIM_EXPORT void ZsSimNet_StopAll() {
    auto& all = instruments();
    std::lock_guard lock(all.mutex);
    all.wifi.clear();
    all.ethernet.clear();
}
