// The update monitor: a thread that unloads the engine while a writer holds
// the lock file in its directory and reloads it afterwards; and the entries
// that start and stop it, apply an update and wait for its reload.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <stop_token>
#include <system_error>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "callbacks.hpp"
#include "dir_monitor/dir_monitor.hpp"
#include "facility.hpp"
#include "trace.hpp"
#include "update_implementation.hpp"

namespace quorvane::callgate::update {

progress_type& progress = *new progress_type;

namespace {

using namespace std::chrono_literals;

// A writer creates the lock file a moment before it locks it.
constexpr auto lock_grace = 500ms;
constexpr auto lock_check_interval = 5ms;
// While the lock file exists its writer may die without a directory event.
constexpr auto lock_poll = 1s;
constexpr auto completion_timeout = 60s;

// Serialises in-process writers; the file lock orders them with others.
std::mutex apply_mutex;

// Never destroyed, like the state the monitor uses: a process that exits with
// the engine still loaded leaves the monitor running to the end rather than
// wait for it at exit, where it could be waiting for a call of another thread.
std::jthread& thread = *new std::jthread;

// At exit (or unloading) a monitor that was not stopped is let go: detached,
// whether it still runs or already ended on an error, it is neither joined
// nor waited for.
struct monitor_release {
    monitor_release() = default;
    monitor_release(const monitor_release&) = delete;
    monitor_release& operator=(const monitor_release&) = delete;
    ~monitor_release() {
        if (thread.joinable()) thread.detach();
    }
} release_at_exit;

// The monitor's exclusive hold of the engine lock; it outlives one pass of
// the loop and marks the thread as holding the lock for calls made from
// callbacks.
class engine_hold {
public:
    explicit engine_hold(engine_type& engine) : engine_(engine) {}
    ~engine_hold() {
        if (owned_) unlock();
    }
    void lock() {
        engine_.lock.lock();
        owned_ = true;
        ++thread_holds.engine;
    }
    void unlock() {
        --thread_holds.engine;
        owned_ = false;
        engine_.lock.unlock();
    }
    bool owned() const { return owned_; }

private:
    engine_type& engine_;
    bool owned_ = false;
};

unsigned initialise(engine_type& engine) {
    const std::string& directory = engine.directory();
    return engine.entries.principal_initialize(directory.data(), directory.size(), callbacks);
}

// Someone holds a lock on the file at path.
bool lock_taken(const std::string& path) {
    // A file that cannot be examined cannot be shown to be held.
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (descriptor < 0) return false;
    struct ::flock query {};
    query.l_type = F_WRLCK;
    query.l_whence = SEEK_SET;
    const int result = ::fcntl(descriptor, F_OFD_GETLK, &query);
    ::close(descriptor);
    return result != 0 || query.l_type != F_UNLCK;
}

void pause_unless_stopped(std::stop_token stop, std::chrono::milliseconds duration) {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, stop, duration, [] { return false; });
}

// An update is in progress: the lock file exists and a writer holds it. A
// file left behind by a writer that died counts for nothing.
bool update_in_progress(const std::string& path, std::stop_token stop) {
    const auto deadline = std::chrono::steady_clock::now() + lock_grace;
    for (;;) {
        if (!exists(path)) return false;
        if (lock_taken(path)) return true;
        if (std::chrono::steady_clock::now() >= deadline || stop.stop_requested()) return false;
        pause_unless_stopped(stop, lock_check_interval);
    }
}

// Waits until no context is left, giving the lock up while it waits; new
// contexts are held back meanwhile. False when stopped.
bool drain(engine_type& engine, engine_hold& hold, std::stop_token stop) {
    engine.begin_draining();
    const bool drained =
        engine.drain.wait(hold, stop, [&] { return engine.entries.context_drained(); });
    engine.end_draining();
    return drained && !stop.stop_requested();
}

// Suspend, shut down and unload. On failure the engine is put back in
// service with its state, so the caller can give the lock back.
unsigned unload(engine_type& engine, void*& state, std::size_t& size) {
    unsigned result = engine.entries.principal_suspend(state, size);
    if (result != QVSE_OK) return result;
    result = engine.entries.principal_shutdown();
    const bool shut_down = result == QVSE_OK;
    if (shut_down) result = engine.unload();
    if (result == QVSE_OK) return result;
    // Back in service as it was; a part that fails is said, since the engine
    // then runs without its servers or its network.
    unsigned restored = shut_down ? initialise(engine) : unsigned(QVSE_OK);
    if (restored == QVSE_OK)
        restored = engine.entries.principal_resume(state, size);
    else
        std::free(state);
    state = nullptr;
    size = 0;
    if (restored != QVSE_OK)
        trace::write(
            QVSE_TRACE_ERROR, facility, 0,
            boost::wformat(L"Update failed to restore engine with error code: 0x%08X") % restored);
    return result;
}

// Load, initialise, resume. A failed initialise leaves nothing loaded and a
// failed load or initialise keeps the state for the next attempt.
unsigned reload(engine_type& engine, void*& state, std::size_t& size) {
    unsigned result = engine.load();
    if (result == QVSE_OK) {
        result = initialise(engine);
        if (result != QVSE_OK) {
            engine.entries.principal_shutdown();
            engine.unload();
        }
    }
    if (result == QVSE_OK) {
        // Resume takes the buffer whatever it answers.
        result = engine.entries.principal_resume(state, size);
        state = nullptr;
        size = 0;
    }
    if (result != QVSE_OK)
        trace::write(
            QVSE_TRACE_ERROR, facility, 0,
            boost::wformat(L"Update failed to load engine with error code: 0x%08X") % result);
    return result;
}

void write_recovery(const std::vector<line_type>& lines) {
    for (const auto& line : lines)
        trace::write(std::min<unsigned>(line.level, QVSE_TRACE_WARNING), facility, line.indent,
                     line.text);
}

// What the monitor does with the engine. Each turn of its loop looks at the
// engine directory once and takes the transitions that this look calls for.
enum class monitor_state {
    serving,   // loaded, calls run
    refused,   // loaded, calls run: unloading failed under the present lock
               // file, and is not tried again until that file is gone
    unloaded,  // unloaded for an update, the engine lock held: calls wait
    missing,   // a reload failed and nothing is loaded: calls fail; tried
               // again on every turn without an update in progress
};

// One look at the engine directory.
struct observation_type {
    bool lock_file = false;     // the lock file exists
    bool in_progress = false;   // and a writer holds it
    bool replaced = false;      // the loaded library is no longer the one on disk
    std::uint64_t serving = 0;  // the updates of this process counted so far
};

class monitor_type {
public:
    monitor_type(engine_type& engine, std::stop_token stop)
        : engine_(engine), stop_(stop), hold_(engine) {}
    ~monitor_type() {
        if (engine_.draining()) engine_.end_draining();
        // Stopped with the engine unloaded: nobody will resume this.
        std::free(saved_);
    }
    monitor_type(const monitor_type&) = delete;
    monitor_type& operator=(const monitor_type&) = delete;

