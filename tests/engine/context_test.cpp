#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "context/context.hpp"
#include "entry_table.hpp"

namespace {

namespace context = quorvane::engine::context;

TEST(Context, LifecycleCodes) {
    int cell = 0;
    ASSERT_TRUE(context::drained());
    EXPECT_EQ(context::create(&cell), unsigned(QVSE_OK));
    EXPECT_FALSE(context::drained());

    context::record_pointer record;
    ASSERT_EQ(context::get(&cell, record), unsigned(QVSE_OK));
    record->user_id = 42;
    EXPECT_EQ(context::create(&cell), unsigned(QVSE_E_IN_USE));
    record.reset();
    ASSERT_EQ(context::get(&cell, record), unsigned(QVSE_OK));
    EXPECT_EQ(record->user_id, 42u) << "a second create leaves the first record alone";

    // Referenced by someone else (an entry, a request in flight).
    EXPECT_EQ(context::destroy(&cell), unsigned(QVSE_E_IN_USE));
    record.reset();
    EXPECT_EQ(context::destroy(&cell), unsigned(QVSE_OK));
    EXPECT_TRUE(context::drained());

    EXPECT_EQ(context::destroy(&cell), unsigned(QVSE_E_UNKNOWN_CONTEXT));
    EXPECT_EQ(context::get(&cell, record), unsigned(QVSE_E_UNKNOWN_CONTEXT));
    EXPECT_FALSE(record);
}

TEST(Context, DestroyNeverWaitsForALockedRecord) {
    int cell = 0;
    ASSERT_EQ(context::create(&cell), unsigned(QVSE_OK));
    std::atomic<bool> locked{false}, release{false};
    std::thread holder([&] {
        context::record_pointer record;
        ASSERT_EQ(context::get(&cell, record), unsigned(QVSE_OK));
        std::lock_guard lock(record->mutex);
        record.reset();  // only the lock keeps it busy now
        locked = true;
        while (!release) std::this_thread::yield();
    });
    while (!locked) std::this_thread::yield();
    EXPECT_EQ(context::destroy(&cell), unsigned(QVSE_E_IN_USE));
    release = true;
    holder.join();
    EXPECT_EQ(context::destroy(&cell), unsigned(QVSE_OK));
}

TEST(Context, HandlesAreComparedByAddress) {
    int cells[2] = {5, 5};
    EXPECT_EQ(context::create(&cells[0]), unsigned(QVSE_OK));
    EXPECT_EQ(context::create(&cells[1]), unsigned(QVSE_OK));
    EXPECT_EQ(context::create(nullptr), unsigned(QVSE_OK)) << "null is a handle like any other";
    EXPECT_EQ(context::destroy(&cells[0]), unsigned(QVSE_OK));
    EXPECT_EQ(context::destroy(&cells[1]), unsigned(QVSE_OK));
    EXPECT_EQ(context::destroy(nullptr), unsigned(QVSE_OK));
    EXPECT_TRUE(context::drained());
}

TEST(Context, ConcurrentCreateUseDestroy) {
    constexpr int threads = 8, rounds = 2000;
    std::vector<std::thread> workers;
    std::vector<long> cells(threads);
    std::atomic<int> failures{0};
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            void* mine = &cells[t];
            void* neighbour = &cells[(t + 1) % threads];
            for (int i = 0; i < rounds; ++i) {
                if (context::create(mine) != QVSE_OK) ++failures;
                context::record_pointer record;
                if (context::get(neighbour, record) == QVSE_OK) {
                    std::lock_guard lock(record->mutex);
                    ++record->total;
                }
                record.reset();
                unsigned result;
                while ((result = context::destroy(mine)) == QVSE_E_IN_USE)
                    std::this_thread::yield();
                if (result != QVSE_OK) ++failures;
            }
        });
    }
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(failures, 0);
    EXPECT_TRUE(context::drained());
}

}  // namespace
