#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <boost/locale/conversion.hpp>

#include "coding.hpp"
#include "context/context.hpp"
#include "entry_table.hpp"
#include "installed_callbacks.hpp"
#include "language/language.hpp"
#include "locale.hpp"
#include "locale.hpp"
#include "mime/mime.hpp"
#include "support/recorder.hpp"

namespace {

namespace engine = quorvane::engine;
namespace language = engine::language;
namespace dictionary = language::dictionary;
using quorvane::testing::installed_callbacks;
using quorvane::testing::recorder;

// What the two language slots were given.
struct classified_type {
    void* context;
    std::wstring code;
    std::uint32_t matched, total;
    bool operator==(const classified_type&) const = default;
};
struct enumerated_type {
    std::wstring code;
    std::uint32_t words, codepoints;
};
std::vector<classified_type> classified;
std::vector<enumerated_type> enumerated;

void on_classified(void* context, const wchar_t* code, std::size_t length, std::uint32_t matched,
                   std::uint32_t total) {
    EXPECT_EQ(code[length], L'\0');
    classified.push_back({context, std::wstring(code, length), matched, total});
}
void on_enumerated(const wchar_t* code, std::size_t length, std::uint32_t words,
                   std::uint32_t codepoints) {
    EXPECT_EQ(code[length], L'\0');
    enumerated.push_back({std::wstring(code, length), words, codepoints});
}

qvse_callbacks_t language_table(const recorder& rec) {
    auto table = rec.table();
    table.language_classified = &on_classified;
    table.language_enumerated = &on_enumerated;
    classified.clear();
    enumerated.clear();
    return table;
}

std::wstring fold(const std::wstring& text) {
    const auto locale = engine::locale::generate();
    return boost::locale::fold_case(boost::locale::normalize(text, boost::locale::norm_nfc, locale),
                                    locale);
}

language::counts_type count_text(const std::wstring& text, const language::data_type& data) {
    const std::wstring folded = fold(text);
    return language::count(folded, engine::locale::index_words(folded), data);
}

// A tiny world: two dictionary languages and two overlapping scripts.
// "xx": "abc", "abd", "ab" (kept across the chunk), "Haus" (folded);
// "yy": "abc" (prefix reset per language), "zed", "zed" again.
constexpr dictionary::chunk_type tiny_chunks[] = {
    {L"xx",
     "\x03"
     "abc"
     "\x21"
     "d"},
    {nullptr,
     "\x11"
     "b"
     "\x04"
     "HAUS"},
    {L"yy",
     "\x03"
     "abc"
     "\x03"
     "zed"
     "\x21"
     "d"},
};
constexpr language::script_range_type greekish[] = {{0x0370, 0x03FF}};
constexpr language::script_range_type overlapping[] = {{0x03B0, 0x03BF}, {0x3040, 0x3041}};
constexpr language::script_type tiny_scripts[] = {{L"gr", greekish}, {L"ov", overlapping}};

const language::data_type& tiny() {
    static const language::data_type data(tiny_chunks, tiny_scripts);
    return data;
}

TEST(LanguageData, UnpacksSharedPrefixesAcrossChunksAndFolds) {
    const auto& data = tiny();
    EXPECT_EQ(data.languages(), (std::vector<std::wstring>{L"xx", L"yy", L"gr", L"ov"}));
    const auto codes = [&](std::wstring_view word) {
        std::vector<std::wstring> out;
        for (const auto index : data.languages_of(word)) out.push_back(data.languages()[index]);
        return out;
    };
    using codes_type = std::vector<std::wstring>;
    EXPECT_EQ(codes(L"abc"), (codes_type{L"xx", L"yy"}));
    EXPECT_EQ(codes(L"abd"), codes_type{L"xx"});
    EXPECT_EQ(codes(L"ab"), codes_type{L"xx"}) << "the first record of a chunk keeps bytes";
    EXPECT_EQ(codes(L"haus"), codes_type{L"xx"}) << "packed words are case-folded";
    EXPECT_EQ(codes(L"HAUS"), codes_type{});
    EXPECT_EQ(codes(L"zed"), (codes_type{L"yy", L"yy"})) << "equal words stay two entries";
    EXPECT_EQ(codes(L"zeb"), codes_type{});
    EXPECT_EQ(data.words_of(0), 4u);
    EXPECT_EQ(data.words_of(1), 3u);
    EXPECT_EQ(data.word_entries(), 7u);
    EXPECT_EQ(data.codepoints_of(2), 0x90u);
    EXPECT_EQ(data.codepoints_of(3), 18u);
    EXPECT_EQ(data.codepoint_entries(), 0x90u + 18u);
}

TEST(LanguageData, WordsBeyondTheBasicPlaneAreFolded) {
    // U+10400 folds to U+10428; both take two units in the packed form.
    constexpr dictionary::chunk_type chunks[] = {{L"xx",
                                                  "\x05"
                                                  "\xF0\x90\x90\x80"
                                                  "x"
                                                  "\x02"
                                                  "yz"}};
    const language::data_type data(chunks, {});
    EXPECT_EQ(data.languages_of(std::wstring_view(L"\U00010428x")).size(), 1u);
    EXPECT_TRUE(data.languages_of(std::wstring_view(L"\U00010400x")).empty());
    EXPECT_TRUE(data.languages_of(std::wstring_view(L"\U00010428")).empty());
    EXPECT_EQ(data.languages_of(std::wstring_view(L"yz")).size(), 1u);
    EXPECT_TRUE(data.languages_of(std::wstring_view(L"\xD801\xDC28x")).empty())
        << "surrogate units are no character";
}

TEST(LanguageData, WordsAreFoldedWhateverTheirLetters) {
    // Words of letters folding keeps take a shorter way than the others: both
    // must give the folded word.
    constexpr dictionary::chunk_type chunks[] = {{L"xx",
                                                  "\x05"
                                                  "\xC3\xA9t\xC3\xA9"  // "été", folded already
                                                  "\x05"
                                                  "\xC3\x89T\xC3\x89"  // "ÉTÉ"
                                                  "\x07"
                                                  "stra\xC3\x9F"
                                                  "e"  // "straße": ß folds to "ss"
                                                  "\x02"
                                                  "\xC5\xB8"  // "Ÿ" folds to "ÿ"
                                                  "\x04"
                                                  "\xC4\xB0"
                                                  "ki"  // "İki": İ folds to "i̇"
                                                  "\x04"
                                                  "a\xFF"
                                                  "bC"  // an ill-formed byte is dropped
                                                  "\x06"
                                                  "vi\xE1\xBB\x87t"}};  // "việt"
    const language::data_type data(chunks, {});
    for (const std::wstring_view word :
         {L"été", L"été", L"strasse", L"ÿ", L"i\u0307ki", L"abc", L"việt"})
        EXPECT_FALSE(data.languages_of(word).empty()) << engine::coding::to_utf8(word);
    for (const std::wstring_view word : {L"ÉTÉ", L"straße", L"Ÿ", L"İki", L"aBC"})
        EXPECT_TRUE(data.languages_of(word).empty()) << engine::coding::to_utf8(word);
    EXPECT_EQ(data.languages_of(std::wstring_view(L"été")).size(), 2u);
}

TEST(LanguageData, OverlappingRangesCountForEachLanguage) {
    const auto& data = tiny();
    struct probe_type {
        char32_t code_point;
        std::vector<language::language_index> languages;
    };
    for (const auto& [c, expected] : std::vector<probe_type>{{0x036F, {}},
                                                             {0x0370, {2}},
                                                             {0x03AF, {2}},
                                                             {0x03B0, {2, 3}},
                                                             {0x03BF, {2, 3}},
                                                             {0x03C0, {2}},
                                                             {0x03FF, {2}},
                                                             {0x0400, {}},
                                                             {0x3040, {3}},
                                                             {0x3041, {3}},
                                                             {0x3042, {}},
                                                             {0x10FFFF, {}}}) {
        const auto found = data.languages_of(c);
        EXPECT_EQ(std::vector<language::language_index>(found.begin(), found.end()), expected)
            << std::hex << unsigned(c);
    }
}

TEST(LanguageData, MalformedListsAreRefused) {
    const std::vector<std::vector<dictionary::chunk_type>> malformed = {
        {{nullptr,
          "\x02"
          "ab"}},  // no language yet
        {{L"xx",
          "\x12"
          "ab"}},  // keeps a byte of no word
        {{L"xx",
          "\x02"
          "ab"
          "\x30"}},  // appends nothing
        {{L"xx",
          "\x05"
          "ab"}},  // ends inside a record
        {{L"xx",
          "\x02"
          "ab"},
         {L"yy",
          "\x11"
          "c"}}};  // prefix does not cross languages
    for (const auto& chunks : malformed)
        EXPECT_THROW(language::data_type(chunks, {}), std::runtime_error);
}

TEST(LanguageData, TheEngineKnowsItsLanguagesAndScripts) {
    const auto& data = language::data();
    const std::vector<std::wstring> expected = {
        L"cs", L"da", L"de", L"fi", L"fr",    L"hu",    L"it", L"nl", L"no",    L"pl",    L"pt-BR",
        L"sv", L"tr", L"vi", L"en", L"pt-PT", L"es-ES", L"ar", L"hy", L"zh-CN", L"zh-TW", L"ru",
        L"am", L"el", L"he", L"ko", L"mn",    L"syr",   L"bo", L"th", L"ja"};
    ASSERT_EQ(data.languages(), expected);
    const std::map<std::wstring, std::uint32_t> codepoints = {
        {L"ar", 0x100 + 0x30 + 0x2B0 + 0x8F},
        {L"hy", 0x60 + 5},
        {L"zh-CN", 0x80 + 0x30 + 0x10 + 0x20 + 0x30},
        {L"zh-TW", 0x51D0 + 0x19C0},
        {L"ru", 0x100 + 0x30 + 0x20 + 0x60},
        {L"am", 0x180 + 0x20 + 0x60},
        {L"el", 0x90 + 0x100},
        {L"he", 0x70 + 0x33},
        {L"ko", 0x20 + 0x60 + 0x10 + 0x2BB0 + 0x3D},
        {L"mn", 0xB0},
        {L"syr", 0x50},
        {L"bo", 0x100},
        {L"th", 0x80},
        {L"ja", 0x80 + 0xE0 + 0x60 + 0x60 + 0x10 + 0x10 + 0x30 + 0x3B}};
    std::size_t words = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto index = static_cast<language::language_index>(i);
        words += data.words_of(index);
        if (i < 17) {
            EXPECT_GT(data.words_of(index), 100u) << expected[i];
            EXPECT_EQ(data.codepoints_of(index), 0u) << expected[i];
        } else {
            EXPECT_EQ(data.words_of(index), 0u) << expected[i];
            EXPECT_EQ(data.codepoints_of(index), codepoints.at(expected[i])) << expected[i];
        }
    }
    EXPECT_EQ(words, data.word_entries());
    EXPECT_EQ(data.codepoint_entries(), 43263u);
    EXPECT_TRUE(data.languages_of(char32_t(0xFEFF)).empty()) << "the byte order mark is no Arabic";
    EXPECT_EQ(data.languages_of(char32_t(0x3190)).size(), 3u);  // zh-CN, ko, ja
}

