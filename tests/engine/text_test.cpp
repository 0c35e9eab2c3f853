#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <boost/locale/conversion.hpp>

#include "coding.hpp"
#include "locale.hpp"

namespace {

namespace engine = quorvane::engine;

struct sanitize_case {
    std::vector<wchar_t> input;
    std::wstring expected;
};

class Sanitize : public ::testing::TestWithParam<sanitize_case> {};

TEST_P(Sanitize, ReplacesWhatIsNotAScalarValue) {
    const auto& c = GetParam();
    const std::wstring input(c.input.begin(), c.input.end());
    EXPECT_EQ(engine::locale::sanitized(input), c.expected);
    EXPECT_EQ(engine::locale::is_valid(input), input == c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Sanitize,
    ::testing::Values(sanitize_case{{}, L""}, sanitize_case{{L'a', L'b'}, L"ab"},
                      sanitize_case{{0xD7FF, 0xE000, 0x10FFFF}, L"\uD7FF\uE000\U0010FFFF"},
                      sanitize_case{{0xD800}, L"\uFFFD"},
                      sanitize_case{{0xDBFF, 0xDC00}, L"\uFFFD\uFFFD"},
                      sanitize_case{{0xDFFF, L'x'}, L"\uFFFDx"},
                      sanitize_case{{0x110000}, L"\uFFFD"},
                      sanitize_case{{static_cast<wchar_t>(0x7FFFFFFF)}, L"\uFFFD"},
                      sanitize_case{{static_cast<wchar_t>(-1), L'z'}, L"\uFFFDz"}));

TEST(Locale, SanitizedTextPassesTheUnicodeLibrary) {
    std::wstring text = L"Stra\u00DFe ";
    text.push_back(static_cast<wchar_t>(0xDC00));
    const auto folded =
        boost::locale::fold_case(engine::locale::sanitized(text), engine::locale::generate());
    EXPECT_EQ(folded, L"strasse \uFFFD");
}

TEST(Locale, DoesNotFollowTheEnvironment) {
    // A Turkish environment would fold "I" to a dotless i.
    ::setenv("LANG", "tr_TR.UTF-8", 1);
    ::setenv("LC_ALL", "tr_TR.UTF-8", 1);
    const auto folded = boost::locale::fold_case(std::wstring(L"I"), engine::locale::generate());
    ::unsetenv("LC_ALL");
    ::setenv("LANG", "C.UTF-8", 1);
    EXPECT_EQ(folded, L"i");
}

struct transform_case {
    std::string bytes;
    std::wstring expected;
};

class Transform : public ::testing::TestWithParam<transform_case> {};

TEST_P(Transform, IsBase64WithoutPadding) {
    const auto& c = GetParam();
    const auto* data = reinterpret_cast<const std::uint8_t*>(c.bytes.data());
    EXPECT_EQ(engine::coding::encode::transform({data, c.bytes.size()}), c.expected);
}

// RFC 4648 section 10 vectors with the padding dropped, and the digest case.
INSTANTIATE_TEST_SUITE_P(
    Cases, Transform,
    ::testing::Values(transform_case{"", L""}, transform_case{"f", L"Zg"},
                      transform_case{"fo", L"Zm8"}, transform_case{"foo", L"Zm9v"},
                      transform_case{"foob", L"Zm9vYg"}, transform_case{"fooba", L"Zm9vYmE"},
                      transform_case{"foobar", L"Zm9vYmFy"}, transform_case{"ab", L"YWI"},
                      transform_case{"a", L"YQ"},
                      transform_case{std::string("\xff\xfe\x00", 3), L"//4A"},
                      transform_case{std::string(16, '\0'), L"AAAAAAAAAAAAAAAAAAAAAA"}));

TEST(Coding, Utf8ToWideSkipsInvalidSequences) {
    EXPECT_EQ(engine::coding::to_wide("a\xC3\xA9z"), L"a\u00E9z");
    EXPECT_EQ(engine::coding::to_wide("a\xFF"
                                      "b\xC3"),
              L"ab");
    EXPECT_EQ(engine::coding::to_wide("\xF0\x9F\x98\x80"), L"\U0001F600");
    EXPECT_EQ(engine::coding::to_wide("\xED\xA0\x80x"), L"x");  // encoded surrogate
}

// ASCII is decoded a block at a time: a character of several bytes, or an
// ill-formed part, anywhere around the blocks' edges.
TEST(Coding, Utf8ToWideAroundAsciiBlocks) {
    struct piece_type {
        std::string bytes;
        std::wstring wide;
    };
    const std::vector<piece_type> pieces = {
        {"\xC3\xA9", L"\u00E9"}, {"\xE2\x82\xAC", L"\u20AC"}, {"\xF0\x9F\x98\x80", L"\U0001F600"},
        {"\xFF", L""},           {"\xE2\x82", L""},  // cut short: the next byte stays
        {"\x80\x80", L""}};
    for (const auto& piece : pieces) {
        for (std::size_t before = 0; before <= 40; ++before) {
            for (std::size_t after = 0; after <= 20; ++after) {
                const std::string utf8 =
                    std::string(before, 'a') + piece.bytes + std::string(after, 'b');
                const std::wstring wide =
                    std::wstring(before, L'a') + piece.wide + std::wstring(after, L'b');
                ASSERT_EQ(engine::coding::to_wide(utf8), wide) << before << ' ' << after;
            }
        }
    }
}

TEST(Coding, WideToUtf8RoundTripsAndReplacesInvalidUnits) {
    EXPECT_EQ(engine::coding::to_utf8(L"a\u00E9\U0001F600"), "a\xC3\xA9\xF0\x9F\x98\x80");
    std::wstring bad = L"x";
    bad.push_back(static_cast<wchar_t>(0xD800));
    EXPECT_EQ(engine::coding::to_utf8(bad), "x\xEF\xBF\xBD");
}

}  // namespace
