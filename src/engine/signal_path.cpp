#include "engine/signal_path.h"

#include "platform/little_endian.h"
#include "telemetry/description_file.h"
#include "telemetry/record_decoder.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numbers>

namespace zs::engine {
namespace {

// Second-order high-pass below the audio band, its coefficients as the instruments' own
// analysis uses them, so that host and instrument spectra agree.
constexpr double kB0 = 0.9996298282940682;
constexpr double kA1 = 1.9992595195610399;
constexpr double kA2 = 0.999259793615233;

constexpr uint32_t kTypeOffsetFromEnd = 16;
constexpr size_t kShortestBlock = 16;

const telemetry::SignalLayout kNoSignalLayout{};

uint32_t trailerLength(const telemetry::SignalLayout& layout) {
    uint64_t length = 0;
    for (const uint32_t word : layout.trailerWords) length += telemetry::itemSize(word);
    return static_cast<uint32_t>(std::min<uint64_t>(length, UINT32_MAX));
}

// Format by format, so the per-sample loop has no branch on the format.
template <uint32_t Format>
int32_t decode(const uint8_t* p) {
    if constexpr (Format == 0) {
        return static_cast<int16_t>(platform::le16(p));
    } else if constexpr (Format == 1) {
        return static_cast<int32_t>(p[0] | p[1] << 8) + 65536 * static_cast<int8_t>(p[2]);
    } else if constexpr (Format == 2) {
        return static_cast<int32_t>(platform::le32(p));
    } else if constexpr (Format == 3) {
        return static_cast<int8_t>(p[0]) + 256 * p[1] + 65536 * static_cast<int8_t>(p[2]);
    } else {
        return 128 * static_cast<int16_t>(platform::le16(p));
    }
}

constexpr uint32_t kSampleSizes[5] = {2, 3, 4, 3, 2};

// Runs the samples of one block through the filter into the ring [buffer, end), starting
// at `write`; returns the new write position. With no ring the samples are filtered but
// not stored.
template <uint32_t Format>
double* convert(frame::DevStruct& d, const uint8_t* p, size_t count, uint32_t channels,
                double* buffer, double* end, double* write) {
    constexpr uint32_t size = kSampleSizes[Format];
    uint32_t channel = 0;
    for (size_t i = 0; i < count; ++i, p += size) {
        const double y =
            highPassSample(d, static_cast<double>(decode<Format>(p)), channel, channels);
        if (!buffer) continue;
        *write = y;
        if (++write == end) write = buffer;
    }
    return write;
}

} // namespace

double fadeIn(uint32_t n) {
    return 1.0 - std::cos(std::numbers::pi * n / 1000.0);
}

void roundSignificant5(double& value) {
    if (!(value > 0.0)) return;
    const double e = std::floor(std::log10(value));
    const double m = value * std::pow(10.0, -e);
    value = (std::floor(m * 10000.0 + 0.5) / 10000.0) * std::pow(10.0, e);
}

uint32_t sampleSize(uint32_t format) {
    return format < 5 ? kSampleSizes[format] : 0;
}

int32_t sampleValue(uint32_t format, const uint8_t* bytes) {
    switch (format) {
    case 0:
        return decode<0>(bytes);
    case 1:
        return decode<1>(bytes);
    case 2:
        return decode<2>(bytes);
    case 3:
        return decode<3>(bytes);
    case 4:
        return decode<4>(bytes);
    default:
        return 0;
    }
}

void conditionChannels(frame::DevStruct& d, const telemetry::DescriptionTable& table) {
    const auto found = table.signalLayouts.find(d.state.deviceType);
    const telemetry::SignalLayout& layout =
        found != table.signalLayouts.end() ? found->second : kNoSignalLayout;
    const uint32_t n = std::min<uint32_t>(d.state.streamConfig & 0xF, 8);
    for (uint32_t c = 0; c < 8; ++c) {
        const telemetry::ChannelRow& row = d.rows[c];
        if (c < n) {
            d.channelScale[c] = layout.initialFactor;
            d.channelCorrection[c] = std::floor(row.correction * 100.0 + 0.5) / 100.0;
            d.baseLevel[c] = row.kBaseCopy != 0.0 ? row.kBaseCopy : layout.fallbackFactor;
        } else {
            d.channelScale[c] = 1.0;
            d.channelCorrection[c] = 0.0;
            d.baseLevel[c] = 1.0;
        }
        d.channelUnits[c] = layout.unitText;
    }
    // A range field beyond the instrument's four ranges gets no gain of its own.
    const uint32_t range = d.state.rangeWord & 0xF;
    const double rangeGain = range < layout.rangeFactors.size() ? layout.rangeFactors[range] : 1.0;
    for (uint32_t c = 0; c < 8; ++c) {
        const telemetry::ChannelRow& row = d.rows[c];
        d.channelGain[c] = row.factor500D != 0.0 ? row.factor500D : rangeGain;
        d.channelFactor[c] = row.correctionFactor != 0.0
                                 ? row.correctionFactor
                                 : std::pow(10.0, d.channelCorrection[c] / -20.0);
        if (row.inverseSensitivity != 0.0) d.channelScale[c] = row.inverseSensitivity;
        roundSignificant5(d.channelScale[c]);
        roundSignificant5(d.baseLevel[c]);
    }
}

double highPassSample(frame::DevStruct& d, double x, uint32_t& channel, uint32_t channelCount) {
    const uint32_t i = channel;
    double u = x * d.channelGain[i];
    if (d.settleCount < kSettleFrames) u = fadeIn(d.settleCount) * u;
    const double y =
        kB0 * (u - 2.0 * d.filterX1[i] + d.filterX2[i]) + kA1 * d.filterY1[i] - kA2 * d.filterY2[i];
    d.filterX2[i] = d.filterX1[i];
    d.filterX1[i] = u;
    d.filterY2[i] = d.filterY1[i];
    d.filterY1[i] = y;
    const double result = y * d.channelFactor[i] * d.channelScale[i];
    channel = i + 1;
    if (channel >= channelCount) {
        channel = 0;
        if (d.settleCount < kSettleFrames) ++d.settleCount;
    }
    return result;
}

void processSignalBlock(frame::DevStruct& d, const telemetry::DescriptionTable& table,
                        std::span<const uint8_t> block) {
    if (block.size() <= kShortestBlock) return;
    {
        // Without a thread start there are no locks, and no thread to race with.
        std::unique_lock<std::mutex> lock;
        if (d.dataLock) lock = std::unique_lock(*d.dataLock);
        const uint16_t type = platform::le16(block.data() + block.size() - kTypeOffsetFromEnd);
        d.state.deviceType = type;
        if (type < 28) d.state.programNumber = type;
        const auto found = table.signalLayouts.find(type);
        const uint32_t t = found != table.signalLayouts.end() ? trailerLength(found->second) : 0;
        if (t >= block.size()) return;
        telemetry::decodeSignalTrailer(table, block, d.highSpeed != 0, d.rows, d.state);
        block = block.first(block.size() - t);
        conditionChannels(d, table);
    }
    const uint32_t channels = std::min<uint32_t>(d.state.streamConfig & 0xF, 8);
    const uint32_t format = (d.state.streamConfig >> 4) & 0xF;
    const uint32_t size = sampleSize(format);
    const size_t count = size ? block.size() / size : 0;

    std::lock_guard binding(d.signalBufferLock);
    double* const buffer = d.signalBufferLength > 0 ? d.signalBuffer : nullptr;
    double* const end = buffer ? buffer + d.signalBufferLength : nullptr;
    double* write = d.signalWritePtr.load();
    // A pointer that is not inside the ring (nothing bound yet) starts at its beginning.
    if (buffer && (write < buffer || write >= end)) write = buffer;
    if (count) {
        const uint8_t* p = block.data();
        switch (format) {
        case 0:
            write = convert<0>(d, p, count, channels, buffer, end, write);
            break;
        case 1:
            write = convert<1>(d, p, count, channels, buffer, end, write);
            break;
        case 2:
            write = convert<2>(d, p, count, channels, buffer, end, write);
            break;
        case 3:
            write = convert<3>(d, p, count, channels, buffer, end, write);
            break;
        case 4:
            write = convert<4>(d, p, count, channels, buffer, end, write);
            break;
        default:
            break;
        }
    }
    if (buffer) d.signalWritePtr.exchange(write);
}

void bindSignalBuffer(frame::DevStruct& d, double* buffer, int32_t length) {
    std::lock_guard binding(d.signalBufferLock);
    d.signalBuffer = buffer;
    d.signalBufferLength = length;
    d.signalWritePtr.exchange(buffer);
}

} // namespace zs::engine
