// The Unicode stages call ICU directly; Boost.Locale's ICU back end under the
// engine locale is the reference they must equal.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include <boost/locale/boundary.hpp>
#include <boost/locale/conversion.hpp>

#include "context/context.hpp"
#include "locale.hpp"

namespace {

namespace engine = quorvane::engine;
namespace boundary = boost::locale::boundary;

const std::vector<std::wstring> samples{
    L"",
    L"Plain ASCII text, with numbers 3.14 and 1,000 - and punctuation!?",
    L"Stra\u00DFe GR\u00DCSSE \u1E9E \uFB01 \u01C4 \u0130stanbul \u0399\u0345 \u00B5",
    L"\u039F\u03B4\u03CC\u03C2 \u039A\u0391\u039B\u0397\u039C\u0395\u03A1\u0391 \u03C3\u03C2",
    L"\u041F\u0440\u0438\u0432\u0435\u0442, \u043C\u0438\u0440! \u0401\u0436",
    L"e\u0301 a\u0308 \u212B \u2126 \u1E0B\u0323 q\u0307\u0323 \u0344 \u0958",
    L"\u1100\u1161\u11A8 \uD55C\uAD6D\uC5B4 \u1112\u1161\u11AB",
    L"\u0645\u0631\u062D\u0628\u0627 \u0628\u0627\u0644\u0639\u0627\u0644\u0645 "
    L"\u05E9\u05DC\u05D5\u05DD",
    L"\u0928\u092E\u0938\u094D\u0924\u0947 \u0926\u0941\u0928\u093F\u092F\u093E \u0967\u0968\u0969",
    L"\u0E2A\u0E27\u0E31\u0E2A\u0E14\u0E35\u0E04\u0E23\u0E31\u0E1A\u0E42\u0E25\u0E01",
    L"\u4F60\u597D\u4E16\u754C\u3002\u4E2D\u6587\u6D4B\u8BD5 \u3053\u3093\u306B\u3061\u306F "
    L"\u30AB\u30BF\u30AB\u30CA \u30FC\u6F22\u5B57 \uFF76\uFF80\uFF76\uFF85",
    L"\U0001F600 \U0001F468\u200D\U0001F469\u200D\U0001F467 \U0001F44D\U0001F3FD "
    L"\U0001F1E9\U0001F1EA \u2764\uFE0F x\U0001F600y",
    L"\U0001D400\U0001D401 \U00020000\U0002A6D6 \U00010400\U00010428 \U0001E900 \U00010000",
    L"mixed 42abc abc42 \u0661\u0662\u0663 x_y e-mail@example.com http://a.b/c?d=e",
    L"  \t\r\n  ",
    L"\u00C0\u00C9\u00EE\u00F5\u00FC \u0100\u017F \u1E9B\u0323",
};

engine::context::word_index_type boost_index(const std::wstring& text) {
    engine::context::word_index_type index;
    const boundary::wssegment_index segments(boundary::word, text.begin(), text.end(),
                                             engine::locale::generate());
    for (const auto& segment : segments)
        index.push_back({static_cast<std::uint32_t>(segment.begin() - text.begin()),
                         static_cast<std::uint32_t>(segment.end() - segment.begin()),
                         static_cast<std::uint32_t>(segment.rule())});
    return index;
}

void expect_same_as_boost_locale(const std::wstring& text) {
    const auto locale = engine::locale::generate();
    EXPECT_EQ(engine::locale::normalize(text),
              boost::locale::normalize(text, boost::locale::norm_nfc, locale));
    EXPECT_EQ(engine::locale::fold_case(text), boost::locale::fold_case(text, locale));
    const auto index = engine::locale::index_words(text);
    const auto expected = boost_index(text);
    ASSERT_EQ(index.size(), expected.size());
    for (std::size_t i = 0; i < index.size(); ++i) {
        EXPECT_EQ(index[i].offset, expected[i].offset) << i;
        EXPECT_EQ(index[i].length, expected[i].length) << i;
        EXPECT_EQ(index[i].rule, expected[i].rule) << i;
    }
}

TEST(UnicodeStages, EqualBoostLocaleOnMultilingualSamples) {
    for (const auto& sample : samples) {
        SCOPED_TRACE(testing::Message() << "sample " << (&sample - samples.data()));
        expect_same_as_boost_locale(sample);
        // And each stage over the output of the one before, as binding runs them.
        const auto folded = engine::locale::fold_case(engine::locale::normalize(sample));
        expect_same_as_boost_locale(folded);
    }
}

TEST(UnicodeStages, EqualBoostLocaleOnRandomText) {
    // Code points from every plane that has any, letters and marks weighted up.
    std::mt19937 random(4711);
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<std::uint32_t> bmp(0x20, 0xFFFD);
    std::uniform_int_distribution<std::uint32_t> latin(0x20, 0x36F);
    std::uniform_int_distribution<std::uint32_t> supplementary(0x10000, 0x3134F);
    std::uniform_int_distribution<std::uint32_t> emoji(0x1F300, 0x1FAFF);
    std::uniform_int_distribution<int> length(0, 60);
    for (int round = 0; round < 3000; ++round) {
        std::wstring text;
        for (int i = length(random); i > 0; --i) {
            const int k = kind(random);
            const std::uint32_t c = k < 4   ? latin(random)
                                    : k < 7 ? bmp(random)
                                    : k < 8 ? supplementary(random)
                                    : k < 9 ? emoji(random)
                                            : 0x20;
            text.push_back(static_cast<wchar_t>(c));
        }
        engine::locale::sanitize(text);
        SCOPED_TRACE(round);
        expect_same_as_boost_locale(text);
        if (HasFailure()) break;
    }
}

// ASCII text is segmented without ICU, and mixed text is cut at ASCII spaces
// into stretches that are and are not: every ASCII character in the contexts
// the word rules look at, then random mixes with the characters that join
// spaces and words (combining marks, joiners, other spaces, dictionary scripts).
TEST(UnicodeStages, EqualBoostLocaleOnAsciiAndMixedText) {
    for (wchar_t first = 0; first < 0x80; ++first) {
        for (wchar_t second = 0; second < 0x80; ++second) {
            SCOPED_TRACE(testing::Message() << int(first) << ' ' << int(second));
            for (const std::wstring& text :
                 {std::wstring{L'a', first, second, L'b'}, std::wstring{L'1', first, second, L'2'},
                  std::wstring{first, second, L'_', L'a'}, std::wstring{L'_', first, second}})
                expect_same_as_boost_locale(text);
            if (HasFailure()) return;
        }
    }
    const std::wstring ascii = L"aZ@19._,;':\"- \t\r\n";
    const std::wstring other =
        L"\u00E9\u0301\u200D\u00AD\u3000\u00A0\u4E2D\u65E5\u0E01\u0E32"
        L"\U0001F600\uFF0E\u2019\u05D0\u30A2\u3042\u2060\u0660";
    std::mt19937 random(1729);
    std::uniform_int_distribution<int> length(0, 60);
    for (int round = 0; round < 6000; ++round) {
        const bool mixed = round % 2 == 1;
        std::wstring text;
        for (int i = length(random); i > 0; --i) {
            if (mixed && random() % 6 == 0)
                text.push_back(other[random() % other.size()]);
            else
                text.push_back(ascii[random() % ascii.size()]);
        }
        SCOPED_TRACE(round);
        expect_same_as_boost_locale(text);
        if (HasFailure()) break;
    }
}

// Folding and NFC work character by character where they can: every
// character must come out as the library makes it.
TEST(UnicodeStages, EqualBoostLocaleForEveryCharacter) {
    std::wstring all;
    for (wchar_t c = 1; c <= 0x10FFFF; ++c)
        if (engine::locale::is_scalar_value(c)) all.push_back(c);
    const auto locale = engine::locale::generate();
    EXPECT_EQ(engine::locale::fold_case(all), boost::locale::fold_case(all, locale));
    EXPECT_EQ(engine::locale::normalize(all),
              boost::locale::normalize(all, boost::locale::norm_nfc, locale));
    // Each on its own, so that no neighbour hides a difference.
    std::wstring spaced;
    for (const wchar_t c : all) spaced.append({c, L' '});
    EXPECT_EQ(engine::locale::fold_case(spaced), boost::locale::fold_case(spaced, locale));
    EXPECT_EQ(engine::locale::normalize(spaced),
              boost::locale::normalize(spaced, boost::locale::norm_nfc, locale));
    const auto index = engine::locale::index_words(all);
    const auto expected = boost_index(all);
    ASSERT_EQ(index.size(), expected.size());
    for (std::size_t i = 0; i < index.size(); ++i) {
        ASSERT_EQ(index[i].offset, expected[i].offset) << i;
        ASSERT_EQ(index[i].length, expected[i].length) << i;
        ASSERT_EQ(index[i].rule, expected[i].rule) << i;
    }
}

TEST(UnicodeStages, ReadInvalidUnitsAsReplacementCharacters) {
    std::wstring text = L"A";
    text.push_back(static_cast<wchar_t>(0xD800));
    text.push_back(static_cast<wchar_t>(0x110000));
    text += L"e\u0301";
    EXPECT_EQ(engine::locale::normalize(text), L"A\uFFFD\uFFFD\u00E9");
    EXPECT_EQ(engine::locale::fold_case(text), L"a\uFFFD\uFFFDe\u0301");
    EXPECT_EQ(engine::locale::index_words(text).size(),
              engine::locale::index_words(engine::locale::sanitized(text)).size());
}

TEST(UnicodeStages, WhiteSpaceIsOnlyNonWords) {
    const auto index = engine::locale::index_words(L" \t\r\n ");
    ASSERT_FALSE(index.empty());
    for (const auto& segment : index) EXPECT_FALSE(engine::context::is_word(segment));
    EXPECT_TRUE(engine::locale::index_words(L"").empty());
}

TEST(UnicodeStages, RuleValues) {
    // ICU's dictionary segments kana together with ideographs.
    const std::wstring text = L"abc 42 \u4E2D";
    const auto index = engine::locale::index_words(text);
    std::vector<std::pair<std::wstring, std::uint32_t>> words;
    for (const auto& segment : index)
        if (engine::context::is_word(segment))
            words.emplace_back(text.substr(segment.offset, segment.length), segment.rule);
    EXPECT_EQ(words, (std::vector<std::pair<std::wstring, std::uint32_t>>{
                         {L"abc", 0xF00}, {L"42", 0xF0}, {L"\u4E2D", 0xF0000}}));
}

}  // namespace
