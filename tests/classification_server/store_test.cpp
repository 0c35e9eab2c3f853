// What the stand-in learns, keeps and forgets: the store on its own, with
// links keyed as the engine keys them.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "classification_server.hpp"
#include "coding.hpp"
#include "record_index.hpp"
#include "store.hpp"
#include "uri/normalize.hpp"

namespace {

namespace stand_in = quorvane::standins::classification_server;
using stand_in::fingerprint_type;
using stand_in::learning_store;

fingerprint_type digest(char fill, std::uint32_t category = 2)
{
    return {category, std::string(16, fill)};
}
// The fingerprint the engine makes of a link.
fingerprint_type link(const std::wstring &uri)
{
    const auto key = quorvane::engine::uri::key(uri);
    EXPECT_TRUE(key) << "no key";
    return {64, quorvane::engine::coding::to_utf8(key.value_or(L""))};
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
        link(L"http://example.net/offer")};
    const auto before = store.look_up(message);
    EXPECT_EQ(std::count(before.begin(), before.end(), std::nullopt), 6) << "nothing reported yet";
    EXPECT_TRUE(store.learn(message, false));
    const auto answers = store.look_up(message);
    ASSERT_EQ(answers.size(), message.size());
    for (std::size_t k = 0; k < message.size(); ++k) {
        ASSERT_TRUE(answers[k]) << "fingerprint " << k;
        EXPECT_EQ(answers[k]->data, message[k].data);
        EXPECT_EQ(answers[k]->reports, 1u);
        EXPECT_EQ(answers[k]->revokes, 0u);
    }
    const auto copy = store.look_up({digest('z'), digest('b'), link(L"http://other.example/")});
    EXPECT_FALSE(copy[0]);
    EXPECT_TRUE(copy[1]);
    EXPECT_FALSE(copy[2]);
}

// A record covers a longer key only where the key goes on with a subdomain
// or a path, as the engine's keys do; never inside a label or a segment.
TEST(LearningStore, ALinkAnswersItsSubdomainsAndPathsOnly)
{
    struct row {
        const wchar_t *reported;
        const wchar_t *looked_up;
        bool answered;
    };
    for (const auto &r : std::vector<row>{
             {L"http://mail.com/x", L"http://mail.com/x", true},
             {L"http://mail.com/x", L"http://mail.com/x/deeper", true},
             {L"http://mail.com/x", L"http://mail.com/xy", false},
             {L"http://mail.com/x", L"http://mail.com/other", false},
             {L"http://mail.com/", L"http://us5.mailchimp.com/", false},
             {L"http://mail.com/", L"http://email.mailgun.com/track", false},
             {L"http://mail.com/", L"http://www.mailinator.com/", false},
             {L"http://mail.com/", L"http://news.mail.com/x", true},
             {L"http://mail.com/", L"http://mail.com/any/path", true},
             {L"http://mail.com/", L"http://mail.community/", false},
             {L"http://mail.com/", L"http://mail.com:8080/", false},
             {L"http://taint.org/", L"http://taintedlove.org/", false},
             {L"http://taint.org/", L"http://www.taint.org/~jm", true},
             {L"http://192.168.1.10/p", L"http://192.168.1.10/p/q", true},
             {L"http://192.168.1.1/", L"http://192.168.1.10/", false},
             {L"http://www/", L"http://www2.example.com/", false},
             {L"http://www/", L"http://www.www/", false},
         }) {
        learning_store store(1000);
        store.learn({link(r.reported)}, false);
        const auto answers = store.look_up({link(r.looked_up)});
        EXPECT_EQ(answers[0].has_value(), r.answered)
            << "reported " << link(r.reported).data << ", looked up " << link(r.looked_up).data;
    }
}

TEST(LearningStore, TheLongestCoveringLinkAnswersWithItsLength)
{
    learning_store store(1000);
    store.learn({link(L"http://a.example/")}, false);
    store.learn({link(L"http://a.example/deep/")}, false);
    store.look_up({link(L"http://a.example/deep/er/and")});  // a sighting only: answers nothing
    const auto answers = store.look_up({link(L"http://a.example/deep/er/and?q")});
    ASSERT_TRUE(answers[0]);
    EXPECT_EQ(answers[0]->data, "example.a/deep");
}

