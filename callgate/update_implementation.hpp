// What the two sides of a live update share: the monitor and the entries
// (update.cpp), and the writer's lock file with its journal, install and
// recovery (update_journal.cpp).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "qvse_types.h"
#include "update.hpp"

namespace quorvane::callgate::update {

inline constexpr const char* lock_name = "update.lock";

// Something is at path, or it cannot be shown that nothing is.
bool exists(const std::string& path);

// Updates installed by this process (requested) and those whose reload was
// attempted since (completed), so that every update gets a reload of its own
// even when its lock file came and went between two wake-ups of the monitor.
class progress_type {
public:
    // A ticket for an update whose files are in place.
    std::uint64_t request() {
        std::lock_guard lock(mutex_);
        return ++requested_;
    }
    std::uint64_t requested() {
        std::lock_guard lock(mutex_);
        return requested_;
    }
    bool served(std::uint64_t ticket) {
        std::lock_guard lock(mutex_);
        return completed_ >= ticket;
    }
    // A reload attempted for every update up to the ticket.
    void record(std::uint64_t ticket, unsigned result) {
        std::lock_guard lock(mutex_);
        if (ticket >= completed_) {
            completed_ = ticket;
            result_ = result;
        }
        changed_.notify_all();
    }
    // Every update counted ends with this result (the engine is shut down).
    void end_all(unsigned result) {
        std::lock_guard lock(mutex_);
        completed_ = requested_;
        result_ = result;
        changed_.notify_all();
    }
    // The monitor thread ended on an error, or started again.
    void set_abandoned(bool abandoned) {
        std::lock_guard lock(mutex_);
        abandoned_ = abandoned;
        changed_.notify_all();
    }
    // The result of the ticket's reload; nothing when it took too long.
    std::optional<unsigned> wait(std::uint64_t ticket, std::chrono::seconds limit) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, limit, [&] { return completed_ >= ticket || abandoned_; }))
            return std::nullopt;
        return completed_ >= ticket ? result_ : unsigned(QVSE_E_FAILED);
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t requested_ = 0;
    std::uint64_t completed_ = 0;
    unsigned result_ = QVSE_OK;
    bool abandoned_ = false;  // nobody reloads any more
};

// Never destroyed: a process may exit while an update is waited for.
extern progress_type& progress;

}  // namespace quorvane::callgate::update
