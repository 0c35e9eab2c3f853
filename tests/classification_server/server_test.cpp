// The stand-in learning through the wire, asked by the engine's own network
// client: reports teach it, lookups are sightings, and what it learned
// survives a restart.
#include <unistd.h>

#include <filesystem>
#include <map>
#include <thread>

#include "fixture.hpp"
#include "network/network.hpp"

namespace quorvane::testing {
namespace {

namespace network = engine::network;

// What the engine would make of the test's messages: each names its
// fingerprints.
std::map<std::string, std::vector<stand_in::fingerprint_type>> kinds_of_message = {
    {"Subject: offer\r\n\r\nbuy", {{64, "example.a"}}},
    {"Subject: plain\r\n\r\nno links at all",
     {{2, std::string(16, '\x31')}, {2, std::string(16, '\x32')}, {3, std::string(16, '\x33')}}},
};

stand_in::options_type learning(std::string store = {})
{
    stand_in::options_type options;
    options.fingerprints = [](const std::string &message) { return kinds_of_message.at(message); };
    options.store = std::move(store);
    return options;
}

class Learning : public network_fixture {
protected:
    // Reports (or revokes) one of the messages above.
    void tell(const std::string &message, bool revoke = false)
    {
        void *handle = make_context(cells.size());
        bind_message(handle, message);
        ASSERT_EQ(revoke ? network::revoke(handle, false, 5000, false) : network::report(handle, true, 5000, false),
                  unsigned(QVSE_OK));
    }
    // Looks up the fingerprints in a new context; their answers.
    std::vector<std::optional<spam::fingerprint_type::match_type>>
    look_up(const std::vector<spam::fingerprint_type> &fingerprints)
    {
        void *handle = make_context(cells.size());
        for (const auto &fingerprint : fingerprints)
            add_fingerprint(handle, fingerprint);
        EXPECT_EQ(network::lookup(handle, 5000, false), unsigned(QVSE_OK));
        auto held = record(handle);
        std::lock_guard lock(held->mutex);
        std::vector<std::optional<spam::fingerprint_type::match_type>> out;
        for (const auto &fingerprint : held->fingerprints)
            out.push_back(fingerprint.match ? std::optional(*fingerprint.match) : std::nullopt);
        return out;
    }
};

// Two links under one reported link: a reply may not carry its id twice, or
// the engine throws the whole reply away.
TEST_F(Learning, OneRecordAnswersOneFingerprintOfALookup)
{
    auto server = make_server(101, learning());
    use({{server.get(), patient}});
    tell("Subject: offer\r\n\r\nbuy");
    const auto answers = look_up({link_fingerprint("example.a/one"), link_fingerprint("example.a/two")});
    ASSERT_EQ(answers.size(), 2u);
    ASSERT_TRUE(answers[0]);
    EXPECT_EQ(answers[0]->length, 9u);
    EXPECT_EQ(answers[0]->reports, 1u);
    EXPECT_FALSE(answers[1]);
}

TEST_F(Learning, SightingsBeyondReportsAreAnsweredAsRevokes)
{
    auto server = make_server(102, learning());
    use({{server.get(), patient}});
    tell("Subject: offer\r\n\r\nbuy");
    std::optional<spam::fingerprint_type::match_type> last;
    for (std::uint8_t k = 0; k < 17; ++k)
        last = look_up({link_fingerprint("example.a/list"), digest_fingerprint(0x40 + k)})[0];
    ASSERT_TRUE(last);
    EXPECT_EQ(last->reports, 1u);
    EXPECT_EQ(last->revokes, 2u) << "16 sightings, one reported: 15 unreported, about two revokes";
}

TEST_F(Learning, AMessageWithoutLinksIsFoundAgainAlsoAfterARestart)
{
    const auto folder = std::filesystem::temp_directory_path() / ("qv-learning-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const std::string store = (folder / "learned.store").string();
    const std::string message = "Subject: plain\r\n\r\nno links at all";
    const std::vector<spam::fingerprint_type> fingerprints = {
        digest_fingerprint(0x31), digest_fingerprint(0x32),
        digest_fingerprint(0x33, spam::fingerprint_type::word_sequence), digest_fingerprint(0x34)};
    {
        auto server = make_server(103, learning(store));
        use({{server.get(), patient}});
        look_up(fingerprints);  // as it arrived
        tell(message);
        const auto answers = look_up(fingerprints);
        ASSERT_EQ(answers.size(), 4u);
        for (int k = 0; k < 3; ++k) {
            ASSERT_TRUE(answers[k]) << k;
            EXPECT_EQ(answers[k]->reports, 1u);
            EXPECT_EQ(answers[k]->revokes, 0u);
        }
        EXPECT_FALSE(answers[3]) << "never reported";
    }
    auto server = make_server(103, learning(store));
    use({{server.get(), patient}});
    auto answers = look_up(fingerprints);
    for (int k = 0; k < 3; ++k) {
        ASSERT_TRUE(answers[k]) << k;
        EXPECT_EQ(answers[k]->reports, 1u);
    }
    tell(message, true);
    answers = look_up(fingerprints);
    ASSERT_TRUE(answers[0]);
    EXPECT_EQ(answers[0]->revokes, 1u);
    server.reset();  // its writer is done with the folder
    std::filesystem::remove_all(folder);
}

// Large reports, one after another, are not all kept in memory.
TEST_F(Learning, KeptReportsStayWithinTheirBytes)
{
    stand_in::options_type options;
    options.history_bytes = 1 << 20;
    auto server = make_server(105, options);
    use({{server.get(), patient}});
    for (char fill = 'a'; fill < 'g'; ++fill) {
        void *handle = make_context(cells.size());
        bind_message(handle, "Subject: big\r\n\r\n" + std::string(400 << 10, fill));
        ASSERT_EQ(network::report(handle, true, 10000, false), unsigned(QVSE_OK));
    }
    const auto kept = server->reports();
    std::size_t bytes = 0;
    for (const auto &report : kept)
        bytes += report.message.size();
    EXPECT_LE(bytes, std::size_t{1} << 20);
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.back().message.back(), 'f') << "the latest is kept";
}

// An answered report is on disk before its answer leaves: a server killed
// right after it loses nothing of it.
TEST_F(Learning, AnAnsweredReportIsOnDiskAlready)
{
    const auto folder = std::filesystem::temp_directory_path() / ("qv-learning-run-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const std::string store = (folder / "learned.store").string();
    auto server = make_server(104, learning(store));
    use({{server.get(), patient}});
    tell("Subject: offer\r\n\r\nbuy");
    bool found = false;
    for (const auto &record : stand_in::read_learned(store))
        found |= record.category == 64 && record.data == "example.a" && record.reports == 1;
    EXPECT_TRUE(found);
    server.reset();
    std::filesystem::remove_all(folder);
}

// While the store's folder is gone nothing can be journaled, so reports go
// unanswered; once a rewrite holds what was learned, they are answered again.
TEST_F(Learning, ReportsAreAnsweredOnlyWhileTheyCanBeKept)
{
    const auto folder = std::filesystem::temp_directory_path() / ("qv-learning-late-" + std::to_string(getpid()));
    std::filesystem::remove_all(folder);
    const std::string store = (folder / "learned.store").string();
    auto server = make_server(106, learning(store));
    use({{server.get(), patient}});
    const auto report = [&] {
        void *handle = make_context(cells.size());
        bind_message(handle, "Subject: offer\r\n\r\nbuy");
        return network::report(handle, true, 2000, false);
    };
    EXPECT_NE(report(), unsigned(QVSE_OK)) << "answered though it could not be kept";
    std::filesystem::create_directories(folder);
    ASSERT_TRUE(wait_until([&] { return report() == unsigned(QVSE_OK); }, 30s));
    bool found = false;
    for (const auto &record : stand_in::read_learned(store))
        found |= record.reports == 1;
    EXPECT_TRUE(found) << "counted once, however often it was sent";
    server.reset();
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace quorvane::testing
