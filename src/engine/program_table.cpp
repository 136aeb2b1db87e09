#include "engine/program_table.h"

#include <array>

namespace zs::engine {
namespace {

constexpr uint32_t kSettleMs = 2000;

// Indices match the program numbers the instruments report where the two coincide: 5 the
// Wi-Fi sound level meter, 40/41 the four-channel analyser, 42 the seismic filter bank, 50
// the tunable filters, 55 the two-channel FFT, 60-63 the recorders, 70 the three-sensor
// analyser. 54-67 live in a folder of the instrument's program store.
constexpr std::array<ProgramEntry, kProgramCount> kPrograms = {{
    {u"OCT1/1", kSettleMs},
    {u"OCT1/3", kSettleMs},
    {u"OCT1/6", kSettleMs},
    {u"OCT1/12", kSettleMs},
    {u"SLM", kSettleMs},
    {u"SLM_INT", kSettleMs},
    {u"SLM_STAT", kSettleMs},
    {u"SLM_LOG", kSettleMs},
    {u"FFT800", 4000}, // builds its window tables on load
    {u"FFT400", kSettleMs},
    {u"FFT1600", kSettleMs},
    {u"FFT3200", kSettleMs},
    {u"VIBRO", kSettleMs},
    {u"VIBRO_3AX", kSettleMs},
    {u"VIBRO_ENV", kSettleMs},
    {u"INFRA", kSettleMs},
    {u"ULTRA", kSettleMs},
    {u"RT60", kSettleMs},
    {u"NOISE_DOSE", kSettleMs},
    {u"BUILDING", kSettleMs},
    {u"AIRBORNE", kSettleMs},
    {u"IMPACT", kSettleMs},
    {u"TRAFFIC", kSettleMs},
    {u"TONAL", kSettleMs},
    {u"LOUDNESS", kSettleMs},
    {u"SPEECH", kSettleMs},
    {u"HUMAN_VIB", kSettleMs},
    {u"HAND_ARM", kSettleMs},
    {u"WHOLE_BODY", kSettleMs},
    {u"MODAL", 3000},
    {u"ORDER", 3000},
    {u"BALANCE", kSettleMs},
    {u"RUNUP", kSettleMs},
    {u"BEARING", kSettleMs},
    {u"SEISMIC", 4000}, // waits for the sensors' long settling
    {u"SHOCK", kSettleMs},
    {u"SIGNAL", kSettleMs},
    {u"CAL_CHECK", kSettleMs},
    {u"GENERATOR", kSettleMs},
    {u"SOUND", kSettleMs},
    {u"VIBRATION", kSettleMs},
    {u"LF5BAND", kSettleMs},
    {u"LF_FFT", kSettleMs},
    {u"LF_OCT1/3", kSettleMs},
    {u"DUAL_FFT", kSettleMs},
    {u"TRANSFER", kSettleMs},
    {u"COHERENCE", kSettleMs},
    {u"INTENSITY", kSettleMs},
    {u"POWER", kSettleMs},
    {u"FILTER6", kSettleMs},
    {u"ENVELOPE", kSettleMs},
    {u"CEPSTRUM", kSettleMs},
    {u"TACHO", kSettleMs},
    {u"FFT\\FFT200_2CH", kSettleMs},
    {u"FFT\\FFT400_2CH", kSettleMs},
    {u"FFT\\FFT800_2CH", kSettleMs},
    {u"FFT\\ZOOM_FFT_2CH", kSettleMs},
    {u"OCTAVE\\OCT1/3_4CH", kSettleMs},
    {u"OCTAVE\\OCT1/1_4CH", kSettleMs},
    {u"RECORD\\SLM_REC", kSettleMs},
    {u"RECORD\\NOISE_2CH", kSettleMs},
    {u"RECORD\\VIBRO_4CH", kSettleMs},
    {u"RECORD\\ACOUSTIC_4CH", kSettleMs},
    {u"RECORD\\WAVE_1CH", kSettleMs},
    {u"SERVICE\\SELFTEST", kSettleMs},
    {u"SERVICE\\FIRMWARE_INFO", kSettleMs},
    {u"SERVICE\\BATTERY", kSettleMs},
    {u"_SigReg", kSettleMs},
    {u"_calibr", kSettleMs},
    {u"_sens", kSettleMs},
    {u"_usb_audio", kSettleMs},
}};

constexpr bool namesFit() {
    for (const auto& p : kPrograms)
        if (p.name.empty() || p.name.size() > kProgramNameMax) return false;
    return true;
}
static_assert(namesFit());

} // namespace

std::optional<ProgramEntry> programEntry(int32_t index) {
    if (index < 1 || index > kProgramCount) return std::nullopt;
    return kPrograms[static_cast<size_t>(index - 1)];
}

} // namespace zs::engine
