// What the stand-in learns, kept and forgets: the store on its own, its
// prefix index against a plain scan, and the store file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "classification_server.hpp"
#include "prefix_index.hpp"
#include "store.hpp"

namespace {

namespace stand_in = quorvane::standins::classification_server;
using stand_in::fingerprint_type;
using stand_in::learning_store;

fingerprint_type digest(char fill, std::uint32_t category = 2)
{
    return {category, std::string(16, fill)};
}
fingerprint_type link(const std::string &uri)
{
    return {64, uri};
}

// The weight the engine gives an answered fingerprint.
unsigned weight(const fingerprint_type &fingerprint, const stand_in::record_type &answer)
{
    if (answer.reports + answer.revokes == 0)
        return 0;
    double p = 100.0 * double(answer.reports) / double(answer.reports + 8 * answer.revokes);
    if (fingerprint.category == 0)
        p = p < 80 ? 0 : p * 0.4;
    if (fingerprint.category == 64 && p < 80)
        p = 0;
    return static_cast<unsigned>(p);
}

TEST(LearningStore, AReportedMessageIsFoundAgainByEveryKindItCarries)
{
    learning_store store(1000);
    const std::vector<fingerprint_type> message = {
        {0, std::string("\xC0\x00\x02\x07", 4)}, digest('a'), digest('b'), digest('c', 3), digest('d', 4),
        link("http://example.net/offer")};
    const auto before = store.look_up(message);
    EXPECT_EQ(std::count(before.begin(), before.end(), std::nullopt), 6) << "nothing reported yet";
    store.learn(message, false);
    const auto answers = store.look_up(message);
    ASSERT_EQ(answers.size(), message.size());
    for (std::size_t k = 0; k < message.size(); ++k) {
        ASSERT_TRUE(answers[k]) << "fingerprint " << k;
        EXPECT_EQ(answers[k]->data, message[k].data);
        EXPECT_EQ(answers[k]->reports, 1u);
        EXPECT_EQ(answers[k]->revokes, 0u);
    }
    // A copy that shares only a digest is answered for it alone.
    const auto copy = store.look_up({digest('z'), digest('b'), link("http://other.example/")});
    EXPECT_FALSE(copy[0]);
    EXPECT_TRUE(copy[1]);
    EXPECT_FALSE(copy[2]);
}

TEST(LearningStore, LinksAreAnsweredByTheLongestReportedLinkThatBeginsThem)
{
    learning_store store(1000);
    store.learn({link("http://a.example/")}, false);
    store.learn({link("http://a.example/deep/")}, false);
    store.look_up({link("http://a.example/deep/er/and/longer")});  // a sighting only: answers nothing
    struct row {
        std::string looked_up;
        std::optional<std::string> answered_by;
    };
    for (const auto &[looked_up, answered_by] : std::vector<row>{
             {"http://a.example/", "http://a.example/"},
             {"http://a.example/x", "http://a.example/"},
             {"http://a.example/deep/er/and/longer?yes", "http://a.example/deep/"},
             {"http://a.example", std::nullopt},
             {"http://b.example/", std::nullopt},
             {"", std::nullopt},
         }) {
        const auto answers = store.look_up({link(looked_up)});
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0] ? std::optional(answers[0]->data) : std::nullopt, answered_by) << looked_up;
    }
}

// The engine refuses a reply that carries one id twice, and with it every
// answer after: so a record answers one fingerprint of a lookup at most.
TEST(LearningStore, ARecordAnswersOneFingerprintOfALookup)
{
    learning_store store(1000);
    store.learn({link("http://a.example/"), digest('t', 3)}, false);
    const auto answers =
        store.look_up({digest('t', 3), link("http://a.example/one"), digest('t', 3), link("http://a.example/two")});
    ASSERT_EQ(answers.size(), 4u);
    EXPECT_TRUE(answers[0]);
    EXPECT_TRUE(answers[1]);
    EXPECT_FALSE(answers[2]);
    EXPECT_FALSE(answers[3]);

    // An operator's record given the id of a learned one.
    store.configure({2, std::string(16, 'o'), answers[0]->id, 0, 4, 0, 0, 0});
    const auto shared = store.look_up({digest('t', 3), digest('o')});
    EXPECT_TRUE(shared[0]);
    EXPECT_FALSE(shared[1]);
}

