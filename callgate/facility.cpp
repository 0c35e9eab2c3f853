#include "facility.hpp"

namespace quorvane::callgate {

const std::wstring facility{L"Callgate"};

}  // namespace quorvane::callgate
