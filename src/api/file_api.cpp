// Recorded measurement files.
#include "api/guard.h"
#include "frame/lookup.h"
#include "frame/recorded_files.h"
#include "platform/text.h"
#include "zentrel_signal.h"

using namespace zs;
using frame::LibraryState;

extern "C" {

ZS_EXPORT int32_t ZS_CALL K427_OpenFile(const ZS_WCHAR* path) {
    return ZS_EXPORT_CALL(api::hostText(path)).run([&]() -> int32_t {
        if (!path) return frame::kOpenFailed;
        return api::guarded<int32_t>(frame::kOpenFailed, [&](LibraryState& s) {
            const auto* text = reinterpret_cast<const char16_t*>(path);
            return frame::openRecordedFile(s,
                                           std::u16string_view(text, platform::utf16Length(text)));
        });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_GetNumRecords(int32_t fileId) {
    return ZS_EXPORT_CALL(fileId).run([&]() -> int32_t {
        return api::guarded<int32_t>(0, [&](LibraryState& s) {
            auto* file = frame::findFile(s.files, static_cast<uint32_t>(fileId));
            return file ? static_cast<int32_t>(frame::recordCount(*file)) : 0;
        });
    });
}

ZS_EXPORT int32_t ZS_CALL K427_SetToRecord(int32_t fileId, int32_t recordNumber) {
    return ZS_EXPORT_CALL(fileId, recordNumber).run([&]() -> int32_t {
        return api::guarded<int32_t>(0, [&](LibraryState& s) {
            auto* file = frame::findFile(s.files, static_cast<uint32_t>(fileId));
            return file && frame::stepToRecord(s, *file, recordNumber) ? 1 : 0;
        });
    });
}

ZS_EXPORT void ZS_CALL K427_CloseFile(int32_t fileId) {
    ZS_EXPORT_CALL(fileId).run([&] {
        api::guardedVoid(
            [&](LibraryState& s) { frame::closeRecordedFile(s, static_cast<uint32_t>(fileId)); });
    });
}

} // extern "C"