// Mail nobody reported outweighs a few reports; a campaign reported about as
// often as it is seen keeps its weight.
TEST(LearningStore, WeightFollowsTheShareOfSightingsThatWereReported)
{
    struct row {
        const char *what;
        int unreported_before, reported, unreported_after;
        unsigned link_weight, digest_weight;
    };
    for (const auto &r : std::vector<row>{
             {"reported once, never seen otherwise", 0, 1, 0, 100, 100},
             {"a campaign: every copy reported", 0, 20, 0, 100, 100},
             {"a campaign, three copies unreported", 0, 20, 3, 100, 100},
             {"a list footer in 200 messages, 2 spam reported", 198, 2, 0, 0, 0},
             {"a list footer reported early, then seen 60 times", 0, 2, 60, 0, 3},
             {"half the sightings reported", 10, 10, 0, 0, 55},
         }) {
        learning_store store(1000);
        int serial = 0;
        // Each message has a footer link and a digest in common, and a
        // digest of its own, so no two lookups are alike.
        const auto message = [&] {
            ++serial;
            return std::vector<fingerprint_type>{
                link("http://lists.example/listinfo/x"),
                digest('f'),
                {2, std::string(12, 'u') + std::string(reinterpret_cast<char *>(&serial), 4)}};
        };
        for (int k = 0; k < r.unreported_before; ++k)
            store.look_up(message());
        for (int k = 0; k < r.reported; ++k) {
            const auto spam = message();
            store.look_up(spam);
            store.learn(spam, false);
        }
        for (int k = 0; k < r.unreported_after; ++k)
            store.look_up(message());
        const auto answers = store.look_up(message());
        ASSERT_TRUE(answers[0] && answers[1]) << r.what;
        EXPECT_EQ(weight(link(""), *answers[0]), r.link_weight) << r.what;
        EXPECT_EQ(weight(digest('f'), *answers[1]), r.digest_weight) << r.what;
    }
}

TEST(LearningStore, AMessageAskedAboutAgainIsOneSighting)
{
    learning_store store(1000);
    const std::vector<fingerprint_type> message = {link("http://a.example/"), digest('m')};
    for (int k = 0; k < 20; ++k)
        store.look_up(message);
    store.learn(message, false);
    const auto answers = store.look_up(message);
    ASSERT_TRUE(answers[0]);
    EXPECT_EQ(answers[0]->revokes, 0u);
    const auto records = store.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].lookups, 1u);
}

TEST(LearningStore, ConfiguredRecordsAnswerAsGivenAndAreNeverForgotten)
{
    learning_store store(16);
    store.configure({64, "http://spam.example/", 900, 3, 4, 7, 1, 2});
    for (int k = 0; k < 200; ++k)
        store.look_up({link("http://spam.example/" + std::to_string(k))});
    const auto answers = store.look_up({link("http://spam.example/path")});
    ASSERT_TRUE(answers[0]);
    EXPECT_EQ(answers[0]->id, 900u);
    EXPECT_EQ(answers[0]->flags, 4u);
    EXPECT_EQ(answers[0]->reports, 7u);
    EXPECT_EQ(answers[0]->revokes, 1u) << "sightings do not change a configured record's answer";
}

// A flood of lookups of fingerprints never reported cannot grow the store
// past its cap, nor push out what was reported.
TEST(LearningStore, AFloodStaysWithinTheCapAndSparesReportedRecords)
{
    learning_store store(1000);
    const std::vector<fingerprint_type> spam = {link("http://campaign.example/"), digest('s')};
    store.look_up(spam);
    store.learn(spam, false);
    std::mt19937 random(7);
    for (int k = 0; k < 20000; ++k) {
        std::string noise(16, '\0');
        for (auto &c : noise)
            c = static_cast<char>(random());
        store.look_up({{2, noise}, link("http://flood.example/" + noise)});
        ASSERT_LE(store.size(), 1000u);
    }
    const auto answers = store.look_up(spam);
    ASSERT_TRUE(answers[0]);
    ASSERT_TRUE(answers[1]);
    EXPECT_EQ(answers[0]->reports, 1u);
}

// Long links are kept by their beginning, and the data kept has a ceiling:
// a client cannot fill memory with a few records.
TEST(LearningStore, LongLinksAreKeptByTheirBeginningWithinTheBytesAllowed)
{
    learning_store store(1'000'000, 64 << 10);
    const std::string campaign = "http://campaign.example/" + std::string(5000, 'c');
    store.look_up({link(campaign)});
    store.learn({link(campaign)}, false);
    for (int k = 0; k < 500; ++k)
        store.look_up({link("http://flood.example/" + std::to_string(k) + std::string(100000, 'f'))});
    std::size_t bytes = 0;
    for (const auto &record : store.records()) {
        EXPECT_LE(record.data.size(), learning_store::longest_link);
        bytes += record.data.size();
    }
    EXPECT_LE(bytes, std::size_t{64} << 10);
    const auto answers = store.look_up({link(campaign)});
    ASSERT_TRUE(answers[0]) << "the reported link survives the flood";
    EXPECT_EQ(answers[0]->data, campaign.substr(0, learning_store::longest_link));
    EXPECT_EQ(answers[0]->reports, 1u);
    EXPECT_EQ(answers[0]->revokes, 0u);
}

