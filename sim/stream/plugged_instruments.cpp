#include "plugged_instruments.h"

#include "sim_d2xx.h"
#include "sim_ftdi_instrument.h"

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace zs::sim {
namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        if (!part.empty()) parts.push_back(part);
    return parts;
}

uint32_t number(const std::string& text) {
    size_t used = 0;
    const unsigned long value = std::stoul(text, &used, 0);
    if (used != text.size() || value > 0xFFFFFFFFul) throw std::invalid_argument(text);
    return static_cast<uint32_t>(value);
}

struct Plan {
    std::string serial, description;
    FtdiInstrument model;
    StreamIdentity identity;
    const zsdesc::Layout* layout = nullptr;
    double recordsPerSecond = 10;
    bool silent = false;
    bool refuseOpen = false;
    std::vector<SignalTone> tones; // raw-signal mode, when not empty
};

// "F:A+F:A": tones of frequency F Hz and amplitude A (sample values).
std::vector<SignalTone> parseTones(const std::string& text) {
    std::vector<SignalTone> tones;
    for (const auto& tone : split(text, '+')) {
        const auto colon = tone.find(':');
        if (colon == std::string::npos) throw std::invalid_argument(tone);
        size_t used = 0;
        SignalTone t;
        t.frequency = std::stod(tone.substr(0, colon), &used);
        if (used != colon) throw std::invalid_argument(tone);
        t.amplitude = std::stod(tone.substr(colon + 1), &used);
        if (used != tone.size() - colon - 1) throw std::invalid_argument(tone);
        tones.push_back(t);
    }
    if (tones.empty()) throw std::invalid_argument(text);
    return tones;
}

// The raw signal of the instrument's type at normal speed (the only speed hosts select).
SignalModel signalModel(const zsdesc::SignalLayout& layout, const StreamIdentity& id,
                        std::vector<SignalTone> tones) {
    SignalModel m;
    m.deviceType = id.deviceType;
    m.program = id.programNumber;
    m.samplingRate = layout.samplingRateNormal;
    m.channels = layout.streamConfigNormal & 0xF;
    m.format = (layout.streamConfigNormal >> 4) & 0xF;
    m.tones = std::move(tones);
    // Hosts on a busy machine may read late; a deep FIFO keeps the signal continuous.
    m.maxBacklogMs = 2000;
    return m;
}

const zsdesc::Layout& layoutOf(const zsdesc::Description& description, uint16_t type) {
    for (const auto& layout : description.layouts)
        if (layout.typeCode == type) return layout;
    throw std::invalid_argument("no layout for type " + std::to_string(type));
}

const zsdesc::SignalLayout& signalLayoutOf(const zsdesc::Description& description, uint16_t type) {
    for (const auto& layout : description.signalLayouts)
        if (layout.typeCode == type) return layout;
    throw std::invalid_argument("no signal layout for type " + std::to_string(type));
}

Plan parseDevice(const std::string& text, const zsdesc::Description& description) {
    const auto fields = split(text, '|');
    if (fields.size() < 2 || fields.size() > 3) throw std::invalid_argument(text);
    Plan plan;
    plan.serial = fields[0];
    plan.description = fields[1];
    StreamIdentity& id = plan.identity;
    for (const auto& item :
         fields.size() == 3 ? split(fields[2], ',') : std::vector<std::string>{}) {
        const auto eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        FtdiInstrument& m = plan.model;
        if (key == "family") {
            if (value == "tagged") {
                m.family = FtdiInstrument::Family::Tagged;
            } else if (value == "sync") {
                m.family = FtdiInstrument::Family::Sync;
            } else if (value == "none") {
                plan.silent = true;
            } else {
                throw std::invalid_argument(item);
            }
        } else if (key == "rate") {
            m.rate = number(value);
        } else if (key == "packet") {
            m.packetRate = true;
        } else if (key == "noquery") {
            m.answersQuery = false;
        } else if (key == "rates") {
            for (const auto& r : split(value, '+')) m.rateList.push_back(number(r));
        } else if (key == "mask") {
            m.resetMask = static_cast<uint8_t>(number(value));
        } else if (key == "programs") {
            for (const auto& p : split(value, '+'))
                m.programs.push_back(static_cast<uint16_t>(number(p)));
        } else if (key == "streams") {
            m.streams = true;
        } else if (key == "type") {
            id.deviceType = static_cast<uint16_t>(number(value));
        } else if (key == "program") {
            id.programNumber = static_cast<uint16_t>(number(value));
        } else if (key == "vin") {
            id.serialNumber = number(value);
        } else if (key == "records") {
            plan.recordsPerSecond = number(value);
        } else if (key == "refuse-open") {
            plan.refuseOpen = true;
        } else if (key == "signal") {
            plan.tones = parseTones(value);
        } else {
            throw std::invalid_argument(item);
        }
    }
    plan.layout = &layoutOf(description, id.deviceType);
    if (!plan.tones.empty()) {
        const zsdesc::SignalLayout& signal = signalLayoutOf(description, id.deviceType);
        plan.model.signalNormal = signalModel(signal, id, plan.tones);
        plan.model.signalFast = plan.model.signalNormal;
        plan.model.signalFast->samplingRate = signal.samplingRateHigh;
        plan.model.signalFast->channels = signal.streamConfigHigh & 0xF;
        plan.model.signalFast->format = (signal.streamConfigHigh >> 4) & 0xF;
    }
    return plan;
}