TEST(LanguageWords, IndexHoldsEverySegmentWithItsRule) {
    const std::wstring folded = L"abc, 12 \u65E5\u672C!";
    const auto words = engine::locale::index_words(folded);
    std::vector<std::pair<std::wstring, std::uint32_t>> segments;
    for (const auto& segment : words)
        segments.emplace_back(folded.substr(segment.offset, segment.length), segment.rule);
    const std::vector<std::pair<std::wstring, std::uint32_t>> expected = {
        {L"abc", 0xF00}, {L",", 0xF}, {L" ", 0xF},
        {L"12", 0xF0},   {L" ", 0xF}, {L"\u65E5\u672C", 0xF0000},
        {L"!", 0xF}};
    EXPECT_EQ(segments, expected);
    EXPECT_TRUE(engine::locale::index_words(L"").empty());
}

struct count_case {
    const char* name;
    std::wstring text;
    std::uint64_t total;
    std::vector<std::uint64_t> coverage;  // xx, yy, gr, ov
};

void PrintTo(const count_case& c, std::ostream* os) { *os << c.name; }

class LanguageCount : public ::testing::TestWithParam<count_case> {};

TEST_P(LanguageCount, AddsCharactersOfMatchedWords) {
    const auto& c = GetParam();
    const auto counts = count_text(c.text, tiny());
    EXPECT_EQ(counts.total, c.total);
    EXPECT_EQ(counts.coverage, c.coverage);
}