// The engine refuses a reply that carries one id twice: so a record answers
// one fingerprint of a lookup at most, and an operator's ids never meet
// learned ones.
TEST(LearningStore, AnIdAnswersOneFingerprintOfALookup)
{
    learning_store store(1000);
    store.learn({link(L"http://a.example/"), digest('t', 3)}, false);
    const auto answers =
        store.look_up({digest('t', 3), link(L"http://a.example/one"), digest('t', 3), link(L"http://a.example/two")});
    ASSERT_EQ(answers.size(), 4u);
    EXPECT_TRUE(answers[0]);
    EXPECT_TRUE(answers[1]);
    EXPECT_FALSE(answers[2]);
    EXPECT_FALSE(answers[3]);

    // An operator's record given the id of a learned one: the learned one
    // takes another, and both answer.
    store.configure({2, std::string(16, 'o'), answers[0]->id, 0, 4, 0, 0, 0});
    const auto shared = store.look_up({digest('t', 3), digest('o')});
    ASSERT_TRUE(shared[0]);
    ASSERT_TRUE(shared[1]);
    EXPECT_NE(shared[0]->id, shared[1]->id);
    for (const auto &record : store.records()) {
        EXPECT_EQ(record.flags, 0u) << "an operator's record is not among the learned";
        EXPECT_NE(record.id, answers[0]->id);
    }
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
             {"a campaign, three copies unreported", 0, 20, 3, 0, 71},
             {"a list footer in 200 messages, 2 spam reported", 198, 2, 0, 0, 0},
             {"a list footer reported early, then seen 60 times", 0, 2, 60, 0, 3},
             {"half the sightings reported", 10, 10, 0, 0, 38},
             {"reported, then one copy unreported", 0, 1, 1, 0, 11},
         }) {
        learning_store store(1000);
        int serial = 0;
        const auto message = [&] {
            ++serial;
            return std::vector<fingerprint_type>{
                link(L"http://lists.example/listinfo/x"),
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
        EXPECT_EQ(weight(link(L"http://x/"), *answers[0]), r.link_weight) << r.what;
        EXPECT_EQ(weight(digest('f'), *answers[1]), r.digest_weight) << r.what;
    }
}

// A link reported once may be a footer that the spam merely carried: it
// answers a message that shares more with reported mail, not a long one
// that shares nothing else.
TEST(LearningStore, ALinkReportedOnceNeedsMoreInCommon)
{
    struct row {
        const char *what;
        int reports, other_digests;
        bool answered;
    };
    for (const auto &r : std::vector<row>{
             {"a short message", 1, 2, true},
             {"a long message", 1, 12, false},
             {"a long message, the link reported twice", 2, 12, true},
         }) {
        learning_store store(1000);
        for (int k = 0; k < r.reports; ++k)
            store.learn({link(L"http://lists.example/listinfo/x"), digest(static_cast<char>('a' + k))}, false);
        std::vector<fingerprint_type> message{link(L"http://lists.example/listinfo/x")};
        for (int k = 0; k < r.other_digests; ++k)
            message.push_back(digest(static_cast<char>('m' + k)));
        EXPECT_EQ(store.look_up(message)[0].has_value(), r.answered) << r.what;
    }
}

// The application looks a message up twice (for its log, then for the
// verdict): the second look is answered as the first, its own sighting
// aside.
TEST(LearningStore, AMessageLookedAtAgainIsAnsweredAsTheFirstTime)
{
    learning_store store(1000);
    const std::vector<fingerprint_type> spam = {link(L"http://prize.example/claim"), digest('a')};
    store.look_up(spam);
    store.learn(spam, false);
    const std::vector<fingerprint_type> copy = {link(L"http://prize.example/claim"), digest('b')};
    const auto first = store.look_up(copy);
    const auto second = store.look_up(copy);
    ASSERT_TRUE(first[0] && second[0]);
    EXPECT_EQ(first[0]->revokes, 0u);
    EXPECT_EQ(second[0]->revokes, 0u);
    // Another copy is another sighting, nobody reported.
    const auto third = store.look_up({link(L"http://prize.example/claim"), digest('c')});
    ASSERT_TRUE(third[0]);
    EXPECT_EQ(third[0]->revokes, 1u);
}

// Telling the same again costs nothing: one user reporting (or looking up)
// the same message many times counts once; another user, or another message,
// counts again.
TEST(LearningStore, OneIdentityCountsOnceForOneSetOfFingerprints)
{
    const std::vector<fingerprint_type> message = {link(L"http://list.example/footer"), digest('m')};
    const auto alice = stand_in::identity_of(10, 1), bob = stand_in::identity_of(10, 2);
    struct row {
        const char *what;
        std::vector<std::pair<stand_in::identity_type, bool>> reports;  // identity, revoke
        int lookups_by_alice;
        std::uint64_t reports_counted, revokes_counted, sightings;
    };
    for (const auto &r : std::vector<row>{
             {"one user reports one message 40 times", std::vector(40, std::pair(alice, false)), 0, 1, 0, 0},
             {"two users report it", {{alice, false}, {bob, false}}, 0, 2, 0, 0},
             {"a report and a revoke", {{alice, false}, {alice, true}, {alice, true}}, 0, 1, 1, 0},
             {"40 lookups of one message by one user", {}, 40, 0, 0, 1},
         }) {
        learning_store store(1000);
        for (int k = 0; k < r.lookups_by_alice; ++k)
            store.look_up(message, alice);
        for (const auto &[who, revoke] : r.reports)
            store.learn(message, revoke, who);
        const auto records = store.records();
        ASSERT_EQ(records.size(), 2u) << r.what;
        EXPECT_EQ(records[0].reports, r.reports_counted) << r.what;
        EXPECT_EQ(records[0].revokes, r.revokes_counted) << r.what;
        EXPECT_EQ(records[0].lookups, r.sightings) << r.what;
    }
}

TEST(LearningStore, ConfiguredRecordsAnswerAsGivenAndAreNeverForgotten)
{
    learning_store store(16);
    store.configure({64, "example.spam", 900, 3, 4, 7, 1, 2});
    for (int k = 0; k < 200; ++k)
        store.look_up({link(L"http://spam.example/" + std::to_wstring(k))});
    const auto answers = store.look_up({link(L"http://spam.example/path")});
    ASSERT_TRUE(answers[0]);
    EXPECT_EQ(answers[0]->id, 900u);
    EXPECT_EQ(answers[0]->flags, 4u);
    EXPECT_EQ(answers[0]->reports, 7u);
    EXPECT_EQ(answers[0]->revokes, 1u) << "sightings do not change a configured record's answer";
}

// Floods cannot grow the store past its caps, nor push out what was
// reported, nor what was seen often: a list footer outlives a million
// fingerprints seen once.
TEST(LearningStore, AFloodKeepsReportedAndOftenSeenRecords)
{
    struct row {
        const char *what;
        std::size_t capacity, capacity_bytes;
        std::size_t link_length;
    };
    for (const auto &r : std::vector<row>{
             {"unique digests and short links", 1000, 1 << 30, 20},
             {"long unique links against the byte cap", 1'000'000, 256 << 10, 900},
         }) {
        learning_store store(r.capacity, r.capacity_bytes);
        const std::vector<fingerprint_type> spam = {link(L"http://campaign.example/"), digest('s')};
        store.look_up(spam);
        store.learn(spam, false);
        int serial = 0;
        const auto footer = [&] {
            ++serial;
            return std::vector<fingerprint_type>{
                digest('f'), {3, std::string(12, 'u') + std::string(reinterpret_cast<char *>(&serial), 4)}};
        };
        for (int k = 0; k < 30; ++k)
            store.look_up(footer());
        std::mt19937 random(7);
        for (int k = 0; k < 20000; ++k) {
            std::string noise(16, '\0');
            for (auto &c : noise)
                c = static_cast<char>(random());
            std::string host(r.link_length, 'a');
            for (auto &c : host)
                c = static_cast<char>('a' + random() % 26);
            store.look_up({{2, noise}, {64, "example.flood/" + host}});
            ASSERT_LE(store.size(), r.capacity) << r.what;
            ASSERT_LE(store.data_bytes(), r.capacity_bytes) << r.what;
        }
        const auto answers = store.look_up(spam);
        EXPECT_TRUE(answers[0] && answers[1]) << r.what << ": the reported message survives";
        // One report now: the footer's thirty sightings still outweigh it
        // (forgotten, the report alone would weigh 100).
        const auto message = footer();
        store.learn(message, false);
        const auto footer_answer = store.look_up(message);
        ASSERT_TRUE(footer_answer[0]) << r.what;
        EXPECT_LT(weight(digest('f'), *footer_answer[0]), 10u) << r.what << ": the footer's sightings were kept";
    }
}

TEST(LearningStore, LinksLongerThanTheLimitAreNotKept)
{
    learning_store store(1000);
    const fingerprint_type long_link{64, "example.long/" + std::string(learning_store::longest_link, 'x')};
    store.look_up({long_link});
    store.learn({long_link}, false);
    EXPECT_EQ(store.size(), 0u);
    // A shorter link that covers it still answers it.
    store.learn({{64, "example.long"}}, false);
    EXPECT_TRUE(store.look_up({long_link})[0]);
}

TEST(Covers, AgreesWithTheIndexOnRandomKeys)
{
    std::mt19937 random(11);
    stand_in::record_index index;
    std::vector<std::string> keys;
    const auto some_key = [&] {
        std::string key;
        const std::size_t length = 1 + random() % 7;
        for (std::size_t k = 0; k < length; ++k)
            key += "ab./"[random() % 4];
        return key;
    };
    for (int round = 0; round < 3000; ++round) {
        const std::string key = some_key();
        const auto slot = index.find(64, key);
        if (slot != stand_in::record_index::none && random() % 3 == 0) {
            index.erase(slot);
            keys.erase(std::find(keys.begin(), keys.end(), key));
        } else if (slot == stand_in::record_index::none) {
            index.insert(64, key);
            keys.push_back(key);
        }
        const std::string text = some_key() + some_key();
        std::vector<std::string> found, expected;
        index.covering(text, 1024, [&](std::uint32_t at) { found.push_back(index.record(at).data); });
        for (const auto &candidate : keys)
            if (stand_in::covers(candidate, text))
                expected.push_back(candidate);
        std::sort(expected.begin(), expected.end(),
                  [](const std::string &a, const std::string &b) { return a.size() < b.size(); });
        ASSERT_EQ(found, expected) << "round " << round << " text " << text;
    }
}

}  // namespace
