#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "installed_callbacks.hpp"
#include "spam/spam.hpp"
#include "spam_support.hpp"
#include "support/recorder.hpp"

namespace {

namespace engine = quorvane::engine;
namespace spam = engine::spam;
using quorvane::testing::bound_context;
using quorvane::testing::installed_callbacks;
using quorvane::testing::recorder;
using category = spam::fingerprint_type::category_type;
using match_type = spam::fingerprint_type::match_type;
using strings = std::vector<std::wstring>;

constexpr auto max64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t two_to_the_63 = std::uint64_t{1} << 63;
constexpr std::uint64_t two_to_the_61 = std::uint64_t{1} << 61;

const std::string message = "Content-Type: text/plain\r\n\r\ntext\r\n";

spam::fingerprint_type answered(category c, std::string data, match_type match) {
    spam::fingerprint_type fingerprint(c, data, engine::coding::to_wide(data));
    fingerprint.match = match;
    return fingerprint;
}

match_type counts(std::uint64_t reports, std::uint64_t revokes) {
    match_type match;
    match.length = 1000;
    match.id = 1;
    match.reports = reports;
    match.revokes = revokes;
    return match;
}

struct verdict_type {
    bool whitelisted = false, blacklisted = false;
    unsigned score = 0;
    bool operator==(const verdict_type&) const = default;
};

void PrintTo(const verdict_type& v, std::ostream* out) {
    *out << "{whitelisted " << v.whitelisted << ", blacklisted " << v.blacklisted << ", score "
         << v.score << "}";
}

verdict_type classify(bound_context& context) {
    verdict_type verdict;
    EXPECT_EQ(
        spam::classify(context.handle(), verdict.whitelisted, verdict.blacklisted, verdict.score),
        unsigned(QVSE_OK));
    return verdict;
}

TEST(SpamClassify, EntryCodesLeaveTheOutputsAlone) {
    EXPECT_EQ(spam::facility, L"Spam");
    recorder rec;
    installed_callbacks installed(rec.table());
    std::uint64_t unknown = 0;
    bool whitelisted = true, blacklisted = true;
    unsigned score = 77;
    EXPECT_EQ(spam::classify(&unknown, whitelisted, blacklisted, score),
              unsigned(QVSE_E_UNKNOWN_CONTEXT));
    bound_context empty;
    EXPECT_EQ(spam::classify(empty.handle(), whitelisted, blacklisted, score),
              unsigned(QVSE_E_NO_MESSAGE));
    EXPECT_TRUE(whitelisted && blacklisted);
    EXPECT_EQ(score, 77u);
    EXPECT_TRUE(rec.lines().empty());

    bound_context nothing(message);
    EXPECT_EQ(classify(nothing), (verdict_type{false, false, 0}));
}

TEST(SpamClassify, WeightOfAnAnswer) {
    const struct {
        category c;
        std::uint64_t reports, revokes;
        unsigned weight;
    } cases[] = {
        {category::link, 4, 0, 100},
        {category::link, 4, 1, 0},    // p 33.33: below 80
        {category::link, 32, 1, 80},  // p exactly 80 stays
        {category::link, 31, 1, 0},   // p 79.49
        {category::relay, 10, 0, 40},
        {category::relay, 8, 0, 40},
        {category::relay, 80, 2, 33},  // p 83.33
        {category::relay, 32, 1, 32},
        {category::relay, 31, 1, 0},
        {category::text_chunk, 1, 1, 11},  // 100 / 9, truncated
        {category::text_chunk, 12, 1, 60},
        {category::text_chunk, 0, 0, 0},
        {category::text_chunk, 0, 5, 0},
        {category::word_sequence, 1, 0, 100},
        {category::attachment, 3, 3, 11},
        // Counters near the top of their range: no overflow in the sums
        // reports + revokes and reports + 8 x revokes.
        {category::text_chunk, max64, max64, 11},
        {category::text_chunk, two_to_the_63, two_to_the_63, 11},  // the sum wraps to 0
        {category::word_sequence, 1, two_to_the_61, 0},            // 8 x revokes wraps to 0
        {category::link, max64, 0, 100},
        {category::relay, max64, 0, 40},
    };
    for (const auto& c : cases) {
        bound_context context(message);
        context.record().fingerprints.push_back(answered(c.c, "x", counts(c.reports, c.revokes)));
        EXPECT_EQ(classify(context), (verdict_type{false, false, c.weight}))
            << context.record().fingerprints.front().category() << " " << c.reports << "/"
            << c.revokes;
        ASSERT_EQ(context.record().heuristics.size(), 1u);
        EXPECT_EQ(context.record().heuristics.front().weight, c.weight);
    }
}

spam::heuristic_type weighted(std::uint32_t weight) {
    return {L"W", L"weighted", false, false, weight};
}
spam::heuristic_type listed(bool white, bool black) { return {L"L", L"listed", white, black, {}}; }
spam::heuristic_type ignored() { return {L"I", L"ignored", false, false, {}}; }

match_type flagged(bool ignored_, bool white, bool black) {
    match_type match = counts(100, 0);  // weight 100 unless a flag decides
    match.ignored = ignored_;
    match.whitelisted = white;
    match.blacklisted = black;
    return match;
}

TEST(SpamClassify, FlagsAndScore) {
    const auto redirect =
        spam::heuristic_type{L"Part.Text.Search_Engine_Redirect", L"r", false, false, 50};
    const auto trusted = listed(true, false);
    const auto pattern = listed(false, true);
    const struct {
        const char* name;
        std::vector<spam::heuristic_type> heuristics;
        std::vector<match_type> matches;
        verdict_type verdict;
    } cases[] = {
        {"nothing", {}, {}, {false, false, 0}},
        {"redirect and a chunk of 60", {redirect}, {counts(12, 1)}, {false, false, 100}},
        {"the same from a trusted relay", {trusted, redirect}, {counts(12, 1)}, {true, false, 0}},
        {"a blacklisting heuristic", {pattern, weighted(5)}, {}, {false, true, 100}},
        {"whitelisting outranks blacklisting", {pattern, pattern, trusted}, {}, {true, false, 0}},
        {"both flags on one heuristic", {listed(true, true)}, {}, {true, false, 0}},
        {"weights add up",
         {weighted(30), weighted(20), ignored()},
         {counts(1, 1)},
         {false, false, 61}},
        {"the sum is capped", {weighted(70), weighted(70)}, {}, {false, false, 100}},
        {"the sum does not wrap", {weighted(0xFFFFFFFFu), weighted(2)}, {}, {false, false, 100}},
        {"an ignored answer counts for nothing",
         {},
         {flagged(true, false, false)},
         {false, false, 0}},
        {"a whitelisted answer", {weighted(99)}, {flagged(true, true, true)}, {true, false, 0}},
        {"a blacklisted answer", {}, {flagged(true, false, true)}, {false, true, 100}},
        {"answers of both kinds",
         {},
         {flagged(false, false, true), flagged(false, true, false)},
         {true, false, 0}},
    };
    for (const auto& c : cases) {
        bound_context context(message);
        context.record().heuristics.assign(c.heuristics.begin(), c.heuristics.end());
        for (const auto& match : c.matches)
            context.record().fingerprints.push_back(answered(category::text_chunk, "x", match));
        EXPECT_EQ(classify(context), c.verdict) << c.name;
    }
}

std::vector<std::wstring> lines_of(const recorder& rec, void* handle) {
    std::vector<std::wstring> lines;
    for (const auto& line : rec.lines()) {
        EXPECT_TRUE(line.has_context);
        EXPECT_EQ(line.context, handle);
        EXPECT_EQ(line.facility, L"Spam");
        EXPECT_EQ(line.level, unsigned(QVSE_TRACE_INFO));
        lines.push_back(std::to_wstring(line.indent) + L" " + line.text);
    }
    return lines;
}

TEST(SpamClassify, TracesAnswersAndHeuristics) {
    recorder rec;
    installed_callbacks installed(rec.table());
    bound_context context(message);
    auto& record = context.record();
    record.heuristics.push_back(
        {L"Header.From.Trusted", L"Message is from trusted sender", true, false, {}});
    record.heuristics.push_back(
        {L"Part.Text.Search_Engine_Redirect", L"redirect", false, false, 50});
    record.heuristics.push_back({L"Nothing", L"at all", false, false, {}});
    // A link matched by its first 10 bytes shows them.
    match_type prefix = counts(4, 0);
    prefix.length = 10;
    prefix.id = 7;
    prefix.touches = 3;
    record.fingerprints.push_back(answered(category::link, "com.example.www/a/b/c/d/e", prefix));
    record.fingerprints.emplace_back(category::text_chunk, std::string("unanswered"), L"silent");
    match_type black = flagged(false, false, true);
    black.id = 18446744073709551615u;
    black.reports = 2;
    black.revokes = 1;
    record.fingerprints.push_back(
        answered(category::relay, std::string("\xC0\x00\x02\x01", 4), black));
    record.fingerprints.back().text = L"192.0.2.1";
    match_type whole = counts(1, 1);
    whole.length = 4;  // not smaller than the data: the text is shown
    record.fingerprints.push_back(answered(category::attachment, "abcd", whole));
    record.fingerprints.back().text = L"YWJjZA";
    record.fingerprints.push_back(
        answered(category::word_sequence, "s", flagged(true, false, false)));

    EXPECT_EQ(classify(context), (verdict_type{true, false, 0}));
    const strings expected{
        L"0 Matched fingerprints:",
        L"1 tru com.exampl -- ID: 7, Flags: None, Reports: 4, Revokes: 0, Touches: 3",
        L"1 hsi 192.0.2.1 -- ID: 18446744073709551615, Flags: Blacklisted, Reports: 2, Revokes: 1, "
        L"Touches: 0",
        L"1 prd YWJjZA -- ID: 1, Flags: None, Reports: 1, Revokes: 1, Touches: 0",
        L"1 tsd s -- ID: 1, Flags: None, Reports: 100, Revokes: 0, Touches: 0",
        L"0 Heuristics:",
        L"1 Header.From.Trusted -- Message is from trusted sender (Whitelisted)",
        L"1 Part.Text.Search_Engine_Redirect -- redirect (Weight 50)",
        L"1 Nothing -- at all (Ignored)",
        L"1 Fingerprint -- tru com.exampl (Weight 100)",
        L"1 Fingerprint -- hsi 192.0.2.1 (Blacklisted)",
        L"1 Fingerprint -- prd YWJjZA (Weight 11)",
        L"1 Fingerprint -- tsd s (Ignored)",
    };
    EXPECT_EQ(lines_of(rec, context.handle()), expected);
}

TEST(SpamClassify, APrefixCutInsideACharacterSkipsIt) {
    bound_context context(message);
    match_type match = counts(4, 0);
    match.length = 13;  // inside the two bytes of "\u00E4"
    context.record().fingerprints.push_back(
        answered(category::link, "com.example.\xC3\xA4/x", match));
    classify(context);
    ASSERT_EQ(context.record().heuristics.size(), 1u);
    EXPECT_EQ(context.record().heuristics.front().description, L"tru com.example.");
}

TEST(SpamClassify, ClassifyingAgainGivesTheSameResult) {
    recorder rec;
    installed_callbacks installed(rec.table());
    bound_context context(message);
    context.record().heuristics.push_back(
        {L"Part.Text.Search_Engine_Redirect", L"r", false, false, 50});
    context.record().fingerprints.push_back(answered(category::text_chunk, "a", counts(1, 1)));
    context.record().fingerprints.push_back(answered(category::text_chunk, "b", counts(2, 1)));
    const verdict_type first = classify(context);
    EXPECT_EQ(first, (verdict_type{false, false, 50 + 11 + 20}));
    const auto lines = lines_of(rec, context.handle());
    for (int call = 0; call < 3; ++call) {
        rec.clear();
        EXPECT_EQ(classify(context), first);
        EXPECT_EQ(lines_of(rec, context.handle()), lines);
        EXPECT_EQ(context.record().heuristics.size(), 3u);
    }
    // A later answer replaces what the earlier one gave.
    context.record().fingerprints.front().match->reports = 0;
    EXPECT_EQ(classify(context), (verdict_type{false, false, 50 + 0 + 20}));
    context.record().fingerprints.front().match.reset();
    EXPECT_EQ(classify(context), (verdict_type{false, false, 50 + 20}));
    EXPECT_EQ(context.record().heuristics.size(), 2u);
}

TEST(SpamClassify, PreparedMessageEndToEnd) {
    // Preparation's heuristics come first, then the answers.
    bound_context context(
        "Received: from h (h [192.0.2.1]) by mx (mx [198.51.100.2])\r\n" + message, L"",
        {L"http://example.com/a", L"http://www.google.com/search?q=x&btnI=1"});
    ASSERT_EQ(spam::prepare(context.handle()), unsigned(QVSE_OK));
    EXPECT_EQ(classify(context), (verdict_type{false, false, 50}));
    auto& fingerprints = context.record().fingerprints;
    ASSERT_EQ(context.fingerprints(),
              (strings{L"hsi 192.0.2.1", L"tru com.example/a", L"tru com.google.www/search"}));
    fingerprints.front().match = counts(10, 0);
    EXPECT_EQ(classify(context), (verdict_type{false, false, 90}));
    fingerprints.back().match = counts(4, 0);
    EXPECT_EQ(classify(context), (verdict_type{false, false, 100}));
    EXPECT_EQ(context.heuristics(),
              (strings{L"Part.Text.Search_Engine_Redirect", L"Fingerprint", L"Fingerprint"}));
    // A second preparation reports only; the answers stay.
    ASSERT_EQ(spam::prepare(context.handle()), unsigned(QVSE_OK));
    EXPECT_EQ(classify(context), (verdict_type{false, false, 100}));
}

}  // namespace
