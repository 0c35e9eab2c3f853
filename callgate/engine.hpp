// One loaded copy of the engine library: where it lives, the loader's handle
// and the entry points that the library's resolve hands out.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>

#include "entry_table.hpp"
#include "shared_mutex.hpp"

namespace quorvane::callgate {

#define QVCG_ENTRY_POINTER(component, name, result, parameters, arguments) \
    result(*component##_##name) parameters = nullptr;

// The engine's entries in table order; null while not loaded.
struct entries_type {
    QVSE_ENGINE_ENTRIES(QVCG_ENTRY_POINTER)
};

#undef QVCG_ENTRY_POINTER

class engine_type {
public:
    engine_type() = default;
    // Does not unload: the owner unloads under its locks.
    ~engine_type() = default;
    engine_type(const engine_type&) = delete;
    engine_type& operator=(const engine_type&) = delete;

    // Sets the directory that holds the library, made absolute; empty text is
    // the working directory. 0, QVSE_E_INVALID_ARGUMENT or QVSE_E_NOT_FOUND.
    unsigned directory(const char* data, std::size_t length);
    const std::string& directory() const { return directory_; }
    std::string library_path() const;

    bool valid() const { return library_ != nullptr; }
    // Never called on a loaded object: 0, QVSE_E_NOT_FOUND or QVSE_E_FAILED.
    unsigned load();
    // Never called on an unloaded object: 0 or QVSE_E_FAILED (still loaded).
    unsigned unload();
    // The library file on disk is no longer the one that was loaded.
    bool replaced() const;

    // Shared by every forwarded call, exclusive while the engine is swapped.
    shared_mutex_type lock;
    // Woken by context destruction while the update monitor waits for the
    // last context to go.
    std::condition_variable_any drain;
    entries_type entries;

    // Set while the update monitor waits for the last context to go. New
    // contexts are held back meanwhile, for a while at most, or an update
    // could wait for ever under steady load.
    bool draining() const { return draining_.load(); }
    void begin_draining() { draining_ = true; }
    void end_draining() {
        {
            std::lock_guard lock(gate_mutex_);
            draining_ = false;
        }
        gate_.notify_all();
    }
    template <class Duration>
    void wait_while_draining(Duration limit) {
        std::unique_lock lock(gate_mutex_);
        gate_.wait_for(lock, limit, [this] { return !draining_.load(); });
    }

private:
    using resolve_function = const void* (*)(const char*, std::size_t, unsigned);

    std::string directory_;
    // Read without the lock by a shut-down that must not wait for an update.
    std::atomic<void*> library_{nullptr};
    std::atomic<bool> draining_{false};
    std::mutex gate_mutex_;
    std::condition_variable gate_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

}  // namespace quorvane::callgate
