// Live replacement of the engine: the update monitor thread that unloads the
// engine while "update.lock" exists in its directory and reloads it after,
// and the in-process writer that installs an update under that lock.
#pragma once

#include <cstdint>
#include <string>

#include "engine.hpp"

namespace quorvane::callgate::update {

// Holds the lock file of one directory: created, locked exclusively (waiting
// for any other writer, in this or another process), unlinked and closed on
// destruction.
class update_scope {
public:
    explicit update_scope(const std::string& directory);
    ~update_scope();
    update_scope(const update_scope&) = delete;
    update_scope& operator=(const update_scope&) = delete;

private:
    std::string path_;
    int descriptor_ = -1;
};

// Loads and initialises the engine, then starts the monitor thread. On any
// failure nothing stays loaded.
unsigned monitor(engine_type& engine);

// Stops the monitor thread, then shuts the engine down and unloads it.
// QVSE_E_NOT_LOADED when the monitor had left the engine unloaded.
unsigned interrupt(engine_type& engine);

// The monitor thread was started and not stopped yet.
bool running();

// Installs the regular files of the update's directory into the engine's,
// replacing files of the same name; on success ticket names the reload that
// will pick them up.
unsigned apply(const engine_type& update, const engine_type& engine, std::uint64_t& ticket);

// Waits, bounded, until the reload for ticket was attempted; its result.
unsigned completion(std::uint64_t ticket);

}  // namespace quorvane::callgate::update
