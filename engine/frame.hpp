// The frame every entry point runs in: no exception leaves the library.
#pragma once

#include <new>
#include <string>

#include "principal/trace.hpp"
#include "qvse_types.h"

namespace quorvane::engine {

// Inside an exception handler: reports the exception under the facility.
inline void trace_current_exception(const std::wstring& facility) noexcept {
    try {
        principal::trace::current_exception(QVSE_TRACE_ERROR, facility, 0);
    } catch (...) {
        // The report itself failed; the code still says what happened.
    }
}

// Runs an entry's body. Out of memory becomes QVSE_E_OUT_OF_MEMORY untraced;
// any other exception is reported to trace under the entry's facility and
// becomes QVSE_E_FAILED.
template <class Body>
unsigned frame(const std::wstring& facility, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return QVSE_E_OUT_OF_MEMORY;
    } catch (...) {
        trace_current_exception(facility);
        return QVSE_E_FAILED;
    }
}

// As frame, but every exception, out of memory included, is reported and
// becomes QVSE_E_FAILED (the lookup and touch requests).
template <class Body>
unsigned traced_frame(const std::wstring& facility, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        trace_current_exception(facility);
        return QVSE_E_FAILED;
    }
}

}  // namespace quorvane::engine
