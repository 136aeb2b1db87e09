// Loopback Wi-Fi and Ethernet instruments, started and stopped through C functions of the
// simulator library, so a host program in any language (Python through ctypes) that loads it
// by name can put network instruments beside the simulated USB ones. The instruments use the
// description source beside this library, as the plugged USB instruments do.
#include "instrument_records.h"
#include "network_instruments.h"
#include "sim_export.h"
#include "sim_library_folder.h"

#include <cstdint>
#include <memory>
#include <string>

namespace {

using zs::sim::EthernetOptions;
using zs::sim::SimEthernetInstrument;
using zs::sim::SimWiFiInstrument;
using zs::sim::StreamIdentity;
using zs::sim::StreamState;
using zs::sim::WiFiOptions;

// One started instrument: exactly one of the two is set.
struct NetInstrument {
    std::unique_ptr<SimWiFiInstrument> wifi;
    std::unique_ptr<SimEthernetInstrument> ethernet;

    StreamState* stream(int channel) {
        if (wifi) return channel == 0 || channel == 1 ? &wifi->stream(channel) : nullptr;
        return channel == 0 ? &ethernet->stream() : nullptr;
    }
};

bool descriptionReady() {
    try {
        zs::sim::referenceDescription(zs::sim::simLibraryFolder());
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

NetInstrument* asInstrument(void* handle) {
    return static_cast<NetInstrument*>(handle);
}

} // namespace

// A Wi-Fi instrument listening on `address` (host order, a loopback address): channel code 0
// (one channel), 55 (two) or 247 (two, combined form); channel 0 is an instrument of type
// 28, channel 1 of type 38, both running program 40, with the serial numbers given, streaming
// `recordsPerSecond` once switched on. Null when its ports cannot be taken.
SIM_EXPORT void* ZsSimNet_StartWiFi(uint32_t address, uint32_t channelCode, uint32_t serial0,
                                    uint32_t serial1, double recordsPerSecond) {
    if (!descriptionReady()) return nullptr;
    try {
        WiFiOptions o;
        o.address = address;
        o.channelCode = channelCode;
        o.identity[0] = StreamIdentity{28, 40, serial0};
        o.identity[1] = StreamIdentity{38, 40, serial1};
        o.recordsPerSecond = recordsPerSecond;
        auto instrument = std::make_unique<NetInstrument>();
        instrument->wifi = std::make_unique<SimWiFiInstrument>(o);
        if (!instrument->wifi->listening()) return nullptr;
        return instrument.release();
    } catch (const std::exception&) {
        return nullptr;
    }
}

// An Ethernet instrument of type 28, program 40, answering queries on UDP port 22 of
// `address`. Null when that port cannot be taken.
SIM_EXPORT void* ZsSimNet_StartEthernet(uint32_t address, uint32_t serial,
                                        double recordsPerSecond) {
    if (!descriptionReady()) return nullptr;
    try {
        EthernetOptions o;
        o.address = address;
        o.identity = StreamIdentity{28, 40, serial};
        o.recordsPerSecond = recordsPerSecond;
        auto instrument = std::make_unique<NetInstrument>();
        instrument->ethernet = std::make_unique<SimEthernetInstrument>(o);
        if (!instrument->ethernet->listening()) return nullptr;
        return instrument.release();
    } catch (const std::exception&) {
        return nullptr;
    }
}

// Stops an instrument and closes its ports; null is ignored.
SIM_EXPORT void ZsSimNet_Stop(void* handle) {
    delete asInstrument(handle);
}

// Waits at most `timeoutMs` for the command `name` (as the command log names it: "range",
// "streamMode", ...) after the first `skip` of them on a channel; 1 when it arrived, with its
// first value in *value (when it has one and value is not null), else 0.
SIM_EXPORT int ZsSimNet_WaitForCommand(void* handle, int channel, const char* name,
                                       uint32_t timeoutMs, uint32_t skip, int64_t* value) {
    NetInstrument* instrument = asInstrument(handle);
    StreamState* stream = instrument && name ? instrument->stream(channel) : nullptr;
    if (!stream) return 0;
    const auto command = stream->log.waitFor(name, timeoutMs, skip);
    if (!command) return 0;
    if (value && !command->values.empty()) *value = command->values.front();
    return 1;
}

// 1 when some record of the instrument identified by type, program and serial number (as the
// simulated instruments stream them) carries `value` for the cell (row, band set from 1,
// averaging index, column) in one of its first 2000 records; 0 when none does, -1 when the
// description has no such type or the cell is none of its values.
SIM_EXPORT int ZsSim_ValueSent(uint32_t type, uint32_t program, uint32_t serial, int row, int set,
                               int index, int column, double value) {
    if (!descriptionReady()) return -1;
    try {
        const zs::sim::StreamSource source = zs::sim::referenceSource(
            StreamIdentity{static_cast<uint16_t>(type), static_cast<uint16_t>(program), serial}, 0);
        for (const auto& item : source.items()) {
            if (item.channel != row || item.set != set || item.index != index ||
                item.column != column)
                continue;
            for (uint64_t n = 0; n < 2000; ++n)
                if (source.value(n, item) == value) return 1;
            return 0;
        }
        return -1;
    } catch (const std::exception&) {
        return -1;
    }
}
