#include "callbacks.hpp"

namespace quorvane::callgate {

qvse_callbacks_t callbacks{};

}  // namespace quorvane::callgate
