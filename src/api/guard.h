#pragma once
#include "frame/library.h"

namespace zs::api {

// Runs an export's body so that nothing is thrown across the C boundary: any failure
// (including a call while the library state is absent) gives the export's failure result.
template <class R, class Body>
R guarded(R failure, Body&& body) noexcept {
    try {
        if (!frame::libraryLoaded()) return failure;
        return body(frame::lib());
    } catch (...) {
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
    }
}

} // namespace zs::api
