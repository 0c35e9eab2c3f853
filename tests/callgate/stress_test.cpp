// Many threads call through the gateway while another swaps the engine.
#include <gtest/gtest.h>

#include <vector>

#include "gateway.hpp"

namespace quorvane::testing {
namespace {

using namespace std::chrono_literals;

TEST(GatewayStress, CallsNeverFailWhileTheEngineIsSwapped) {
    constexpr int callers = 8;
    constexpr unsigned swaps = 200;
    watchdog guard(240s);
    scratch_directory engine;
    scratch_directory versions[2];
    install_engine(fake_v1, engine.path());
    install_engine(fake_v1, versions[0].path());
    install_engine(fake_v2, versions[1].path());
    recorder log;
    const auto table = gateway_table(log);
    updates_completed = 0;
    ASSERT_EQ(initialize(engine.path(), table), unsigned(QVSE_OK));

    std::atomic<bool> stop{false};
    std::atomic<long> calls{0};
    std::vector<std::thread> threads;
    for (int index = 0; index < callers; ++index)
        threads.emplace_back([&] {
            int cell = 0;
            bool whitelisted = false, blacklisted = false;
            std::uint32_t score = 0;
            while (!stop) {
                ASSERT_EQ(QVSE_Context_Create(&cell), unsigned(QVSE_OK));
                ASSERT_EQ(QVSE_MIME_BindBuffer(&cell, "message", 7), unsigned(QVSE_OK));
                ASSERT_EQ(QVSE_Spam_Prepare(&cell), unsigned(QVSE_OK));
                ASSERT_EQ(QVSE_Spam_GetClassification(&cell, &whitelisted, &blacklisted, &score),
                          unsigned(QVSE_OK));
                ASSERT_EQ(score, 42u);
                ASSERT_EQ(QVSE_Context_Destroy(&cell), unsigned(QVSE_OK));
                calls += 5;
            }
        });

    for (unsigned swap = 1; swap <= swaps && !HasFatalFailure(); ++swap) {
        const bool second = swap % 2 == 1;
        ASSERT_EQ(update(versions[second ? 1 : 0].path()), unsigned(QVSE_OK)) << "swap " << swap;
        const auto version = engine_version();
        ASSERT_EQ(version.result, unsigned(QVSE_OK));
        ASSERT_EQ(version.name, second ? L"fake-2" : L"fake-1") << "swap " << swap;
        ASSERT_EQ(version.reloads, swap) << "swap " << swap;
    }
    stop = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(updates_completed.load(), int(swaps));
    EXPECT_GT(calls.load(), long(swaps));
    EXPECT_EQ(QVSE_Engine_Shutdown(), unsigned(QVSE_OK));
}

}  // namespace
}  // namespace quorvane::testing