INSTANTIATE_TEST_SUITE_P(
    Tiny, LanguageCount,
    ::testing::Values(
        count_case{"nothing", L"", 0, {0, 0, 0, 0}},
        count_case{"unknown words add nothing", L"hello, world!", 0, {0, 0, 0, 0}},
        count_case{"a word in two lists", L"abc", 3, {3, 3, 0, 0}},
        count_case{"folded before lookup", L"ABC Haus", 7, {7, 3, 0, 0}},
        count_case{"twice-listed word counts twice", L"zed", 3, {0, 6, 0, 0}},
        count_case{"punctuation is no word", L"abc... abd!!", 6, {6, 3, 0, 0}},
        count_case{"whole words only", L"abcd abcabc", 0, {0, 0, 0, 0}},
        count_case{"each code point of a script", L"\u03B1\u03B2\u03C9", 3, {0, 0, 3, 2}},
        count_case{"mixed word counts its script letters", L"ab\u03C0", 3, {0, 0, 1, 0}},
        count_case{"kana counts per character", L"\u3041\u3041", 2, {0, 0, 0, 2}}));

struct decide_case {
    const char* name;
    std::uint64_t total;
    std::map<std::wstring, std::uint32_t> coverage;
    language::decision_type::outcome_type outcome;
    std::vector<std::pair<std::wstring, std::uint32_t>> leading;  // in report order
};

