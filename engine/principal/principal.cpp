#include "trace.hpp"

namespace quorvane::engine::principal {

const std::wstring facility{L"Principal"};

}  // namespace quorvane::engine::principal
