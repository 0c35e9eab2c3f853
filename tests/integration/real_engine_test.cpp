// The shipped engine loaded by the gateway from its own directory, talking to
// a stand-in classification server on loopback: a message goes from bytes to
// a verdict, and the engine is replaced while hosts keep calling it.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "callgate.h"
#include "classification_server.hpp"
#include "loopback_address.h"

namespace {

namespace fs = std::filesystem;
namespace stand_in = quorvane::standins::classification_server;
using namespace std::chrono_literals;

constexpr std::uint32_t kind = 1;
constexpr std::uint32_t user = 7;
constexpr wchar_t secret[] = L"machine-0123456789abcdef";
constexpr std::uint8_t lookup_type = 2;

const std::string message =
    "From: Offers <offers@example.net>\r\n"
    "To: someone@example.org\r\n"
    "Subject: Your account\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "\r\n"
    "Dear customer, we are writing to tell you that your account has been selected for a\r\n"
    "special offer. Please visit http://offers.example.net/claim/now to claim it before the\r\n"
    "end of the week. This is the last time we will write to you about this offer, and we\r\n"
    "thank you for being with us for so many years.\r\n";

// What the host is told, shared by the callbacks.
struct host_type {
    std::mutex mutex;
    std::condition_variable changed;
    unsigned updates = 0;
    std::map<void*, std::pair<std::wstring, std::uint32_t>> languages;
    std::map<void*, std::vector<std::pair<std::wstring, std::wstring>>> fingerprints;
    std::vector<std::wstring> errors;
} host;

void on_trace(std::uint32_t level, const wchar_t*, std::size_t, std::uint32_t, const wchar_t* text,
              std::size_t length) {
    if (level > QVSE_TRACE_ERROR) return;
    std::lock_guard lock(host.mutex);
    if (host.errors.size() < 100) host.errors.emplace_back(text, length);
}

void on_update_completed() {
    std::lock_guard lock(host.mutex);
    ++host.updates;
    host.changed.notify_all();
}

void on_fingerprint(void* context, const wchar_t* category, std::size_t category_length,
                    const wchar_t* value, std::size_t value_length) {
    std::lock_guard lock(host.mutex);
    host.fingerprints[context].emplace_back(std::wstring(category, category_length),
                                            std::wstring(value, value_length));
}

// Like the application: of the leading languages the one of the largest count.
void on_language(void* context, const wchar_t* language, std::size_t length, std::uint32_t matched,
                 std::uint32_t) {
    std::lock_guard lock(host.mutex);
    auto& [kept, count] = host.languages[context];
    if (kept.empty() || matched > count) {
        kept.assign(language, length);
        count = matched;
    }
}

void on_completed(void*, std::uint32_t) {}

qvse_callbacks_t host_table() {
    qvse_callbacks_t table{};
    table.size = sizeof table;
    table.trace = &on_trace;
    table.update_completed = &on_update_completed;
    table.network_completed = &on_completed;
    table.fingerprint_generated = &on_fingerprint;
    table.language_classified = &on_language;
    return table;
}

class scratch_directory {
public:
    scratch_directory() {
        std::string pattern = (fs::temp_directory_path() / "qv-engine-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
        fs::copy_file(QV_ENGINE_LIBRARY_PATH, path_ / QVSE_ENGINE_LIBRARY_NAME);
    }
    ~scratch_directory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string string() const { return path_.string(); }

private:
    fs::path path_;
};

struct verdict_type {
    std::uint32_t result = ~0u;
    bool whitelisted = false;
    bool blacklisted = false;
    std::uint32_t score = 0;
};

// How a query takes a lookup that the servers did not answer in time.
enum class late_servers { fail, ignore };

// The application's query: bind, authenticate, prepare, look up, classify.
// With late_servers::ignore a lookup whose servers all answered after their
// retry time is passed over, as the application does, and the engine
// classifies without the servers' answers.
verdict_type ask(void* cell, std::uint32_t deadline_ms = 5000,
                 late_servers late = late_servers::fail) {
    verdict_type verdict;
    if ((verdict.result = QVSE_Context_Create(cell)) != QVSE_OK) return verdict;
    const auto destroy = [cell] {
        std::uint32_t result;
        while ((result = QVSE_Context_Destroy(cell)) == QVSE_E_IN_USE)
            std::this_thread::sleep_for(1ms);
        return result;
    };
    verdict.result = QVSE_MIME_BindBuffer(cell, message.data(), message.size());
    if (verdict.result == QVSE_OK)
        verdict.result = QVSE_Network_Authenticate(cell, kind, user, secret, std::wcslen(secret));
    if (verdict.result == QVSE_OK) verdict.result = QVSE_Spam_Prepare(cell);
    if (verdict.result == QVSE_OK && deadline_ms != 0) {
        verdict.result = QVSE_Network_Lookup(cell, deadline_ms, false);
        if (late == late_servers::ignore && verdict.result == QVSE_E_SERVERS_EXHAUSTED)
            verdict.result = QVSE_OK;
    }
    if (verdict.result == QVSE_OK)
        verdict.result = QVSE_Spam_GetClassification(cell, &verdict.whitelisted,
                                                     &verdict.blacklisted, &verdict.score);
    if (verdict.result == QVSE_OK) verdict.result = QVSE_Language_GetClassification(cell);
    const std::uint32_t destroyed = destroy();
    if (verdict.result == QVSE_OK) verdict.result = destroyed;
    return verdict;
}

class RealEngine : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard lock(host.mutex);
            host.updates = 0;
            host.languages.clear();
            host.fingerprints.clear();
            host.errors.clear();
        }
        // Tests run in processes of their own, and other runs of the suite
        // may run beside them: each gets a loopback address of its own, since
        // the port is fixed, and takes another when that one is taken.
        const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (unsigned attempt = 0; !server && attempt < quorvane::testing::loopback_attempts;
             ++attempt) {
            address = quorvane::testing::loopback_address(test, attempt);
            stand_in::options_type options;
            options.address = address;
            options.port = 2409;
            try {
                server = std::make_unique<stand_in::server>(options);
            } catch (const std::exception& error) {
                std::fprintf(stderr, "%s: %s\n", address.c_str(), error.what());
            }
        }
        ASSERT_TRUE(server) << "no loopback address could be bound";
        std::string utf8_secret(std::begin(secret), std::end(secret) - 1);
        server->add_credential(kind, user, utf8_secret);

