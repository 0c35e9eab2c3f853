// The entries as resolve hands them out: each runs its entry counted as a
// running call, so that the end of the process never destroys what the call
// uses (lasting.hpp), and fails without touching anything once those objects
// are gone.
#pragma once

#include "entry_table.hpp"

#define QVSE_DECLARE_COUNTED_ENTRY(component, name, result, parameters, arguments) \
    namespace quorvane::engine::counted {                                          \
    [[gnu::visibility("hidden")]] result component##_##name parameters noexcept;   \
    }
QVSE_ENGINE_ENTRIES(QVSE_DECLARE_COUNTED_ENTRY)
#undef QVSE_DECLARE_COUNTED_ENTRY
