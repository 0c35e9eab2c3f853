// An engine with its network running, stand-in servers on loopback, and a
// record of every completion the host is told about.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "classification_server.hpp"
#include "context/context.hpp"
#include "entry_table.hpp"
#include "network/network.hpp"
#include "support/recorder.hpp"

namespace quorvane::testing {

namespace engine = quorvane::engine;
namespace spam = quorvane::engine::spam;
namespace context = quorvane::engine::context;
namespace hashes = quorvane::engine::hashes;
namespace stand_in = standins::classification_server;
using namespace std::chrono_literals;

inline constexpr std::uint32_t test_kind = 1;
inline constexpr std::uint32_t test_user = 42;
inline constexpr wchar_t test_secret[] = L"s3cret-machine-id";

// The latency, in ms, given to a server that is meant to answer: its retry
// time (2.1 s) lies beyond the reply of a stand-in on a starved core, so no
// retry changes what a test counts. Servers meant to stay silent keep short
// latencies: their tests wait for every retry.
inline constexpr int patient = 2000;

// Polls until the condition holds or the limit has passed; its last answer.
template <class Condition>
bool wait_until(Condition condition, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Completions delivered through network_completed, by context handle.
class completions {
public:
    static void record(void* handle, std::uint32_t status);
    static void clear();
    // Waits until handle has completed at least once; the statuses so far.
    static std::vector<std::uint32_t> wait(void* handle, std::chrono::milliseconds limit = 10s);
    static std::size_t total();
    static std::vector<std::uint32_t> of(void* handle);
    static bool wait_total(std::size_t count, std::chrono::milliseconds limit);

    // Bytes reported through network_traffic: (sent, received).
    static std::pair<std::uint64_t, std::uint64_t> traffic();

    // What a callback does on the worker thread (set by a test).
    static inline void (*hook)(void* handle, std::uint32_t status) = nullptr;
};

class network_fixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A server on 127.0.0.N with the test credential.
    std::unique_ptr<stand_in::server> make_server(int n = 1, stand_in::options_type options = {});
    // Restores servers (with their latencies in ms) as the engine's list.
    void use(const std::vector<std::pair<const stand_in::server*, int>>& servers);

    // A context authenticated with the test credential.
    void* make_context(std::size_t index = 0);
    void add_fingerprint(void* handle, spam::fingerprint_type fingerprint);
    context::record_pointer record(void* handle);
    // Binds the bytes as the context's message (as binding would leave it).
    void bind_message(void* handle, std::string message);

    std::string servers_json() { return engine::network::save_servers(); }
    std::size_t count_lines(const std::wstring& part);

    recorder rec;
    qvse_callbacks_t table{};
    std::vector<std::unique_ptr<long>> cells;
    bool ipv4_only = false;
};

spam::fingerprint_type relay_fingerprint(std::string octets);
spam::fingerprint_type digest_fingerprint(
    std::uint8_t fill,
    spam::fingerprint_type::category_type category = spam::fingerprint_type::text_chunk);
spam::fingerprint_type link_fingerprint(const std::string& uri);

}  // namespace quorvane::testing
