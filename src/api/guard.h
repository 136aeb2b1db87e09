#pragma once
#include "frame/library.h"
#include "trace/trace.h"
#include "zentrel_signal.h"

#include <type_traits>

namespace zs::api {

// Runs an export's body so that nothing is thrown across the C boundary: any failure
// (including a call while the library state is absent) gives the export's failure result.
template <class R, class Body>
R guarded(R failure, Body&& body) noexcept {
    try {
        if (!frame::libraryLoaded()) return failure;
        return body(frame::lib());
    } catch (...) {
        trace::caughtException();
        return failure;
    }
}

// The same for exports without a result.
template <class Body>
void guardedVoid(Body&& body) noexcept {
    try {
        if (!frame::libraryLoaded()) return;
        body(frame::lib());
    } catch (...) {
        trace::caughtException();
    }
}

// A host's UTF-16 text as the trace shows it.
inline trace::HostText hostText(const ZS_WCHAR* text) {
    return {reinterpret_cast<const char16_t*>(text)};
}

// One call of an export as the trace sees it: its name and cheap arguments (numbers, indices;
// host texts through hostText, never the contents of output buffers) on entry, its result on
// return. The whole export body runs inside, so even the checks made before guarded() are
// traced.
class ExportCall {
  public:
    template <class... Args>
    explicit ExportCall(const char* name, const Args&... args) noexcept
        : name_(name), traced_(trace::on()) {
        if (traced_) trace::enterExport(name, args...);
    }
    ExportCall(const ExportCall&) = delete;
    ExportCall& operator=(const ExportCall&) = delete;

    template <class Body>
    auto run(Body&& body) noexcept -> decltype(body()) {
        if constexpr (std::is_void_v<decltype(body())>) {
            body();
            if (traced_) finish(" -> done");
        } else {
            auto result = body();
            if (traced_) finish(" -> ", result);
            return result;
        }
    }

  private:
    template <class... Parts>
    void finish(const Parts&... parts) noexcept {
        trace::emit(name_, parts...);
        trace::leaveExport();
    }

    const char* name_;
    bool traced_;
};

} // namespace zs::api

// Opens an export's body: `return ZS_EXPORT_CALL(a, b).run([&] { ... });`
#define ZS_EXPORT_CALL(...) ::zs::api::ExportCall(__func__ __VA_OPT__(, ) __VA_ARGS__)