    // Turns until stopped; throws when the directory cannot be watched.
    void run() {
        boost::asio::io_context owner;
        dir_monitor watcher(owner);
        watcher.add_directory(engine_.directory());
        bool watched = true;
        for (;;) {
            const observation_type seen = look();
            if (stop_.stop_requested()) return;
            // A writer died midway: its files are put back before anything is
            // loaded from them.
            if (!seen.in_progress && (seen.lock_file || !loaded()))
                write_recovery(recover(engine_.directory()));
            if (state_ == monitor_state::refused && !seen.in_progress)
                state_ = monitor_state::serving;
            if (state_ == monitor_state::serving &&
                (seen.in_progress || !progress.served(seen.serving) || seen.replaced) &&
                !on_update_requested(seen))
                return;
            if (!loaded() && !seen.in_progress) on_update_ended(seen);

            // A lock file changes hands without a directory event: its writer
            // dies, or a writer takes over a file left behind. Nor does a
            // directory that is watched no more tell anything.
            const auto timeout = seen.lock_file || !watched
                                     ? std::optional(std::chrono::milliseconds(lock_poll))
                                     : std::nullopt;
            const auto event = watcher.monitor(stop_, timeout);
            if (event && event->type == dir_monitor_event::lost) {
                trace::write(QVSE_TRACE_ERROR, facility, 0,
                             boost::wformat(L"The engine directory \"%1%\" is watched no more") %
                                 trace::from_utf8(engine_.directory()));
                watched = false;
            }
            if (!watched) {
                // Looked at every second until it can be watched again.
                try {
                    watcher.add_directory(engine_.directory());
                    watched = true;
                } catch (const std::system_error&) {
                }
            }
        }
    }

private:
    bool loaded() const {
        return state_ == monitor_state::serving || state_ == monitor_state::refused;
    }

    observation_type look() {
        observation_type seen;
        // Before the lock file: a library replaced by a writer who locked
        // meanwhile waits for that writer to finish.
        seen.replaced = loaded() && engine_.replaced();
        seen.lock_file = exists(lock_path_);
        seen.in_progress = seen.lock_file && update_in_progress(lock_path_, stop_);
        // Read after the lock file: every update counted has its files in place.
        seen.serving = progress.requested();
        return seen;
    }

    // serving -> unloaded, or back to serving (refused while the update's
    // lock file stays) when unloading fails. False when stopped meanwhile.
    bool on_update_requested(const observation_type& seen) {
        trace::write(QVSE_TRACE_DETAIL, facility, 0,
                     std::wstring(L"Update request detected, unloading engine"));
        hold_.lock();
        if (!drain(engine_, hold_, stop_)) return false;
        const unsigned result = unload(engine_, saved_, saved_size_);
        if (result == QVSE_OK) {
            state_ = monitor_state::unloaded;
            return true;
        }
        trace::write(
            QVSE_TRACE_ERROR, facility, 0,
            boost::wformat(L"Update failed to unload engine with error code: 0x%08X") % result);
        hold_.unlock();
        state_ = seen.in_progress ? monitor_state::refused : monitor_state::serving;
        progress.record(seen.serving, result);
        return true;
    }

