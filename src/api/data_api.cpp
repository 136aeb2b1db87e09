// Result values, their labels, and the spectrum of the tele ring.
#include "api/guard.h"
#include "api/records.h"
#include "api/text_out.h"
#include "frame/fourier.h"
#include "frame/result_access.h"
#include "zentrel_signal.h"

using namespace zs;
using frame::DevStruct;
using frame::LibraryState;
using telemetry::CDataProcessor;

namespace {
constexpr int32_t kTeleRingLength = 131072;

// A device's data lock, which its I/O thread holds while it decodes or reshapes the tables;
// none for a file.
std::mutex* lockOf(DevStruct* d) {
    return d ? d->dataLock.get() : nullptr;
}
} // namespace

extern "C" {

ZS_EXPORT double ZS_CALL K427_GetData(int32_t index, int32_t row, int32_t group,
                                      int32_t averagingIndex, int32_t column) {
    return ZS_EXPORT_CALL(index, row, group, averagingIndex, column).run([&]() -> double {
        if (static_cast<uint32_t>(row) >= 8 || static_cast<uint32_t>(group) > 2) return -1.0;
        return api::guarded<double>(-1.0, [&](LibraryState& s) {
            return api::readMixed<double>(s, index, -1.0, [&](CDataProcessor& r, DevStruct* d) {
                return frame::readResult(r, row, group, averagingIndex, column, lockOf(d));
            });
        });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_GetAverName(int32_t index, int32_t group, int32_t averagingIndex,
                                           ZS_WCHAR* buffer, int32_t bufferLength) {
    return ZS_EXPORT_CALL(index, group, averagingIndex, buffer, bufferLength).run([&]() -> int32_t {
        api::clearText(buffer, bufferLength);
        if (!buffer || bufferLength <= 0) return 0;
        return api::guarded<int32_t>(0, [&](LibraryState& s) {
            return api::readMixed<int32_t>(s, index, 0, [&](CDataProcessor& r, DevStruct* d) {
                std::u16string name;
                if (!frame::averagingName(r, group, averagingIndex, name, lockOf(d))) return 0;
                return api::copyText(name, buffer, bufferLength);
            });
        });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_GetBandName(int32_t index, int32_t group, int32_t averagingIndex,
                                           int32_t band, ZS_WCHAR* buffer, int32_t bufferLength) {
    return ZS_EXPORT_CALL(index, group, averagingIndex, band, buffer, bufferLength)
        .run([&]() -> int32_t {
            api::clearText(buffer, bufferLength);
            if (!buffer || bufferLength <= 0) return 0;
            return api::guarded<int32_t>(0, [&](LibraryState& s) {
                return api::readMixed<int32_t>(s, index, 0, [&](CDataProcessor& r, DevStruct* d) {
                    std::u16string label;
                    if (!frame::bandLabel(s.description, r, group, averagingIndex, band, label,
                                          lockOf(d)))
                        return 0;
                    return api::copyText(label, buffer, bufferLength);
                });
            });
        });
}

ZS_EXPORT int32_t ZS_CALL GetSpectrum(double* output, int32_t useWindow) {
    return ZS_EXPORT_CALL(output, useWindow).run([&]() -> int32_t {
        if (!output) return 0;
        return api::guarded<int32_t>(0, [&](LibraryState& s) {
            auto* first = frame::findFirst(s.devices);
            if (!first || (*first)->sMode == 0) return 0;
            const double* w = (*first)->signalWritePtr.load();
            if (!w) return 0;
            // Only the tele ring holds the 65536 samples before the write pointer.
            const double* ring = s.teleRing.get();
            if (!ring || s.teleRingLength != kTeleRingLength || (*first)->signalBuffer != ring ||
                w < ring || w > ring + kTeleRingLength)
                return 0;
            frame::computeSpectrum(s.spectrum, ring, static_cast<size_t>(s.teleRingLength), w,
                                   useWindow != 0, output);
            return 1;
        });
    });
}

} // extern "C"
