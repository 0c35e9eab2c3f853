// UTF-8 longer than ICU's 32-bit indices is read in windows; whatever the
// window, the text and its validity come out as if it were read whole. Small
// windows stand in for the 2 GiB ones, so that every way a sequence can meet
// a window's end is met.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "coding.hpp"

namespace {

namespace coding = quorvane::engine::coding;

// Runs of ASCII with 2-, 3- and 4-byte characters, and ill-formed pieces:
// stray continuation bytes, truncated sequences, overlong forms, surrogates.
std::string mixed_text(std::mt19937& random, bool ill_formed) {
    static const char* const pieces[] = {
        "a", "plain ascii text ", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xD0\x96"};
    static const char* const bad[] = {"\x80",     "\xC3",         "\xE2\x82", "\xF0\x9F\x98",
                                      "\xC0\xAF", "\xED\xA0\x80", "\xFF",     "\xF4\x90\x80\x80"};
    std::string text;
    while (text.size() < 2000) {
        if (ill_formed && random() % 7 == 0)
            text += bad[random() % std::size(bad)];
        else
            text += pieces[random() % std::size(pieces)];
    }
    return text;
}

TEST(CodingWindows, TextIsTheSameForEveryWindow) {
    std::mt19937 random(5);
    for (const bool ill_formed : {false, true}) {
        for (int sample = 0; sample < 20; ++sample) {
            const std::string text = mixed_text(random, ill_formed);
            const std::wstring whole = coding::to_wide(text);
            ASSERT_FALSE(whole.empty());
            for (const std::size_t window : {1, 5, 8, 9, 10, 11, 12, 13, 17, 31, 64, 1000}) {
                SCOPED_TRACE(testing::Message() << "ill-formed " << ill_formed << ", sample "
                                                << sample << ", window " << window);
                EXPECT_EQ(coding::detail::to_wide(text, window), whole);
                EXPECT_EQ(coding::detail::is_valid_utf8(text, window), !ill_formed);
            }
        }
    }
}

// A sequence cut by the end of the text is dropped alone, also when the text
// ends in the last bytes of a window.
TEST(CodingWindows, TruncatedEndIsDroppedAlone) {
    const struct {
        std::string text;
        std::wstring expected;
    } cases[] = {
        {"abcdefgh\xE2\x82", L"abcdefgh"},
        {"abcdefg\xF0\x9F\x98", L"abcdefg"},
        {"abcdefghijk\xC3", L"abcdefghijk"},
        {"abcdefgh\xE2\x82\xAC", L"abcdefgh\u20AC"},
    };
    for (const auto& c : cases) {
        for (const std::size_t window : {8, 9, 10, 12}) {
            EXPECT_EQ(coding::detail::to_wide(c.text, window), c.expected) << window;
            EXPECT_EQ(coding::detail::to_wide(c.text, window), coding::to_wide(c.text));
        }
    }
}

}  // namespace