// The prefix index against a scan of every key, through inserts and erases
// that split and merge its edges.
TEST(PrefixIndex, FindsWhatAScanFinds)
{
    std::mt19937 random(11);
    stand_in::prefix_index<const std::string> index;
    std::map<std::string, bool> stored;
    std::vector<std::string> keys;
    const auto some_key = [&] {
        std::string key;
        const std::size_t length = random() % 7;
        for (std::size_t k = 0; k < length; ++k)
            key += "ab/"[random() % 3];
        return key;
    };
    for (int round = 0; round < 4000; ++round) {
        const std::string key = some_key();
        const auto place = stored.try_emplace(key, true).first;
        if (random() % 3 == 0) {
            index.erase(key);
            stored.erase(place);
        } else {
            index.insert(key, &place->first);
        }
        const std::string text = some_key() + some_key();
        std::vector<std::string> found, expected;
        index.prefixes(text, [&](const std::string *value) { found.push_back(*value); });
        for (const auto &[candidate, present] : stored)
            if (text.compare(0, candidate.size(), candidate) == 0)
                expected.push_back(candidate);
        std::sort(expected.begin(), expected.end(),
                  [](const std::string &a, const std::string &b) { return a.size() < b.size(); });
        ASSERT_EQ(found, expected) << "round " << round << " text " << text;
    }
}

TEST(PrefixIndex, ALongChainOfNestedKeysIsFreedWithoutDeepRecursion)
{
    auto index = std::make_unique<stand_in::prefix_index<int>>();
    int value = 1;
    std::string key;
    for (int k = 0; k < 20000; ++k)
        index->insert(key += 'a', &value);
    int count = 0;
    index->prefixes(key, [&](int *) { ++count; });
    EXPECT_EQ(count, 20000);
    index.reset();
}

class StoreFile : public ::testing::Test {
protected:
    std::filesystem::path folder = std::filesystem::temp_directory_path()
        / ("qv-store-test-" + std::to_string(getpid()) + "-"
           + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    void SetUp() override { std::filesystem::create_directories(folder); }
    void TearDown() override { std::filesystem::remove_all(folder); }
    std::string write(const std::string &text)
    {
        const auto path = (folder / "learned.store").string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
};

TEST_F(StoreFile, KeepsSightingsAndStillReadsTheFormerFormat)
{
    const std::string path = (folder / "learned.store").string();
    stand_in::write_store(path,
                          {{64, "http://a.example/", 3, 0, 0, 2, 1, 0, 17},
                           {2, std::string(16, '\x11'), 4, 0, 0, 0, 0, 0, 5},
                           {3, std::string(16, '\x22'), 5, 0, 0, 0, 0, 0, 0}});
    const auto read = stand_in::read_store(path);
    ASSERT_EQ(read.size(), 2u) << "a record that says nothing is not kept";
    EXPECT_EQ(read[0].data, "http://a.example/");
    EXPECT_EQ(read[0].reports, 2u);
    EXPECT_EQ(read[0].revokes, 1u);
    EXPECT_EQ(read[0].lookups, 17u);
    EXPECT_EQ(read[1].lookups, 5u);

    const auto former =
        stand_in::read_store(write("qv-classification-server store 1\n64 9 0 0 3 1 0 687474703a2f2f\n"));
    ASSERT_EQ(former.size(), 1u);
    EXPECT_EQ(former[0].id, 9u);
    EXPECT_EQ(former[0].reports, 3u);
    EXPECT_EQ(former[0].lookups, 0u);
    EXPECT_EQ(former[0].data, "http://");
}

TEST_F(StoreFile, RefusesWhatIsNotAStore)
{
    for (const char *text : {"", "something else\n", "qv-classification-server store 3\n",
                             "qv-classification-server store 2\n64 1 0 0 3 zz\n",
                             "qv-classification-server store 2\n64 1 0 0 3 0 0 0 6g\n",
                             "qv-classification-server store 2\n64 1 0 0 3 0 0 0 616\n",
                             "qv-classification-server store 2\n64 1 0 0 3 0 0 0 61 extra\n",
                             "qv-classification-server store 1\n64 1 0 0 3 0 0 4 61\n"})
        EXPECT_THROW(stand_in::read_store(write(text)), std::runtime_error) << text;
    EXPECT_TRUE(stand_in::read_store((folder / "missing.store").string()).empty());
}

}  // namespace