        table = host_table();
        const std::string directory = engine_directory.string();
        ASSERT_EQ(QVSE_Engine_Initialize(directory.data(), directory.size(), &table), 0u);
        const std::wstring name(address.begin(), address.end());
        ASSERT_EQ(QVSE_Network_Connect(name.data(), name.size()), 0u);
    }

    void TearDown() override {
        EXPECT_EQ(QVSE_Engine_Shutdown(), 0u);
        std::lock_guard lock(host.mutex);
        for (const auto& line : host.errors)
            ADD_FAILURE() << "engine error: " << std::string(line.begin(), line.end());
    }

    // Replaces the engine's files with a fresh copy and waits for the reload.
    void update() {
        scratch_directory update_directory;
        const std::string directory = update_directory.string();
        ASSERT_EQ(QVSE_Engine_Update(directory.data(), directory.size()), 0u);
    }

    scratch_directory engine_directory;
    std::string address;
    std::unique_ptr<stand_in::server> server;
    qvse_callbacks_t table{};
};

// A host whose shut-down was refused because a context is still open, and
// which then quits, ends normally.
TEST(RealEngineDeathTest, QuittingWithAContextOpenEndsCleanly) {
    EXPECT_EXIT(
        {
            scratch_directory directory;
            const std::string path = directory.string();
            // No callbacks: the engine's threads still run while exit
            // destroys the host's state.
            qvse_callbacks_t table{};
            table.size = sizeof table;
            if (QVSE_Engine_Initialize(path.data(), path.size(), &table) != QVSE_OK) std::_Exit(2);
            long cell = 0;
            if (QVSE_Context_Create(&cell) != QVSE_OK) std::_Exit(3);
            if (QVSE_Engine_Shutdown() != QVSE_E_IN_USE) std::_Exit(4);
            std::error_code ignored;
            fs::remove_all(path, ignored);  // exit skips the destructor
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// Set by a child that exits with its threads still running: the leak check
// at exit would stop a thread inside the engine to scan it, and what it
// found would be the running call's, not leaks.
std::atomic<bool> exits_while_running{false};

}  // namespace

extern "C" int __lsan_is_turned_off() { return exits_while_running.load() ? 1 : 0; }

namespace {

// A host that returns from main while another of its threads is inside the
// engine ends normally: exit destroys nothing that a running call uses. Each
// run lets the binding thread get going, then exits at a different moment.
// What the thread itself uses (the message, its counter) is the host's and
// must outlive exit too.
TEST(RealEngineDeathTest, ReturningFromMainWhileAnotherThreadBindsEndsCleanly) {
    for (int run = 0; run < 10; ++run) {
        SCOPED_TRACE(run);
        EXPECT_EXIT(
            {
                scratch_directory directory;
                const std::string path = directory.string();
                qvse_callbacks_t table = host_table();
                table.trace = nullptr;  // exit destroys the host's records
                table.fingerprint_generated = nullptr;
                table.language_classified = [](void*, const wchar_t*, std::size_t, std::uint32_t,
                                               std::uint32_t) {};
                if (QVSE_Engine_Initialize(path.data(), path.size(), &table) != QVSE_OK)
                    std::_Exit(2);
                static std::atomic<unsigned> bound{0};
                static const std::string& bytes = *new std::string(message);
                std::thread([] {
                    for (;;) {
                        long cell = 0;
                        if (QVSE_Context_Create(&cell) != QVSE_OK) continue;
                        QVSE_MIME_BindBuffer(&cell, bytes.data(), bytes.size());
                        QVSE_Spam_Prepare(&cell);
                        QVSE_Language_GetClassification(&cell);
                        QVSE_Context_Destroy(&cell);
                        ++bound;
                    }
                }).detach();
                while (bound.load() < 2) std::this_thread::yield();
                exits_while_running = true;
                std::this_thread::sleep_for(std::chrono::microseconds(100 * run));
                std::error_code ignored;
                fs::remove_all(path, ignored);  // exit skips the destructor
                std::exit(0);
            },
            ::testing::ExitedWithCode(0), "");
    }
}

TEST_F(RealEngine, AMessageGoesFromBytesToAVerdict) {
    long cell = 0;
    verdict_type verdict = ask(&cell);
    ASSERT_EQ(verdict.result, 0u);
    EXPECT_FALSE(verdict.blacklisted);
    EXPECT_EQ(verdict.score, 0u) << "no server knows the message yet";
    EXPECT_GE(server->count(lookup_type), 1u);

    std::wstring link;
    {
        std::lock_guard lock(host.mutex);
        EXPECT_EQ(host.languages[&cell].first, L"en");
        for (const auto& [category, value] : host.fingerprints[&cell])
            if (category == L"tru") link = value;
    }
    ASSERT_FALSE(link.empty()) << "the link makes a fingerprint";

    // The server learns the link as spam; the next query of the same message
    // is blacklisted through the link's answer.
    stand_in::record_type record;
    record.category = 64;
    record.data.assign(link.begin(), link.end());  // the key is ASCII
    record.id = 99;
    record.flags = 4;
    server->add_record(record);
    verdict = ask(&cell);
    ASSERT_EQ(verdict.result, 0u);
    EXPECT_TRUE(verdict.blacklisted);
    EXPECT_EQ(verdict.score, 100u);
}

TEST_F(RealEngine, ReloadKeepsTheServerList) {
    long cell = 0;
    ASSERT_EQ(ask(&cell).result, 0u);
    const std::size_t lookups = server->count(lookup_type);

    update();
    {
        std::lock_guard lock(host.mutex);
        EXPECT_EQ(host.updates, 1u);
    }
    // No second connect: the servers came through the reload.
    ASSERT_EQ(ask(&cell).result, 0u);
    EXPECT_EQ(server->count(lookup_type), lookups + 1);

    wchar_t version[64], description[256];
    std::size_t version_length = 64, description_length = 256;
    EXPECT_EQ(QVSE_Engine_GetVersion(version, &version_length, description, &description_length),
              0u);
    EXPECT_GT(version_length, 0u);
}

// Eight host threads query without pause while the engine is replaced again
// and again: no call ever finds the engine missing, and every query ends
// with a verdict. The stand-in server answers within its retry time only on
// a machine with cores to spare: a lookup that ran out of servers counts as
// a query without the servers' answers, not as a failure.
TEST_F(RealEngine, HostsKeepWorkingWhileTheEngineIsReplaced) {
    constexpr unsigned threads = 8, updates = 200;
    std::atomic<bool> stop{false};
    std::atomic<unsigned> queries{0}, failures{0};
    std::atomic<std::uint32_t> first_failure{0};

    // A deadlock fails the test instead of hanging it.
    std::thread watchdog([&] {
        for (int tick = 0; tick < 480 && !stop; ++tick) std::this_thread::sleep_for(500ms);
        if (!stop) {
            std::fprintf(stderr, "watchdog: no progress after 240 s\n");
            std::abort();
        }
    });

    std::vector<std::thread> hosts;
    std::vector<long> cells(threads);
    for (unsigned t = 0; t < threads; ++t) {
        hosts.emplace_back([&, t] {
            while (!stop) {
                // Every other query skips the network, so the loop stays busy.
                const verdict_type verdict =
                    ask(&cells[t], t % 2 == 0 ? 2000 : 0, late_servers::ignore);
                ++queries;
                if (verdict.result != QVSE_OK) {
                    std::uint32_t none = 0;
                    first_failure.compare_exchange_strong(none, verdict.result);
                    ++failures;
                }
            }
        });
    }
    for (unsigned i = 0; i < updates && failures == 0; ++i) update();
    stop = true;
    for (auto& thread : hosts) thread.join();
    watchdog.join();

    EXPECT_EQ(failures.load(), 0u) << "first failure 0x" << std::hex << first_failure.load();
    EXPECT_GT(queries.load(), threads);
    std::lock_guard lock(host.mutex);
    EXPECT_EQ(host.updates, updates);
}

}  // namespace
