// Live replacement of the engine: the update monitor thread that unloads the
// engine while "update.lock" exists in its directory and reloads it after,
// and the in-process writer that installs an update under that lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine.hpp"

namespace quorvane::callgate::update {

// Holds the lock file of one directory: created, locked exclusively (waiting
// for any other writer, in this or another process), unlinked and closed on
// destruction.
//
// The lock file is also the update's journal: what the writer is about to do
// is written to it first, so that a writer killed midway can be undone by
// whoever loads the engine next (see recover).
class update_scope {
public:
    explicit update_scope(const std::string& directory);
    ~update_scope();
    update_scope(const update_scope&) = delete;
    update_scope& operator=(const update_scope&) = delete;

    // Appends one record of NUL-terminated fields; throws when it cannot.
    void journal(char kind, std::initializer_list<std::string_view> fields = {});

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

struct line_type {
    unsigned indent;
    std::wstring text;
    unsigned level = 3;  // QVSE_TRACE_INFO
};

// The file work of apply, from update to engine directory, under the lock
// file. Every new file is staged under a temporary name first; then each
// replaced file is moved aside and the new one renamed in, back to back.
// On success ticket names the reload that will pick the files up.
// after_step runs after every change of the engine directory.
void install(const std::string& update, const std::string& engine, std::vector<line_type>& lines,
             std::uint64_t& ticket, const std::function<void()>& after_step = {});

// What a writer's journal says it did: the files it staged, moved aside (name
// and backup) and added, and whether every new file was in. Records that
// name anything but a plain file name end it.
struct journal_type {
    std::vector<std::string> staged;
    std::vector<std::pair<std::string, std::string>> aside;
    std::vector<std::string> added;
    bool committed = false;
};
journal_type parse_journal(std::string_view text);

// Finishes or undoes an update whose writer died, when no writer holds the
// directory's lock file: a journalled update is rolled back (or, once all
// its files were in, its leftovers removed), staged files are removed, the
// stale lock file goes, and a missing library gets its numbered copy back.
// Returns the lines that say what was done, none when nothing was.
std::vector<line_type> recover(const std::string& directory);

}  // namespace quorvane::callgate::update
