// The trace facility of every gateway line.
#pragma once

#include <string>

namespace quorvane::callgate {

extern const std::wstring& facility;

}  // namespace quorvane::callgate