struct WinUsbPlan {
    std::u16string path;
    StreamIdentity identity;
    double recordsPerSecond = 10;
    std::vector<SignalTone> tones;
};

WinUsbPlan parseWinUsbDevice(const std::string& text) {
    const auto fields = split(text, '|');
    if (fields.empty() || fields.size() > 2) throw std::invalid_argument(text);
    WinUsbPlan plan;
    plan.path.assign(fields[0].begin(), fields[0].end());
    for (const auto& item :
         fields.size() == 2 ? split(fields[1], ',') : std::vector<std::string>{}) {
        const auto eq = item.find('=');
        if (eq == std::string::npos) throw std::invalid_argument(item);
        const std::string key = item.substr(0, eq);
        const std::string value = item.substr(eq + 1);
        if (key == "type") {
            plan.identity.deviceType = static_cast<uint16_t>(number(value));
        } else if (key == "program") {
            plan.identity.programNumber = static_cast<uint16_t>(number(value));
        } else if (key == "vin") {
            plan.identity.serialNumber = number(value);
        } else if (key == "records") {
            plan.recordsPerSecond = number(value);
        } else if (key == "signal") {
            plan.tones = parseTones(value);
        } else {
            throw std::invalid_argument(item);
        }
    }
    return plan;
}

// The device's write hook becomes `first`, then the hook attached since.
template <class Device, class Hook>
void writesGoFirstTo(Device& device, Hook first) {
    auto then = std::move(device.onWrite);
    device.onWrite = [first, then](Device& d, const uint8_t* bytes, size_t length) {
        first(d, bytes, length);
        then(d, bytes, length);
    };
}

} // namespace

// Identification first; every byte written also reaches the stream, which starts on the
// stream-on command (for the tagged family that is the acknowledge too).
std::shared_ptr<FtdiStreamInstrument>
attachStreamingFtdi(SimD2xxDevice& device, FtdiInstrument model, StreamSource source) {
    return SimD2xx::instance().locked([&] {
        model.record = source.record(0);
        const Framing framing =
            model.family == FtdiInstrument::Family::Tagged ? Framing::Tagged : Framing::Sync;
        FtdiInstrument::attach(device, std::move(model));
        auto identify = std::move(device.onWrite);
        auto stream = FtdiStreamInstrument::attach(device, std::move(source), framing);
        writesGoFirstTo(device, std::move(identify));
        return stream;
    });
}

std::shared_ptr<WinUsbStreamInstrument>
attachStreamingWinUsb(SimWinUsbDevice& device, WinUsbInstrument model, StreamSource source,
                      std::shared_ptr<WinUsbInstrument>* identity) {
    return SimWinUsb::instance().locked([&] {
        model.record = source.record(0);
        model.deviceType = source.identity().deviceType;
        model.serialNumber = source.identity().serialNumber;
        auto identifies = WinUsbInstrument::attach(device, std::move(model));
        if (identity) *identity = identifies;
        auto identify = std::move(device.onWrite);
        auto stream = WinUsbStreamInstrument::attach(device, std::move(source));
        writesGoFirstTo(device, std::move(identify));
        return stream;
    });
}

std::optional<std::vector<PluggedWinUsb>>
plugWinUsbInstruments(const std::string& text, const zsdesc::Description& description) {
    struct Ready {
        WinUsbPlan plan;
        const zsdesc::Layout* layout;
        std::optional<SignalModel> signal;
    };
    std::vector<Ready> ready;
    try {
        for (const auto& device : split(text, ';')) {
            WinUsbPlan plan = parseWinUsbDevice(device);
            const zsdesc::Layout& layout = layoutOf(description, plan.identity.deviceType);
            std::optional<SignalModel> signal;
            if (!plan.tones.empty())
                signal = signalModel(signalLayoutOf(description, plan.identity.deviceType),
                                     plan.identity, plan.tones);
            ready.push_back({std::move(plan), &layout, std::move(signal)});
        }
    } catch (const std::exception&) {
        return std::nullopt;
    }
    SimWinUsb& usb = SimWinUsb::instance();
    std::vector<PluggedWinUsb> plugged;
    for (auto& r : ready) {
        SimWinUsbDevice& device = usb.addDevice(r.plan.path);
        PluggedWinUsb p{r.plan.path, nullptr, nullptr};
        WinUsbInstrument model;
        model.signal = std::move(r.signal);
        p.stream = attachStreamingWinUsb(
            device, std::move(model),
            StreamSource(*r.layout, r.plan.identity, r.plan.recordsPerSecond), &p.identity);
        plugged.push_back(std::move(p));
    }
    return plugged;
}

bool plugInstruments(const std::string& text, const zsdesc::Description& description) {
    std::vector<Plan> plans;
    try {
        for (const auto& device : split(text, ';'))
            plans.push_back(parseDevice(device, description));
    } catch (const std::exception&) {
        return false;
    }
    SimD2xx& sim = SimD2xx::instance();
    for (auto& plan : plans) {
        SimD2xxDevice& device = sim.addDevice(plan.serial, plan.description);
        if (plan.refuseOpen)
            sim.locked([&] { return device.failingRoles |= roleBit(D2xxRole::Open); });
        if (plan.silent) continue;
        attachStreamingFtdi(device, std::move(plan.model),
                            StreamSource(*plan.layout, plan.identity, plan.recordsPerSecond));
    }
    return true;
}

} // namespace zs::sim
