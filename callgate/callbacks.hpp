// The gateway's copy of the host callback table.
#pragma once

#include "qvse_types.h"

namespace quorvane::callgate {

// All zero until QVSE_Engine_Initialize copies the client's table in, and
// again after the engine is shut down. Written only while no other gateway
// code runs (the loader lock held exclusively, no monitor thread).
extern qvse_callbacks_t callbacks;

}  // namespace quorvane::callgate
