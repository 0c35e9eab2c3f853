// The engine's own copy of the host callback table.
#pragma once

#include "qvse_types.h"

namespace quorvane::engine {

// All slots null from load until principal::initialize copies the host's
// table in; written once before any other call, read without a lock. Every
// caller reads the slot it needs at the moment of the call.
extern qvse_callbacks_t callbacks;

}  // namespace quorvane::engine
