#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "fixture.hpp"

namespace {

using namespace quorvane::testing;
namespace network = quorvane::engine::network;

using Stress = network_fixture;

// Eight host threads with a thousand lookups each against servers that drop,
// duplicate, garble, delay and misnumber at random: every request completes
// exactly once and every context can be destroyed afterwards.
TEST_F(Stress, EveryRequestCompletesExactlyOnce) {
    constexpr int threads = 8, per_thread = 1000, synchronous_every = 100;
    std::vector<std::unique_ptr<stand_in::server>> servers;
    for (int k = 0; k < 3; ++k) {
        servers.push_back(make_server(101 + k));
        stand_in::faults_type chaos;
        chaos.chaos_seed = 7 + k;
        servers.back()->set_faults(chaos);
        servers.back()->add_record({2, std::string(16, '\x11'), 5, 0, 0, 0, 0, 0});
    }
    use({{servers[0].get(), 3}, {servers[1].get(), 4}, {servers[2].get(), 5}});
    for (int k = 0; k < threads * per_thread; ++k) {
        void* handle = make_context(k);
        add_fingerprint(handle, digest_fingerprint(0x11));
        add_fingerprint(handle, digest_fingerprint(0x12));
    }

    std::atomic<std::size_t> asynchronous{0}, failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) {
                void* handle = cells[t * per_thread + i].get();
                if (i % synchronous_every == 0) {
                    const unsigned result = network::lookup(handle, 300, false);
                    if (result != QVSE_OK && (result < 0x40000 || result > 0x40005)) ++failures;
                } else if (network::lookup(handle, 1000, true) == QVSE_OK) {
                    ++asynchronous;
                } else {
                    ++failures;
                }
            }
        });
    }
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(failures.load(), 0u);
    EXPECT_TRUE(completions::wait_total(asynchronous, 60s))
        << completions::total() << " of " << asynchronous;
    std::this_thread::sleep_for(200ms);  // late duplicates would show now
    EXPECT_EQ(completions::total(), asynchronous.load());
    std::size_t twice = 0;
    for (int k = 0; k < threads * per_thread; ++k) {
        const auto statuses = completions::of(cells[k].get());
        if (k % per_thread % synchronous_every == 0)
            twice += !statuses.empty();
        else
            twice += statuses.size() != 1;
    }
    EXPECT_EQ(twice, 0u);
    // Destroyable now, before the network stops.
    for (auto& cell : cells) ASSERT_EQ(engine::context::destroy(cell.get()), unsigned(QVSE_OK));
    cells.clear();
}

}  // namespace
