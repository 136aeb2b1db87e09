#pragma once
#include "frame/library.h"
#include "frame/lookup.h"

#include <cstdint>
#include <memory>

namespace zs::api {

// Rule M for the queries that read a device and a file alike: calls `read(base, device)`
// with the record's common base and, for a device, the device record (held by a shared
// pointer copy for the duration of the read); `device` is null for a file.
template <class R, class Read>
R readMixed(frame::LibraryState& s, int32_t index, R notFound, Read&& read) {
    return frame::findMixed(
        s.devices, s.files, index,
        [&](std::shared_ptr<frame::DevStruct>& entry) {
            std::shared_ptr<frame::DevStruct> hold = entry;
            return read(static_cast<telemetry::CDataProcessor&>(*hold), hold.get());
        },
        [&](frame::FileStruct& file) {
            return read(static_cast<telemetry::CDataProcessor&>(file),
                        static_cast<frame::DevStruct*>(nullptr));
        },
        notFound);
}

// Rule P: calls `read(device)` with the device at position `index`, or returns `notFound`.
template <class R, class Read>
R readDevice(frame::LibraryState& s, int32_t index, R notFound, Read&& read) {
    auto* entry = frame::findByPosition(s.devices, index);
    if (!entry) return notFound;
    std::shared_ptr<frame::DevStruct> hold = *entry;
    return read(*hold);
}

} // namespace zs::api
