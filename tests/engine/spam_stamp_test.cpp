#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mime/grammars/stamp_grammar.hpp"

namespace {

namespace mime = quorvane::engine::mime;
using bytes = std::vector<std::uint8_t>;

struct stamp_case {
    const wchar_t* value;
    std::optional<std::pair<bytes, bytes>> addresses;  // from, by; none: no match
};

TEST(StampGrammar, AcceptsOnlyTheTwoParenthesisedAddressClauses) {
    const bytes relay{192, 0, 2, 7}, mx{198, 51, 100, 2}, a{1, 2, 3, 4}, b{5, 6, 7, 8};
    const stamp_case cases[] = {
        {L"from relay1 (relay1 [192.0.2.7]) by mx (mx [198.51.100.2]) with SMTP", {{relay, mx}}},
        {L"FROM a (b [1.2.3.4]) By c (d [5.6.7.8])", {{a, b}}},
        {L"from\ta\t(a\t[1.2.3.4])\tby\tb\t(b\t[5.6.7.8])", {{a, b}}},
        {L"from a ([1.2.3.4]) by b ([5.6.7.8])", {{a, b}}},  // bracketed address alone
        {L"from (a [1.2.3.4]) by (b [5.6.7.8])", {{a, b}}},  // an empty host
        {L"froma(a [1.2.3.4])by b(b[5.6.7.8])", {{a, b}}},   // blanks may be none
        {L"from mail-1.example.com (x.y [1.2.3.4]) by b (b [5.6.7.8]) id 7", {{a, b}}},
        {L"from -a..b (a [1.2.3.4]) by b (b [5.6.7.8])",
         {{a, b}}},  // "-" before a letter; empty label
        {L"from a (a [010.001.002.003]) by b (b [5.6.7.8])", {{bytes{10, 1, 2, 3}, b}}},
        {L"from a (a [255.255.255.255]) by b (b [0.0.0.0])",
         {{bytes{255, 255, 255, 255}, bytes{0, 0, 0, 0}}}},
        // Rejected.
        {L"from [1.2.3.4] (a [1.2.3.4]) by b (b [5.6.7.8])", {}},  // bare bracketed "from" host
        {L"from a (a [1.2.3.4]) by mx (Postfix) with ESMTP", {}},
        {L"from a (a [1.2.3.4]) by mx with ESMTP", {}},
        {L"from a (a [1.2.3.4]) by b (8.9.3/8.9.3) with ESMTP", {}},
        {L"from a (a [1.2.3.4]) by b (b [5.6.7.8]", {}},      // unclosed "by" clause
        {L"from a (a [256.2.3.4]) by b (b [5.6.7.8])", {}},   // not a byte
        {L"from a (a [0001.2.3.4]) by b (b [5.6.7.8])", {}},  // four digits
        {L"from a (a [1.2.3]) by b (b [5.6.7.8])", {}},
        {L"from a (a [1.2.3.4.5]) by b (b [5.6.7.8])", {}},
        {L"from a (a 1.2.3.4) by b (b [5.6.7.8])", {}},     // no brackets
        {L"from a- (a [1.2.3.4]) by b (b [5.6.7.8])", {}},  // "-" before a blank
        {L"from a_b (a [1.2.3.4]) by b (b [5.6.7.8])", {}},
        {L"from \u00E4 (a [1.2.3.4]) by b (b [5.6.7.8])", {}},  // letters are ASCII
        {L" from a (a [1.2.3.4]) by b (b [5.6.7.8])", {}},      // from the first character
        {L"(from a (a [1.2.3.4]) by b (b [5.6.7.8]))", {}},
        {L"by b (b [5.6.7.8]) from a (a [1.2.3.4])", {}},
        {L"from a (a [1.2.3.4]) to b (b [5.6.7.8])", {}},
        {L"from a (a [1.2.3.4])", {}},
        {L"", {}},
    };
    for (const auto& c : cases) {
        mime::stamp_type stamp{{9}, {9}};
        const bool matched = mime::grammars::parse_stamp(c.value, stamp);
        EXPECT_EQ(matched, c.addresses.has_value())
            << testing::PrintToString(std::wstring(c.value));
        if (c.addresses) {
            EXPECT_EQ(stamp.from, c.addresses->first)
                << testing::PrintToString(std::wstring(c.value));
            EXPECT_EQ(stamp.by, c.addresses->second)
                << testing::PrintToString(std::wstring(c.value));
        } else {
            EXPECT_EQ(stamp.from, bytes{9}) << "untouched without a match";
        }
    }
}

TEST(StampGrammar, LongValuesNeedNoStack) {
    // Labels and blanks are loops, not recursion.
    std::wstring value = L"from ";
    for (int i = 0; i < 100000; ++i) value += L"a.";
    value += L"b" + std::wstring(100000, L' ') + L"(x [1.2.3.4]) by y (y [5.6.7.8])";
    mime::stamp_type stamp;
    ASSERT_TRUE(mime::grammars::parse_stamp(value, stamp));
    EXPECT_EQ(stamp.from, (bytes{1, 2, 3, 4}));
}

}  // namespace