    // unloaded or missing -> serving, or missing when nothing could be
    // loaded. Calls wait for the attempt.
    void on_update_ended(const observation_type& seen) {
        if (!hold_.owned()) hold_.lock();
        const unsigned result = reload(engine_, saved_, saved_size_);
        // A library loaded whose initialise or resume failed stays, and is
        // not tried again.
        state_ = engine_.valid() ? monitor_state::serving : monitor_state::missing;
        hold_.unlock();
        // Without the lock: the client may call the engine from here.
        if (const auto completed_slot = callbacks.update_completed) completed_slot();
        // A writer that came meanwhile may have made the load fail; the end of
        // its update brings the next attempt.
        if (result == QVSE_OK || !exists(lock_path_)) progress.record(seen.serving, result);
    }

    engine_type& engine_;
    std::stop_token stop_;
    const std::string lock_path_ = engine_.directory() + "/" + lock_name;
    engine_hold hold_;
    monitor_state state_ = monitor_state::serving;
    // The engine's state between unloading and the reload that resumes it.
    void* saved_ = nullptr;
    std::size_t saved_size_ = 0;
};

void worker(std::stop_token stop, engine_type& engine) {
    // The monitor lives between Initialize and Shutdown, which wait for it:
    // calls made from callbacks on this thread need no loader lock.
    thread_holds.loader = 1;
    thread_holds.monitor = true;
    try {
        monitor_type(engine, stop).run();
    } catch (const std::system_error& error) {
        if (error.code() != std::error_code(ECANCELED, std::system_category()))
            trace::gateway_exception();
    } catch (...) {
        trace::gateway_exception();
    }
    if (!stop.stop_requested()) progress.set_abandoned(true);
}

}  // namespace

bool exists(const std::string& path) {
    struct ::stat entry {};
    return ::lstat(path.c_str(), &entry) == 0 || errno != ENOENT;
}

unsigned monitor(engine_type& engine) {
    write_recovery(recover(engine.directory()));
    unsigned result = engine.load();
    if (result != QVSE_OK) return result;
    try {
        result = initialise(engine);
        if (result == QVSE_OK) {
            trace::write(QVSE_TRACE_DETAIL, facility, 0, std::wstring(L"Starting monitor thread"));
            progress.set_abandoned(false);
            thread = std::jthread(worker, std::ref(engine));
            return QVSE_OK;
        }
    } catch (...) {
        engine.entries.principal_shutdown();
        engine.unload();
        throw;
    }
    engine.entries.principal_shutdown();
    engine.unload();
    return result;
}

unsigned interrupt(engine_type& engine) {
    trace::write(QVSE_TRACE_DETAIL, facility, 0, std::wstring(L"Stopping monitor thread"));
    if (thread.joinable()) {
        thread.request_stop();
        thread.join();
        thread = {};
    }
    progress.end_all(QVSE_E_NOT_LOADED);
    // Decided again now that nothing else can change the engine.
    engine_hold hold(engine);
    hold.lock();
    if (!engine.valid()) return QVSE_E_NOT_LOADED;
    if (!engine.entries.context_drained()) return QVSE_E_IN_USE;
    const unsigned result = engine.entries.principal_shutdown();
    if (result != QVSE_OK) return result;
    return engine.unload();
}

bool running() { return thread.joinable(); }

unsigned apply(const engine_type& update, const engine_type& engine, std::uint64_t& ticket) {
    std::vector<line_type> lines;
    const auto flush = [&] {
        for (const auto& line : lines) trace::write(line.level, facility, line.indent, line.text);
    };
    try {
        std::lock_guard serial(apply_mutex);
        install(update.directory(), engine.directory(), lines, ticket);
        flush();
        return QVSE_OK;
    } catch (const std::bad_alloc&) {
        return QVSE_E_OUT_OF_MEMORY;
    } catch (const std::system_error& error) {
        flush();
        trace::gateway_exception();
        // File-system errors come in the generic category, system calls' in
        // the system one: compared as conditions, both match.
        const auto code = error.code();
        return code == std::errc::permission_denied || code == std::errc::operation_not_permitted
                   ? QVSE_E_ACCESS_DENIED
                   : QVSE_E_FAILED;
    } catch (...) {
        flush();
        trace::gateway_exception();
        return QVSE_E_FAILED;
    }
}

unsigned completion(std::uint64_t ticket) {
    const std::optional<unsigned> result = progress.wait(ticket, completion_timeout);
    if (!result) {
        trace::write(QVSE_TRACE_ERROR, facility, 0,
                     std::wstring(L"Update timed out waiting for the engine to reload"));
        return QVSE_E_FAILED;
    }
    return *result;
}

}  // namespace quorvane::callgate::update
