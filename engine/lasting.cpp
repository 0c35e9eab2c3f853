#include "lasting.hpp"

#include <array>
#include <atomic>
#include <mutex>
#include <type_traits>

namespace quorvane::engine::lasting {

namespace {

// Nothing here has a destructor for exit to run.
struct entry_type {
    destroy_function destroy;
    void* object;
};
static_assert(std::is_trivially_destructible_v<std::mutex>);

// Far more than the engine makes; beyond it an object lasts to the end of
// the process.
constexpr std::size_t capacity = 256;
std::array<entry_type, capacity> entries;
std::size_t count = 0;
std::mutex entries_mutex;

// An entry counts itself before it looks at closed, and release closes before
// it looks at the count (both sequentially consistent): either the entry sees
// closed, or release sees it running.
std::atomic<std::size_t> running{0};
std::atomic<bool> closed{false};

// Unloading, or the end of the process: the library's own finaliser, which
// runs after exit's handlers.
[[gnu::destructor]] void release() noexcept {
    closed.store(true);
    if (running.load() != 0) return;
    // Each destroyed without the lock: a destructor may still make an object
    // (the network's stopper traces), which is then destroyed next.
    for (;;) {
        entry_type entry{};
        {
            std::lock_guard lock(entries_mutex);
            if (count == 0) return;
            entry = entries[--count];
        }
        entry.destroy(entry.object);
    }
}

}  // namespace

void keep(destroy_function destroy, void* object) noexcept {
    std::lock_guard lock(entries_mutex);
    if (count < capacity) entries[count++] = {destroy, object};
}

call_scope::call_scope() noexcept : entered_(true) {
    running.fetch_add(1);
    if (closed.load()) {
        running.fetch_sub(1);
        entered_ = false;
    }
}

call_scope::~call_scope() {
    if (entered_) running.fetch_sub(1);
}

}  // namespace quorvane::engine::lasting
