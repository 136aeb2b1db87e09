// The controls of the simulated D2XX devices, exported by name from each simulated USB driver
// library (D2XX and libftdi) for the tests and programs that load it: plugging instruments in
// and reading what they saw.
#include "sim_d2xx.h"
#include "sim_export.h"
#include "sim_library_folder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#ifdef ZS_SIM_PLUG
#include "command_log.h"
#include "instrument_records.h"
#include "plugged_instruments.h"

#include <mutex>
#include <sstream>
#include <string>
#include <vector>
#endif

using zs::sim::SimD2xx;
using zs::sim::SimD2xxDevice;

namespace {
#ifdef ZS_SIM_PLUG
bool plug(const char* text) {
    try {
        return zs::sim::plugInstruments(text,
                                        zs::sim::referenceDescription(zs::sim::simLibraryFolder()));
    } catch (const std::exception&) {
        return false; // no description source beside the driver
    }
}

#endif
} // namespace

// The instruments named by ZS_SIM_D2XX are plugged in before the first call sees devices.
void zs::sim::plugFromEnvironment() {
#ifdef ZS_SIM_PLUG
    static std::once_flag once;
    std::call_once(once, [] {
        if (const char* text = std::getenv("ZS_SIM_D2XX")) plug(text);
    });
#endif
}

// --- Control of the simulator by a test (C calling convention) --------------------------------

SIM_EXPORT void ZsSimD2xx_Reset() {
    SimD2xx::instance().reset();
}

#ifdef ZS_SIM_PLUG
// Plugs in simulated instruments described as ZS_SIM_D2XX describes them; 1 when the text
// was understood (and its devices added), else 0.
SIM_EXPORT int ZsSimD2xx_Plug(const char* text) {
    return text && plug(text) ? 1 : 0;
}

// The commands in the bytes written to the device from byte `from` on, decoded as the
// instrument reads them, one a line ("range 2"), copied into `out` as far as it fits; the
// length of the whole text, or -1 for an unknown serial number.
SIM_EXPORT int ZsSimD2xx_Commands(const char* serial, uint32_t from, char* out, uint32_t capacity) {
    auto& sim = SimD2xx::instance();
    std::vector<uint8_t> bytes;
    const bool known = sim.locked([&] {
        SimD2xxDevice* d = sim.find(serial ? serial : "");
        if (!d) return false;
        if (from < d->written.size()) bytes.assign(d->written.begin() + from, d->written.end());
        return true;
    });
    if (!known) return -1;
    std::vector<zs::sim::Command> commands;
    zs::sim::ByteCommandReader().feed(bytes.data(), bytes.size(), commands);
    std::ostringstream text;
    for (const auto& c : commands) text << c << '\n';
    return copyText(text.str(), out, capacity);
}
#endif

SIM_EXPORT void ZsSimD2xx_AddDevice(const char* serial, const char* description) {
    SimD2xx::instance().addDevice(serial ? serial : "", description ? description : "");
}

// Queues bytes the device delivers; false for an unknown serial number.
SIM_EXPORT int ZsSimD2xx_QueueInput(const char* serial, const uint8_t* bytes, uint32_t length) {
    auto& sim = SimD2xx::instance();
    return sim.locked([&] {
        SimD2xxDevice* d = sim.find(serial ? serial : "");
        if (!d) return 0;
        d->input.insert(d->input.end(), bytes, bytes + length);
        return 1;
    });
}

// Copies up to `capacity` of the bytes written to the device; returns how many were written
// in all (-1 for an unknown serial number).
SIM_EXPORT int ZsSimD2xx_Written(const char* serial, uint8_t* out, uint32_t capacity) {
    auto& sim = SimD2xx::instance();
    return sim.locked([&] {
        SimD2xxDevice* d = sim.find(serial ? serial : "");
        if (!d) return -1;
        const size_t n = std::min<size_t>(capacity, d->written.size());
        if (out && n) std::memcpy(out, d->written.data(), n);
        return static_cast<int>(d->written.size());
    });
}

// The device's line rate (0 for an unknown serial number).
SIM_EXPORT uint32_t ZsSimD2xx_LineRate(const char* serial) {
    auto& sim = SimD2xx::instance();
    return sim.locked([&]() -> uint32_t {
        SimD2xxDevice* d = sim.find(serial ? serial : "");
        return d ? d->lineRate : 0;
    });
}

// Makes the rate call refuse `rate` (answer 7).
SIM_EXPORT void ZsSimD2xx_RefuseRate(const char* serial, uint32_t rate) {
    auto& sim = SimD2xx::instance();
    sim.locked([&] {
        if (SimD2xxDevice* d = sim.find(serial ? serial : "")) d->refusedRates.insert(rate);
    });
}

// Counts the device's calls of one role (zs::sim::D2xxRole); -1 for an unknown serial number.
SIM_EXPORT int ZsSimD2xx_CallCount(const char* serial, uint32_t role) {
    auto& sim = SimD2xx::instance();
    return sim.locked([&] {
        SimD2xxDevice* d = sim.find(serial ? serial : "");
        if (!d) return -1;
        return static_cast<int>(std::count_if(d->history.begin(), d->history.end(), [&](auto& c) {
            return static_cast<uint32_t>(c.role) == role;
        }));
    });
}