void PrintTo(const decide_case& c, std::ostream* os) { *os << c.name; }

class LanguageDecide : public ::testing::TestWithParam<decide_case> {};

using outcome = language::decision_type::outcome_type;

TEST_P(LanguageDecide, ReportsLanguagesAtOrAboveTheThreshold) {
    const auto& c = GetParam();
    const auto decision = language::decide(c.total, c.coverage);
    EXPECT_EQ(decision.outcome, c.outcome);
    EXPECT_EQ(decision.leading, c.leading);
}

constexpr std::uint32_t most = std::numeric_limits<std::uint32_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Cases, LanguageDecide,
    ::testing::Values(
        decide_case{"31 characters are too few", 31, {{L"en", 31}}, outcome::insufficient, {}},
        decide_case{"32 characters are enough", 32, {{L"en", 32}}, outcome::leading, {{L"en", 32}}},
        decide_case{"best under a tenth", 200, {{L"de", 19}, {L"en", 5}}, outcome::ambiguous, {}},
        decide_case{"best a tenth", 200, {{L"de", 20}}, outcome::leading, {{L"de", 20}}},
        decide_case{
            "threshold 85", 120, {{L"de", 40}, {L"en", 100}}, outcome::leading, {{L"en", 100}}},
        decide_case{
            "threshold 97", 110, {{L"de", 90}, {L"en", 100}}, outcome::leading, {{L"en", 100}}},
        decide_case{"equal values in code order",
                    110,
                    {{L"de", 100}, {L"en", 100}},
                    outcome::leading,
                    {{L"de", 100}, {L"en", 100}}},
        // In code order whatever their counts: a host keeps the largest.
        decide_case{"leading in code order",
                    120,
                    {{L"da", 100}, {L"no", 95}, {L"sv", 10}},
                    outcome::leading,
                    {{L"da", 100}, {L"no", 95}}},
        decide_case{"counts at the 32-bit limit",
                    most,
                    {{L"de", most}, {L"en", most}, {L"fr", most - 1}},
                    outcome::leading,
                    {{L"de", most}, {L"en", most}, {L"fr", most - 1}}},
        decide_case{"ten times the best overflows 32 bits",
                    most,
                    {{L"en", most / 9}},
                    outcome::leading,
                    {{L"en", most / 9}}}));

