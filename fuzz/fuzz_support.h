#pragma once
// What several targets share: the reference description, loaded once per process, and device
// records shaped for its instrument types, reused from input to input as a device reuses its
// tables from record to record.
#include "frame/dev_struct.h"
#include "frame/library.h"
#include "telemetry/description_file.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace zs::fuzz {

inline constexpr std::array<uint16_t, 6> kTypes = {28, 38, 43, 118, 132, 141};

// The library state with the reference description as its table. A target that cannot load
// it stops at once rather than fuzz an empty table.
inline frame::LibraryState& loadedLibrary() {
    static frame::LibraryState& state = [&]() -> frame::LibraryState& {
        frame::libraryLoad();
        frame::LibraryState& s = frame::lib();
        if (!telemetry::loadTelemetryDescription(s.description, ZS_FUZZ_REFERENCE,
                                                 telemetry::kLoadLanguage))
            std::abort();
        s.descriptionLoaded = 1;
        return s;
    }();
    return state;
}

// A record shaped for kTypes[selector % size], as attach or identification leaves it.
inline frame::DevStruct& shapedRecord(uint8_t selector) {
    static std::array<std::unique_ptr<frame::DevStruct>, kTypes.size()> records;
    const size_t i = selector % kTypes.size();
    if (!records[i]) {
        auto d = std::make_unique<frame::DevStruct>();
        d->state.deviceType = kTypes[i];
        d->state.programNumber = 40;
        d->selectLayout(loadedLibrary().description);
        records[i] = std::move(d);
    }
    return *records[i];
}

inline void check(bool condition) {
    if (!condition) std::abort();
}

} // namespace zs::fuzz
