#include "engine/control_commands.h"

#include "engine/command_engine.h"
#include "frame/mailbox.h"

#include <cmath>
#include <mutex>

namespace zs::engine {

using frame::DevStruct;

namespace {

constexpr double kTwo32 = 4294967296.0;
constexpr double kTwo63 = 9223372036854775808.0;

// floor(y + 0.5) as a 64-bit integer cut to its low 32 bits; none when y has no 64-bit
// value at all.
std::optional<uint32_t> lowWordOfRounded(double y) {
    const double r = std::floor(y + 0.5);
    if (!(r >= -kTwo63 && r < kTwo63)) return std::nullopt;
    return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(r)));
}

// The I/O thread rewrites the decoder state with every record: read it under its lock.
struct Identity {
    uint16_t deviceType, programNumber;
};
Identity identity(DevStruct& d) {
    std::lock_guard lock(*d.dataLock);
    return {d.state.deviceType, d.state.programNumber};
}

bool bandsPending(DevStruct& d) {
    std::lock_guard lock(*d.bandLock);
    return !d.bandBytes.empty();
}

void appendBands(DevStruct& d, const std::vector<uint16_t>& words) {
    {
        std::lock_guard lock(*d.bandLock);
        d.bandBytes.insert(d.bandBytes.end(), words.begin(), words.end());
    }
    frame::waitForSlot([&] { return !bandsPending(d); });
}

void putLong(std::vector<uint16_t>& words, uint32_t v, int32_t code) {
    words.push_back(static_cast<uint16_t>(v));
    words.push_back(static_cast<uint16_t>(v >> 16));
    words.push_back(static_cast<uint16_t>(code));
}

struct RateWindow {
    double centre, tolerance;
};
constexpr RateWindow kRates[] = {{1230000, 100000}, {614000, 1000}, {307000, 1000}, {154000, 1000},
                                 {96000, 100},      {48000, 100},   {24000, 100},   {12000, 100},
                                 {6000, 100},       {3000, 100},    {1500, 100},    {750, 10},
                                 {375, 10},         {187, 10},      {93.8, 5}};

constexpr double kLowFrequencyBandwidths[] = {1,  1.5, 2.2, 3.3, 4.7, 6.8, 10,  15,  22,  33,
                                              47, 68,  100, 150, 220, 330, 470, 680, 1000};

} // namespace

std::optional<uint16_t> samplingRateCode(double rate) {
    for (uint16_t code = 0; code < std::size(kRates); ++code)
        if (std::fabs(rate - kRates[code].centre) < kRates[code].tolerance) return code;
    return std::nullopt;
}

bool requestSigRegMode(DevStruct& d, double rate, double gain, uint32_t mask) {
    const auto code = samplingRateCode(rate);
    if (!code) return false;
    const auto gainWord = lowWordOfRounded(gain * 2);
    if (!gainWord) return false;
    if (mask < 1 || mask > 15) return false;
    const uint16_t type = identity(d).deviceType;
    if (type < 118 || type > 121) return false;
    d.sigRegParam = static_cast<int32_t>(mask << 16 | (*gainWord & 0xFFFF));
    frame::mailboxStoreAndWait(d.sigRegModeCmd, *code);
    return true;
}

