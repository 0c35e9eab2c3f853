#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "callbacks.hpp"
#include "entry_table.hpp"
#include "network/network.hpp"
#include "support/recorder.hpp"

namespace {

namespace principal = quorvane::engine::principal;
namespace network = quorvane::engine::network;
using quorvane::testing::recorder;

constexpr char directory[] = "/nonexistent/engine";

class Lifecycle : public ::testing::Test {
protected:
    void TearDown() override { quorvane::engine::callbacks = qvse_callbacks_t{}; }
    recorder rec;
};

TEST_F(Lifecycle, InitialiseChecksItsArguments) {
    auto table = rec.table();
    for (const std::size_t size : {95u, 97u, 0u}) {
        table.size = size;
        EXPECT_EQ(principal::initialize(directory, sizeof directory - 1, table),
                  unsigned(QVSE_E_INVALID_ARGUMENT));
    }
    table.size = 96;
    EXPECT_EQ(principal::initialize(nullptr, 0, table), unsigned(QVSE_E_INVALID_ARGUMENT));
    EXPECT_TRUE(rec.lines().empty()) << "no table is installed yet";
    EXPECT_EQ(quorvane::engine::callbacks.trace, nullptr);
}

TEST_F(Lifecycle, InitialiseAndShutdown) {
    const auto table = rec.table();
    for (int round = 0; round < 3; ++round) {
        rec.clear();
        ASSERT_EQ(principal::initialize(directory, sizeof directory - 1, table), unsigned(QVSE_OK));
        ASSERT_EQ(principal::shutdown(), unsigned(QVSE_OK));
        const auto lines = rec.lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0].text, L"Quorvane Scanning Engine 4.0.0.39684 (trunk_20131016.4)");
        EXPECT_EQ(lines[0].facility, L"Principal");
        EXPECT_EQ(lines[0].level, unsigned(QVSE_TRACE_INFO));
        bool endpoint = false, started = false, stopped = false;
        for (const auto& line : lines) {
            endpoint |= line.text.starts_with(L"UDP endpoint created on ");
            started |= line.text == L"Starting worker thread";
            stopped |= line.text == L"Stopping worker thread";
        }
        EXPECT_TRUE(endpoint && started && stopped);
    }
}

TEST_F(Lifecycle, SuspendThenResumeCarriesTheServerList) {
    const auto table = rec.table();
    ASSERT_EQ(principal::initialize(directory, sizeof directory - 1, table), unsigned(QVSE_OK));
    network::restore_servers(
        R"({"servers":[{"address":"::ffff:127.0.0.9","port":"2409","reachable":"true","location":"here",)"
        R"("provider":"p","uptime":"5","updated":"6","serial":"7","records":"8","latencies":["300","200"]}]})");
    const std::string before = network::save_servers();

    void* state = nullptr;
    std::size_t size = 0;
    ASSERT_EQ(principal::suspend(state, size), unsigned(QVSE_OK));
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(std::string(static_cast<char*>(state), size), before);
    ASSERT_EQ(principal::shutdown(), unsigned(QVSE_OK));

    ASSERT_EQ(principal::initialize(directory, sizeof directory - 1, table), unsigned(QVSE_OK));
    // An empty list is an empty array, and reads back as one.
    const std::string empty = network::save_servers();
    EXPECT_NE(empty.find("\"servers\": []"), std::string::npos) << empty;
    network::restore_servers(empty);
    EXPECT_EQ(network::save_servers(), empty);
    EXPECT_EQ(principal::resume(state, size), unsigned(QVSE_OK));  // takes the block back
    EXPECT_EQ(network::save_servers(), before);
    EXPECT_EQ(principal::resume(nullptr, 10), unsigned(QVSE_OK));
    EXPECT_EQ(network::save_servers(), before);

    // A malformed buffer is reported and still freed.
    void* garbage = std::malloc(5);
    std::memcpy(garbage, "{nope", 5);
    EXPECT_EQ(principal::resume(garbage, 5), unsigned(QVSE_E_FAILED));
    EXPECT_EQ(network::save_servers(), before);
    ASSERT_EQ(principal::shutdown(), unsigned(QVSE_OK));
}

TEST_F(Lifecycle, VersionBuffers) {
    struct row {
        std::size_t version_capacity, description_capacity;
        bool null_version, null_description;
        unsigned result;
    };
    const row rows[] = {
        {11, 16, false, false, QVSE_OK},
        {40, 40, false, false, QVSE_OK},
        {11, 15, false, false, QVSE_E_BUFFER_TOO_SMALL},
        {10, 16, false, false, QVSE_E_BUFFER_TOO_SMALL},
        {0, 0, true, true, QVSE_E_BUFFER_TOO_SMALL},
        {11, 0, false, true, QVSE_E_BUFFER_TOO_SMALL},
        {11, 16, false, true, QVSE_E_INVALID_ARGUMENT},
        {11, 16, true, false, QVSE_E_INVALID_ARGUMENT},
    };
    for (const auto& r : rows) {
        std::wstring version(40, L'#'), description(40, L'#');
        std::size_t version_length = r.version_capacity,
                    description_length = r.description_capacity;
        const unsigned result = principal::version(
            r.null_version ? nullptr : version.data(), version_length,
            r.null_description ? nullptr : description.data(), description_length);
        EXPECT_EQ(result, r.result) << r.version_capacity << "/" << r.description_capacity;
        if (result == QVSE_E_INVALID_ARGUMENT) continue;
        EXPECT_EQ(version_length, 11u);
        EXPECT_EQ(description_length, 16u);
        if (result == QVSE_OK) {
            EXPECT_EQ(version.substr(0, 12), L"4.0.0.39684#");
            EXPECT_EQ(description.substr(0, 17), L"trunk_20131016.4#");
        } else {
            EXPECT_EQ(version, std::wstring(40, L'#'));
        }
    }
}

}  // namespace