TEST(LanguageStore, SaturatesAndKeepsOnlyMatchedLanguages) {
    engine::context::record_type record(nullptr);
    record.coverage[L"stale"] = 1;
    language::counts_type counts{std::uint64_t(most) + 5, {0, 7, std::uint64_t(most) * 3, 0}};
    language::store(counts, tiny(), record);
    EXPECT_EQ(record.total, most);
    EXPECT_EQ(record.coverage, (std::map<std::wstring, std::uint32_t>{{L"yy", 7}, {L"gr", most}}));
}

// The record's counts reported through the host's slots and the context trace.
struct report_case {
    const char* name;
    std::uint32_t total;
    std::map<std::wstring, std::uint32_t> coverage;
    std::vector<std::wstring> lines;  // indent 0 then 1
    std::vector<std::pair<std::wstring, std::uint32_t>> reported;
};

void PrintTo(const report_case& c, std::ostream* os) { *os << c.name; }

class LanguageReport : public ::testing::TestWithParam<report_case> {};

TEST_P(LanguageReport, TracesAndCallsBack) {
    const auto& c = GetParam();
    recorder rec;
    installed_callbacks installed(language_table(rec));
    int cell = 0;
    ASSERT_EQ(engine::context::create(&cell), unsigned(QVSE_OK));
    engine::context::record_pointer record;
    ASSERT_EQ(engine::context::get(&cell, record), unsigned(QVSE_OK));
    record->total = c.total;
    record->coverage = c.coverage;
    language::report(record);

    std::vector<std::wstring> lines;
    for (const auto& line : rec.lines()) {
        EXPECT_TRUE(line.has_context);
        EXPECT_EQ(line.context, &cell);
        EXPECT_EQ(line.level, unsigned(QVSE_TRACE_INFO));
        EXPECT_EQ(line.facility, L"Language");
        EXPECT_EQ(line.indent, lines.empty() ? 0u : 1u);
        lines.push_back(line.text);
    }
    EXPECT_EQ(lines, c.lines);
    std::vector<classified_type> expected;
    for (const auto& [code, value] : c.reported) expected.push_back({&cell, code, value, c.total});
    EXPECT_EQ(classified, expected);
    record.reset();
    EXPECT_EQ(engine::context::destroy(&cell), unsigned(QVSE_OK));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LanguageReport,
    ::testing::Values(
        report_case{
            "insufficient", 31, {{L"en", 31}}, {L"Insufficient input data: 31 characters"}, {}},
        report_case{"ambiguous",
                    200,
                    {{L"de", 19}},
                    {L"Ambiguous input data: Best match is 19 characters of 200 total"},
                    {}},
        report_case{"one leading language",
                    120,
                    {{L"de", 40}, {L"en", 100}},
                    {L"Language coverages:", L"\"en\" matches 100 of 120 characters"},
                    {{L"en", 100}}},
        report_case{"leading in code order",
                    120,
                    {{L"es-ES", 10}, {L"pt-BR", 90}, {L"pt-PT", 100}},
                    {L"Language coverages:", L"\"pt-BR\" matches 90 of 120 characters",
                     L"\"pt-PT\" matches 100 of 120 characters"},
                    {{L"pt-BR", 90}, {L"pt-PT", 100}}}));

TEST(LanguageEntries, RefuseWithoutTheirSlotOrContext) {
    recorder rec;
    {
        installed_callbacks installed(rec.table());
        int unknown = 0;
        EXPECT_EQ(language::enumerate(), unsigned(QVSE_E_INVALID_ARGUMENT));
        EXPECT_EQ(language::classify(&unknown), unsigned(QVSE_E_INVALID_ARGUMENT))
            << "the slot is checked before the handle";
    }
    installed_callbacks installed(language_table(rec));
    int cell = 0;
    EXPECT_EQ(language::classify(&cell), unsigned(QVSE_E_UNKNOWN_CONTEXT));
    ASSERT_EQ(engine::context::create(&cell), unsigned(QVSE_OK));
    EXPECT_EQ(language::classify(&cell), unsigned(QVSE_E_NO_MESSAGE));
    EXPECT_EQ(engine::context::destroy(&cell), unsigned(QVSE_OK));
    EXPECT_TRUE(classified.empty());
}

