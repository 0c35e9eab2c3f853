#include "callbacks.hpp"

namespace quorvane::engine {

qvse_callbacks_t callbacks{};

}  // namespace quorvane::engine