std::optional<int32_t> fixed16(double x) {
    const double r = std::floor(x * 65536 + 0.5);
    if (std::isnan(r)) return std::nullopt;
    if (r >= 2147483647.0) return INT32_MAX;
    if (r <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(r);
}

bool requestCalibration(DevStruct& d, int32_t channel, double correction, double sensitivity,
                        double kBase) {
    const auto c = fixed16(correction);
    const auto s = fixed16(std::log10(sensitivity));
    const auto k = fixed16(std::log10(kBase));
    if (!c || !s || !k) return false;
    const uint32_t words[4] = {static_cast<uint32_t>(channel) << 16 | 17, static_cast<uint32_t>(*c),
                               static_cast<uint32_t>(*s), static_cast<uint32_t>(*k)};
    {
        std::lock_guard lock(*d.ringLock);
        const uint32_t e = d.ringWriteIndex.load() % kRingSize;
        for (int w = 0; w < 4; ++w)
            for (int b = 0; b < 4; ++b)
                d.commandRing[e].bytes[4 * w + b] = static_cast<uint8_t>(words[w] >> (8 * b));
        const uint32_t n = (e + 1) % kRingSize;
        if (n != d.ringReadIndex.load()) d.ringWriteIndex = n;
    }
    frame::waitForSlot([&] { return d.ringReadIndex.load() == d.ringWriteIndex.load(); });
    return true;
}

bool requestBands(DevStruct& d, double frequency, int32_t bandwidthCode, const int32_t* ratios) {
    std::vector<uint16_t> words;
    if (!isSyncFamily(d.linkKind)) {
        const uint16_t type = identity(d).deviceType;
        const double clock = type == 38 ? 1152000.0 : type == 132 ? 1228800.0 : 96000.0;
        const double x = frequency / clock * kTwo32 + 0.5;
        if (!(x >= 0 && x < kTwo32)) return false;
        const auto f = static_cast<uint32_t>(x);
        words = {16, static_cast<uint16_t>(f), static_cast<uint16_t>(f >> 16)};
        for (int i = 0; i < 6; ++i) words.push_back(static_cast<uint16_t>(ratios[i]));
        words.push_back(static_cast<uint16_t>(bandwidthCode));
    } else {
        // Every band is a ratio of the first; without a first there is no band set.
        if (ratios[0] == 0) return false;
        const double k = frequency / 96000.0 * kTwo32;
        words = {7};
        for (int i = 1; i <= 5; ++i) {
            const auto v = lowWordOfRounded(static_cast<double>(ratios[i]) * k / ratios[0]);
            if (!v) return false;
            putLong(words, *v, bandwidthCode);
        }
    }
    appendBands(d, words);
    return true;
}

bool requestLowFrequencyBands(DevStruct& d, double centre, int32_t bandwidthIndex) {
    const Identity id = identity(d);
    if (!isSyncFamily(d.linkKind) || id.programNumber != 42 || id.deviceType != 43) return false;
    if (bandwidthIndex < 0 ||
        bandwidthIndex >= static_cast<int32_t>(std::size(kLowFrequencyBandwidths)))
        return false;
    const double b = kLowFrequencyBandwidths[bandwidthIndex];
    if (!(4 * b <= centre && centre + 4 * b <= 96000)) return false;
    std::vector<uint16_t> words = {7};
    for (int m = -4; m <= 4; m += 2) {
        const auto v = lowWordOfRounded((centre + m * b) / 96000.0 * kTwo32);
        if (!v) return false;
        putLong(words, *v, bandwidthIndex);
    }
    appendBands(d, words);
    return true;
}

std::optional<int32_t> generatorWord(int32_t code, double value) {
    if (std::isnan(value)) return std::nullopt;
    switch (code) {
    case kGeneratorFrequency: {
        // 2^31 per 2 MHz; the word holds 0 up to 4 MHz.
        const double y = std::floor(value / 2000000.0 * 2147483648.0 + 0.5);
        if (!(y >= 0 && y < kTwo32)) return std::nullopt;
        return static_cast<int32_t>(static_cast<uint32_t>(y));
    }
    case kGeneratorAmplitude: {
        // Percent, 100 % = 65536, clamped to the word's 0xFFFF; nothing below 0.
        const double y = std::floor(value * 0.01 * 65536 + 0.5);
        if (!(y > 0)) return 0;
        return y >= 0xFFFF ? 0xFFFF : static_cast<int32_t>(y);
    }
    case kGeneratorLevel: {
        const double y = std::floor(value * 65536 + 0.5);
        if (!(y >= -2147483648.0 && y < 2147483648.0)) return std::nullopt;
        return static_cast<int32_t>(y);
    }
    default:
        return std::nullopt;
    }
}

bool requestGenerator(DevStruct& d, int32_t code, double value) {
    const auto word = generatorWord(code, value);
    if (!word || !d.generatorQueue) return false;
    d.generatorQueue->push({code, *word});
    return true;
}

} // namespace zs::engine