TEST(LanguageEntries, EnumerateListsEveryLanguageWithItsData) {
    recorder rec;
    installed_callbacks installed(language_table(rec));
    ASSERT_EQ(language::enumerate(), unsigned(QVSE_OK));
    const auto& data = language::data();
    ASSERT_EQ(enumerated.size(), data.languages().size());
    for (std::size_t i = 0; i < enumerated.size(); ++i) {
        const auto index = static_cast<language::language_index>(i);
        EXPECT_EQ(enumerated[i].code, data.languages()[i]);
        EXPECT_EQ(enumerated[i].words, data.words_of(index));
        EXPECT_EQ(enumerated[i].codepoints, data.codepoints_of(index));
    }
}

// Binding belongs to another component: the record is filled here the way
// binding fills it.
void bind_by_hand(const engine::context::record_pointer& record, const std::string& message,
                  const std::wstring& text) {
    auto source = std::make_shared<std::istringstream>(message);
    ASSERT_TRUE(engine::mime::create(*source, record->root, record));
    record->source = source;
    record->message = engine::mime::unwrap(record->root.get());
    record->displayable = engine::mime::displayable(record->message);
    record->text = text;
    record->folded = fold(text);
    record->words.reset();
    if (!record->folded.empty()) record->words = engine::locale::index_words(record->folded);
}

const std::string plain_message = "Subject: x\r\nContent-Type: text/plain\r\n\r\nbody\r\n";
const std::wstring german =
    L"Vielen Dank f\u00FCr Ihre Bestellung. Wir schicken Ihnen eine Nachricht, sobald das "
    L"Paket unser Lager verlassen hat.";

// Classifies with the texts given, each folded anew before its call, and
// returns the context's "Language" lines; the reports land in classified.
std::vector<std::wstring> classify_texts(void* cell, const std::string& message,
                                         const std::vector<std::wstring>& texts) {
    EXPECT_EQ(engine::context::create(cell), unsigned(QVSE_OK));
    recorder rec;
    {
        installed_callbacks installed(language_table(rec));
        engine::context::record_pointer record;
        EXPECT_EQ(engine::context::get(cell, record), unsigned(QVSE_OK));
        bind_by_hand(record, message, L"");
        for (const auto& text : texts) {
            record->folded = fold(text);
            record->words = engine::locale::index_words(record->folded);
            EXPECT_EQ(language::classify(cell), unsigned(QVSE_OK));
        }
    }
    EXPECT_EQ(engine::context::destroy(cell), unsigned(QVSE_OK));
    std::vector<std::wstring> lines;
    for (const auto& line : rec.lines()) {
        if (!line.has_context || line.facility != L"Language") continue;
        EXPECT_EQ(line.context, cell);
        lines.push_back(line.text);
    }
    return lines;
}

// What counting the German text gives, as it is traced and reported.
struct german_counts {
    std::wstring line;
    classified_type call;
};
german_counts expected_german(void* cell) {
    engine::context::record_type record(nullptr);
    language::store(count_text(german, language::data()), language::data(), record);
    const auto matched = record.coverage.at(L"de");
    return {L"\"de\" matches " + std::to_wstring(matched) + L" of " +
                std::to_wstring(record.total) + L" characters",
            {cell, L"de", matched, record.total}};
}

TEST(LanguageClassify, MessageWithoutDisplayablePartReportsNothing) {
    int cell = 0;
    const auto lines = classify_texts(&cell, "Content-Type: image/png\r\n\r\nxxxx\r\n", {german});
    EXPECT_EQ(lines, std::vector<std::wstring>{L"No displayable part(s) found"});
    EXPECT_TRUE(classified.empty());
}

TEST(LanguageClassify, CountsOnceAndReportsTheSameAgain) {
    int cell = 0;
    const auto lines = classify_texts(&cell, plain_message, {german, L"hello there"});
    const auto expected = expected_german(&cell);
    EXPECT_EQ(lines, (std::vector<std::wstring>{L"Language coverages:", expected.line,
                                                L"Language coverages:", expected.line}));
    EXPECT_EQ(classified, (std::vector<classified_type>{expected.call, expected.call}));
}

TEST(LanguageClassify, CountsAgainWhileNothingMatched) {
    int cell = 0;
    const auto lines = classify_texts(&cell, plain_message, {L"qqqq zzzz", german});
    const auto expected = expected_german(&cell);
    EXPECT_EQ(lines, (std::vector<std::wstring>{L"Insufficient input data: 0 characters",
                                                L"Language coverages:", expected.line}));
    EXPECT_EQ(classified, std::vector<classified_type>{expected.call});
}

