// Signal generators and output modules.
#include "api/guard.h"
#include "api/text_out.h"
#include "generators/gen_registry.h"
#include "platform/text.h"
#include "zentrel_signal.h"

using namespace zs;
using frame::LibraryState;
using generators::GenDevice;

namespace {

// Rule G: the generator at the position, opened if it is not (the open's result is not
// examined: a closed generator then refuses the setting).
template <class Set>
int32_t setting(int32_t index, Set&& set) {
    return api::guarded<int32_t>(0, [&](LibraryState& s) {
        GenDevice* g = generators::findGenerator(s.generators, index);
        if (!g) return 0;
        if (!g->isOpen()) g->open(g->entryName);
        return set(*g) ? 1 : 0;
    });
}

} // namespace

extern "C" {

ZS_EXPORT int32_t ZS_CALL K427_BuildGenList(void) {
    return ZS_EXPORT_CALL().run([&]() -> int32_t {
        return api::guarded<int32_t>(
            0, [](LibraryState& s) { return generators::buildGenList(s.generators); });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_GetGenCount(void) {
    return ZS_EXPORT_CALL().run([&]() -> int32_t {
        return api::guarded<int32_t>(
            0, [](LibraryState& s) { return static_cast<int32_t>(s.generators.size()); });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_GetGenName(int32_t index, ZS_WCHAR* buffer, int32_t bufferLength) {
    return ZS_EXPORT_CALL(index, buffer, bufferLength).run([&]() -> int32_t {
        // Emptied first, so a host that ignores the result never shows a stale name.
        api::clearText(buffer, bufferLength);
        if (!buffer || bufferLength <= 0) return 0;
        return api::guarded<int32_t>(0, [&](LibraryState& s) {
            GenDevice* g = generators::findGenerator(s.generators, index);
            if (!g) return 0;
            const bool wasOpen = g->isOpen();
            if (!wasOpen) g->open(g->entryName);
            std::string name;
            if (g->isOpen()) name = g->shortName();
            if (!wasOpen) g->close();
            return api::copyText(platform::utf16FromNarrow(name), buffer, bufferLength);
        });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_GenSetFreq(int32_t index, double hz, int32_t channel) {
    return ZS_EXPORT_CALL(index, hz, channel).run([&]() -> int32_t {
        return setting(index, [&](GenDevice& g) { return g.setFrequency(hz, channel); });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_GenSetLevel(int32_t index, double volts, int32_t channel) {
    return ZS_EXPORT_CALL(index, volts, channel).run([&]() -> int32_t {
        return setting(index, [&](GenDevice& g) { return g.setLevel(volts, channel); });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_GenSetOffset(int32_t index, double volts, int32_t channel) {
    return ZS_EXPORT_CALL(index, volts, channel).run([&]() -> int32_t {
        return setting(index, [&](GenDevice& g) { return g.setOffset(volts, channel); });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_GenSetUnits(int32_t index, int32_t units, int32_t channel) {
    return ZS_EXPORT_CALL(index, units, channel).run([&]() -> int32_t {
        return setting(index, [&](GenDevice& g) { return g.setUnits(units, channel); });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_GenSetOutputState(int32_t index, int32_t on, int32_t channel) {
    return ZS_EXPORT_CALL(index, on, channel).run([&]() -> int32_t {
        return setting(index, [&](GenDevice& g) { return g.setOutputState(on, channel); });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_GenSetOutputLoad(int32_t index, double ohms, int32_t channel) {
    return ZS_EXPORT_CALL(index, ohms, channel).run([&]() -> int32_t {
        return setting(index, [&](GenDevice& g) { return g.setOutputLoad(ohms, channel); });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_GenSetSignalType(int32_t index, int32_t waveform, int32_t channel) {
    return ZS_EXPORT_CALL(index, waveform, channel).run([&]() -> int32_t {
        return setting(index, [&](GenDevice& g) { return g.setSignalType(waveform, channel); });
    });
}

} // extern "C"
