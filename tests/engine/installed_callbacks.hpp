// Installs a table as the engine's callback copy for one test.
#pragma once

#include "callbacks.hpp"

namespace quorvane::testing {

class installed_callbacks {
public:
    explicit installed_callbacks(const qvse_callbacks_t& table) { engine::callbacks = table; }
    ~installed_callbacks() { engine::callbacks = qvse_callbacks_t{}; }
    installed_callbacks(const installed_callbacks&) = delete;
    installed_callbacks& operator=(const installed_callbacks&) = delete;
};

}  // namespace quorvane::testing