TEST(LanguageClassify, TooLittleTextReportsNothing) {
    int cell = 0;
    const auto lines = classify_texts(&cell, plain_message, {L"Dank"});
    const auto total = count_text(L"Dank", language::data()).total;
    ASSERT_LT(total, 32u);
    EXPECT_EQ(lines, std::vector<std::wstring>{L"Insufficient input data: " +
                                               std::to_wstring(total) + L" characters"});
    EXPECT_TRUE(classified.empty());
}

// Text nobody tuned the lists on: the leading language (the last reported).
struct real_case {
    const char* name;
    std::wstring text;
    std::wstring expected;
};

void PrintTo(const real_case& c, std::ostream* os) { *os << c.name; }

class LanguageRealText : public ::testing::TestWithParam<real_case> {};

TEST_P(LanguageRealText, LeadsWithTheRightLanguage) {
    const auto& c = GetParam();
    engine::context::record_type record(nullptr);
    language::store(count_text(c.text, language::data()), language::data(), record);
    const auto decision = language::decide(record.total, record.coverage);
    ASSERT_EQ(decision.outcome, outcome::leading);
    EXPECT_EQ(decision.leading.back().first, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Paragraphs, LanguageRealText,
    ::testing::Values(
        real_case{"English",
                  L"Thank you for your order. We will send you an email as soon as your "
                  L"package has left our warehouse, and you can follow it from there.",
                  L"en"},
        real_case{"German",
                  L"Vielen Dank für Ihre Bestellung. Wir schicken Ihnen eine Nachricht, sobald "
                  L"das Paket unser Lager verlassen hat, und Sie können es dann verfolgen.",
                  L"de"},
        real_case{"French",
                  L"Merci pour votre commande. Nous vous enverrons un message dès que votre "
                  L"colis aura quitté notre entrepôt, et vous pourrez alors le suivre.",
                  L"fr"},
        real_case{"Spanish",
                  L"Gracias por su pedido. Le enviaremos un mensaje en cuanto su paquete haya "
                  L"salido de nuestro almacén, y entonces podrá seguirlo.",
                  L"es-ES"},
        real_case{"Polish",
                  L"Dziękujemy za zamówienie. Wyślemy wiadomość, gdy tylko paczka opuści nasz "
                  L"magazyn, a wtedy będzie można ją śledzić.",
                  L"pl"},
        real_case{"Vietnamese",
                  L"Cảm ơn bạn đã đặt hàng. Chúng tôi sẽ gửi thư cho bạn ngay khi gói hàng rời "
                  L"khỏi kho của chúng tôi, và bạn có thể theo dõi nó từ đó.",
                  L"vi"},
        real_case{"Russian",
                  L"Спасибо за ваш заказ. Мы отправим вам письмо, как только посылка покинет "
                  L"наш склад.",
                  L"ru"},
        real_case{
            "Japanese kana lead over ideographs",
            L"ご注文ありがとうございます。お荷物が倉庫を出ましたら、すぐにメールでお知らせします。",
            L"ja"}));

TEST(LanguageRealText, JapaneseCountsIdeographsAndKana) {
    const auto& data = language::data();
    const auto index_of = [&](const wchar_t* code) {
        return static_cast<language::language_index>(
            std::find(data.languages().begin(), data.languages().end(), code) -
            data.languages().begin());
    };
    const auto counts = count_text(L"日本 ひらがな", data);
    EXPECT_EQ(counts.coverage[index_of(L"zh-TW")], 2u);
    EXPECT_EQ(counts.coverage[index_of(L"ja")], 4u);
    EXPECT_EQ(counts.total, 6u);
    // Radicals belong to both Chinese and Japanese (as symbols they are no
    // word of a message, though).
    std::vector<language::language_index> radical;
    for (const auto index : data.languages_of(char32_t(0x2E80))) radical.push_back(index);
    EXPECT_EQ(radical,
              (std::vector<language::language_index>{index_of(L"zh-CN"), index_of(L"ja")}));
}

}  // namespace
