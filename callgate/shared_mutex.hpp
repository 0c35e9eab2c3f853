// A reader/writer lock whose readers scale across cores: each thread counts
// itself in one of several cache-line-sized slots, so shared holders on
// different cores touch different lines. Writers are preferred (a waiting
// writer holds new readers back), so a stream of readers cannot starve them;
// the lock is not recursive, which is why callers track what their thread
// already holds (thread_holds below).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace quorvane::callgate {

class shared_mutex_type {
public:
    shared_mutex_type() = default;
    shared_mutex_type(const shared_mutex_type&) = delete;
    shared_mutex_type& operator=(const shared_mutex_type&) = delete;

    void lock_shared() noexcept {
        auto& readers = slots_[this_slot()].readers;
        for (;;) {
            readers.fetch_add(1);
            if (writer_.load() == 0) return;
            // A writer holds or wants the lock: step back until it is done.
            if (readers.fetch_sub(1) == 1) readers.notify_all();
            writer_.wait(1);
        }
    }

    // Fails while a writer holds or wants the lock.
    bool try_lock_shared() noexcept {
        auto& readers = slots_[this_slot()].readers;
        readers.fetch_add(1);
        if (writer_.load() == 0) return true;
        if (readers.fetch_sub(1) == 1) readers.notify_all();
        return false;
    }

    void unlock_shared() noexcept {
        auto& readers = slots_[this_slot()].readers;
        if (readers.fetch_sub(1) == 1 && writer_.load() != 0) readers.notify_all();
    }

    void lock() {
        writers_.lock();
        writer_.store(1);
        for (auto& slot : slots_)
            for (auto count = slot.readers.load(); count != 0; count = slot.readers.load())
                slot.readers.wait(count);
    }

    void unlock() noexcept {
        writer_.store(0);
        writer_.notify_all();
        writers_.unlock();
    }

private:
    static constexpr std::size_t slot_count = 32;

    struct alignas(64) slot_type {
        std::atomic<std::uint32_t> readers{0};
    };

    static std::size_t this_slot() noexcept {
        static std::atomic<std::size_t> next{0};
        [[gnu::tls_model("initial-exec")]] static thread_local std::size_t slot = slot_count;
        if (slot == slot_count) slot = next.fetch_add(1, std::memory_order_relaxed) % slot_count;
        return slot;
    }

    std::array<slot_type, slot_count> slots_{};
    alignas(64) std::atomic<std::uint32_t> writer_{0};
    std::mutex writers_;
};

// What the calling thread holds of the gateway's two locks, in any mode. A
// call made from a callback inside another call must not take a lock its
// thread already holds: a waiting writer would deadlock it.
struct thread_holds_type {
    unsigned loader = 0;
    unsigned engine = 0;
    bool monitor = false;  // the update monitor thread
};

[[gnu::tls_model("initial-exec")]] inline thread_local constinit thread_holds_type thread_holds{};

}  // namespace quorvane::callgate
