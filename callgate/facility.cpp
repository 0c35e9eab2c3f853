#include "facility.hpp"

namespace quorvane::callgate {

// Never destroyed: calls on other threads may still trace while the process exits.
const std::wstring& facility = *new std::wstring(L"Callgate");

}  // namespace quorvane::callgate
