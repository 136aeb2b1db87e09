// Control commands: each leaves its command in one of the device's slots for the I/O thread.
#include "api/guard.h"
#include "api/records.h"
#include "engine/control_commands.h"
#include "engine/io_threads.h"
#include "frame/mailbox.h"
#include "zentrel_signal.h"

using namespace zs;
using frame::DevStruct;
using frame::LibraryState;

namespace {

// Rule P, then the mailbox store and its wait of up to 500 ms.
void mailbox(int32_t index, std::atomic<int32_t> DevStruct::*box, int32_t value) {
    api::guardedVoid([&](LibraryState& s) {
        api::readDevice<int>(s, index, 0, [&](DevStruct& d) {
            frame::mailboxStoreAndWait(d.*box, value);
            return 0;
        });
    });
}

template <class Body>
void onDevice(int32_t index, Body&& body) {
    api::guardedVoid([&](LibraryState& s) {
        api::readDevice<int>(s, index, 0, [&](DevStruct& d) {
            body(d);
            return 0;
        });
    });
}

// The generator setters count the list first (unsigned), then look the device up.
int32_t generator(int32_t index, int32_t code, double value) {
    return api::guarded<int32_t>(0, [&](LibraryState& s) {
        if (static_cast<uint32_t>(index) >= s.devices.size()) return 0;
        return api::readDevice<int32_t>(s, index, 0, [&](DevStruct& d) {
            return engine::requestGenerator(d, code, value) ? 1 : 0;
        });
    });
}

} // namespace

extern "C" {

ZS_EXPORT int32_t ZS_CALL K427_SetSMode(uint32_t index, int32_t mode) {
    return ZS_EXPORT_CALL(index, mode).run([&]() -> int32_t {
        return api::guarded<int32_t>(
            0, [&](LibraryState&) { return engine::setStreamMode(index, mode); });
    });
}

ZS_EXPORT void ZS_CALL K427_SendResetCmd(int32_t index) {
    ZS_EXPORT_CALL(index).run([&] { mailbox(index, &DevStruct::resetCmd, 1); });
}

ZS_EXPORT void ZS_CALL K427_SendStartStopCmd(int32_t index) {
    ZS_EXPORT_CALL(index).run([&] { mailbox(index, &DevStruct::startStopCmd, 1); });
}

ZS_EXPORT void ZS_CALL K427_SendStartCmd(int32_t index) {
    ZS_EXPORT_CALL(index).run([&] { mailbox(index, &DevStruct::startCmd, 1); });
}

ZS_EXPORT void ZS_CALL K427_SendStopCmd(int32_t index) {
    ZS_EXPORT_CALL(index).run([&] { mailbox(index, &DevStruct::stopCmd, 1); });
}

ZS_EXPORT void ZS_CALL K427_SendRangeCmd(int32_t index, int32_t range) {
    ZS_EXPORT_CALL(index, range).run([&] { mailbox(index, &DevStruct::rangeCmd, range); });
}

ZS_EXPORT void ZS_CALL K427_SendPolCmd(int32_t index, int32_t polarity) {
    ZS_EXPORT_CALL(index, polarity).run([&] { mailbox(index, &DevStruct::polCmd, polarity); });
}

ZS_EXPORT void ZS_CALL K427_SendIcpModeCmd(int32_t index, int32_t mode) {
    ZS_EXPORT_CALL(index, mode).run([&] { mailbox(index, &DevStruct::icpModeCmd, mode); });
}

ZS_EXPORT void ZS_CALL K427_SendZChModeCmd(int32_t index, int32_t mode) {
    ZS_EXPORT_CALL(index, mode).run([&] { mailbox(index, &DevStruct::zChModeCmd, mode); });
}

ZS_EXPORT void ZS_CALL K427_ResetDevice(int32_t index) {
    ZS_EXPORT_CALL(index).run([&] { mailbox(index, &DevStruct::resetDeviceCmd, 1); });
}

ZS_EXPORT void ZS_CALL K427_SetDateTime(int32_t index) {
    ZS_EXPORT_CALL(index).run([&] { mailbox(index, &DevStruct::dateTimeCmd, 1); });
}

ZS_EXPORT void ZS_CALL K427_SendSigRegModeCmd(int32_t index, const double* rate, const double* gain,
                                              uint32_t channelMask) {
    ZS_EXPORT_CALL(index, rate, gain, channelMask).run([&] {
        if (!rate || !gain) return;
        // The rate, gain and mask are checked before the device is looked up.
        const double r = *rate, g = *gain;
        if (!engine::samplingRateCode(r) || channelMask < 1 || channelMask > 15) return;
        onDevice(index, [&](DevStruct& d) { engine::requestSigRegMode(d, r, g, channelMask); });
    });
}

ZS_EXPORT void ZS_CALL K427_SendCalibrationCmd(int32_t index, int32_t channel,
                                               const double* correction, const double* sensitivity,
                                               const double* kBase) {
    ZS_EXPORT_CALL(index, channel, correction, sensitivity, kBase).run([&] {
        if (!correction || !sensitivity || !kBase) return;
        onDevice(index, [&](DevStruct& d) {
            engine::requestCalibration(d, channel, *correction, *sensitivity, *kBase);
        });
    });
}

ZS_EXPORT void ZS_CALL K427_SendSetBandsCmd(int32_t index, const double* frequency,
                                            int32_t bandwidthCode, const int32_t* ratios) {
    ZS_EXPORT_CALL(index, frequency, bandwidthCode, ratios).run([&] {
        if (!frequency || !ratios) return;
        onDevice(index,
                 [&](DevStruct& d) { engine::requestBands(d, *frequency, bandwidthCode, ratios); });
    });
}

ZS_EXPORT void ZS_CALL K427_SendSetBandsCmdLF(int32_t index, const double* centre,
                                              int32_t bandwidthIndex) {
    ZS_EXPORT_CALL(index, centre, bandwidthIndex).run([&] {
        if (!centre) return;
        onDevice(index, [&](DevStruct& d) {
            engine::requestLowFrequencyBands(d, *centre, bandwidthIndex);
        });
    });
}

ZS_EXPORT int32_t ZS_CALL QM730_SetAmp(int32_t index, double amplitude) {
    return ZS_EXPORT_CALL(index, amplitude).run([&]() -> int32_t {
        return generator(index, engine::kGeneratorAmplitude, amplitude);
    });
}

ZS_EXPORT int32_t ZS_CALL QM730_SetFrequency(int32_t index, double frequency) {
    return ZS_EXPORT_CALL(index, frequency).run([&]() -> int32_t {
        return generator(index, engine::kGeneratorFrequency, frequency);
    });
}

ZS_EXPORT int32_t ZS_CALL QM730_SetLevel(int32_t index, double level) {
    return ZS_EXPORT_CALL(index, level).run([&]() -> int32_t {
        return generator(index, engine::kGeneratorLevel, level);
    });
}

} // extern "C"
