// The host's settings for each kind of generator: SCPI texts for generators, the module
// state for output modules (its reader thread sends that).
#include "generators/gen_device.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace zs::generators {
namespace {

constexpr uint32_t kChannels = 9;

bool usable(bool isOpen, uint32_t channel) {
    return isOpen && channel < kChannels;
}

} // namespace

bool GenDevice::sendCommand(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::vector<char> text(n > 0 ? static_cast<size_t>(n) + 1 : 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    return send(std::string_view(text.data(), n > 0 ? static_cast<size_t>(n) : 0)) == 0;
}

bool GenDevice::setFrequency(double hz, uint32_t channel) {
    if (!usable(isOpen_, channel)) return false;
    if (kind_ == GenKind::Module) return module_.setFrequency(hz);
    if (!(hz > 0.0)) return false;
    return channel == 0 ? sendCommand("FREQ %.6lf", hz)
                        : sendCommand("SOURCE%d:FREQ %.6lf", static_cast<int>(channel) + 1, hz);
}

bool GenDevice::setLevel(double volts, uint32_t channel) {
    if (!usable(isOpen_, channel) || !(volts > 0.0)) return false;
    switch (kind_) {
    case GenKind::Module:
        module_.setLevel(20.0 * std::log10(volts / 10.0));
        return true;
    case GenKind::Stanford:
        return sendCommand("AMPL %.6lf V%c", volts, units_ == 2 ? 'P' : 'R');
    default:
        return channel == 0
                   ? sendCommand("VOLT %.6lf", volts)
                   : sendCommand("SOURCE%d:VOLT %.6lf", static_cast<int>(channel) + 1, volts);
    }
}

bool GenDevice::setOffset(double volts, uint32_t channel) {
    if (!usable(isOpen_, channel)) return false;
    if (kind_ == GenKind::Module) return volts == 0.0;
    if (!(volts > 0.0)) return false;
    if (kind_ == GenKind::Stanford) return sendCommand("OFFS %.6lf", volts);
    return channel == 0
               ? sendCommand("VOLT:OFFS %.6lf", volts)
               : sendCommand("SOURCE%d:VOLT:OFFS %.6lf", static_cast<int>(channel) + 1, volts);
}

bool GenDevice::setUnits(int32_t units, uint32_t channel) {
    if (!usable(isOpen_, channel)) return false;
    if (kind_ == GenKind::Module) return units == 1;
    units_ = units;
    if (kind_ == GenKind::Stanford) return true; // goes with the next amplitude
    const char* text = units == 1 ? "VRMS" : units == 2 ? "VPP" : nullptr;
    if (!text) return false;
    return channel == 0 ? sendCommand("VOLT:UNIT %s", text)
                        : sendCommand("SOURCE%d:VOLT:UNIT %s", static_cast<int>(channel) + 1, text);
}

bool GenDevice::setOutputState(int32_t on, uint32_t channel) {
    if (!usable(isOpen_, channel)) return false;
    const int state = on != 0 ? 1 : 0;
    switch (kind_) {
    case GenKind::Module:
        module_.setOutput(state != 0);
        return true;
    case GenKind::Stanford:
        return sendCommand("OUTE %d", state);
    default:
        return channel == 0 ? sendCommand("OUTPUT %d", state)
                            : sendCommand("OUTPUT%d %d", static_cast<int>(channel) + 1, state);
    }
}

bool GenDevice::setOutputLoad(double ohms, uint32_t channel) {
    if (!usable(isOpen_, channel)) return false;
    switch (kind_) {
    case GenKind::Module:
        return ohms < 0.0;
    case GenKind::Stanford:
        if (ohms < 0.0 || ohms >= 1000.0) return sendCommand("TERM 3");
        if (std::fabs(ohms - 50.0) < 1.0) return sendCommand("TERM 0");
        if (std::fabs(ohms - 150.0) < 1.0) return sendCommand("TERM 1");
        if (std::fabs(ohms - 600.0) < 1.0) return sendCommand("TERM 2");
        return false;
    default: {
        char suffix[16] = "";
        if (channel > 0) std::snprintf(suffix, sizeof suffix, "%d", static_cast<int>(channel) + 1);
        return ohms > 0.0 ? sendCommand("OUTPUT%s:LOAD %.3lf", suffix, ohms)
                          : sendCommand("OUTPUT%s:LOAD INF", suffix);
    }
    }
}

bool GenDevice::setSignalType(int32_t waveform, uint32_t channel) {
    if (!usable(isOpen_, channel)) return false;
    char text[8];
    switch (kind_) {
    case GenKind::Module:
        return waveform == 1;
    case GenKind::Stanford:
        if (waveform < 1 || waveform > 5) return false;
        std::snprintf(text, sizeof text, "%d", waveform - 1);
        break;
    default:
        if (waveform == 1)
            std::snprintf(text, sizeof text, "SIN");
        else if (waveform == 2)
            std::snprintf(text, sizeof text, "SQU");
        else
            return false;
    }
    return channel == 0 ? sendCommand("FUNC %s", text)
                        : sendCommand("SOURCE%d:FUNC %s", static_cast<int>(channel) + 1, text);
}

} // namespace zs::generators
