#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "locale.hpp"
#include "uri/normalize.hpp"

namespace {

namespace uri = quorvane::engine::uri;

struct transform_case {
    const wchar_t* name;
    std::wstring input;
    std::optional<std::wstring> expected;  // before case folding; nothing: no key
};

void PrintTo(const transform_case& c, std::ostream* os) {
    std::string name;
    for (const wchar_t* p = c.name; *p; ++p) name.push_back(static_cast<char>(*p));
    *os << name;
}

class UriTransform : public ::testing::TestWithParam<transform_case> {};

TEST_P(UriTransform, MakesTheKey) {
    const auto& c = GetParam();
    EXPECT_EQ(uri::transform(c.input), c.expected);
}

const std::wstring euro = L"\u20AC";

INSTANTIATE_TEST_SUITE_P(
    Examples, UriTransform,
    ::testing::Values(
        transform_case{L"labels reversed, room for two segments",
                       L"http://www.Example.com/a/b/c?q=1#f", L"com.Example.www/a/b"},
        transform_case{L"scheme in any case, trailing slash", L"HTTPS://example.com/",
                       L"com.example"},
        transform_case{L"no slashes", L"ftp:example.com", L"com.example"},
        transform_case{L"one slash", L"http:/example.com", L"com.example"},
        transform_case{L"port 8080 is one character", L"http://example.com:8080/x",
                       std::wstring(L"com.example") + L'\u1F90' + L"/x"},
        transform_case{L"port 80 is no default", L"http://example.com:80",
                       std::wstring(L"com.example") + L'P'},
        transform_case{L"user information dropped", L"http://user:pw@example.com/x",
                       L"com.example/x"},
        transform_case{L"user information stops at a dot", L"http://john.doe@example.com/x",
                       L"doe.john"},
        transform_case{L"address with leading zeros", L"http://192.168.001.10/p",
                       L"192.168.001.10/p"},
        transform_case{L"address attempt fails after 25", L"http://256.1.1.1/", L"1.1.1.256"},
        transform_case{L"unread 6 ends the authority", L"http://1.2.3.256/x", L"1.2.3.25"},
        transform_case{L"four octets leave one segment", L"http://1.2.3.4/a/b", L"1.2.3.4/a"},
        // %20b is one escape of three digits: the byte 0x0B, not a space and b.
        transform_case{L"escapes are greedy", L"http://example.com/a%20b/%E2%82%ACx",
                       L"com.example/a\x0B"
                       L"/" +
                           euro + L"x"},
        transform_case{L"empty segment ends the path", L"http://example.com//a", L"com.example"},
        transform_case{L"trailing slash left unread", L"http://example.com/a/", L"com.example/a"},
        transform_case{L"mailto", L"mailto:someone@example.com", std::nullopt},
        transform_case{L"no scheme", L"www.example.com", std::nullopt},
        transform_case{L"no host", L"http://", std::nullopt}));

INSTANTIATE_TEST_SUITE_P(
    Grammar, UriTransform,
    ::testing::Values(
        transform_case{L"escape run of two", L"http://x.com/%41%42", L"com.x/AB"},
        transform_case{L"three hex digits are one byte", L"http://x.com/%41B", L"com.x/\x1B"},
        transform_case{L"invalid UTF-8 of a run is dropped", L"http://x.com/a%FFb", L"com.x/a"},
        transform_case{L"escape that overflows 32 bits ends the segment",
                       L"http://x.com/a%100000000", L"com.x/a"},
        transform_case{L"leading zeros fit in 32 bits", L"http://x.com/%000000041", L"com.x/A"},
        transform_case{L"percent without digits", L"http://x.com/a%zz", L"com.x/a"},
        transform_case{L"escaped host label", L"http://%65xample.com", L"com.example"},
        transform_case{L"port reads while at most 65535", L"http://x.com:65536/a",
                       std::wstring(L"com.x") + wchar_t(6553)},
        transform_case{L"port of five digits at most", L"http://x.com:000080",
                       std::wstring(L"com.x") + wchar_t(8)},
        transform_case{L"colon without digit left unread", L"http://x.com:/a", L"com.x"},
        transform_case{L"highest port", L"http://x.com:65535",
                       std::wstring(L"com.x") + wchar_t(65535)},
        transform_case{L"octets of an abandoned address stay counted",
                       L"http://123.example.com/a/b", L"com.example.123/a"},
        transform_case{L"dot without label left unread", L"http://example.com./a", L"com.example"},
        transform_case{L"sub-delimiters end a segment", L"http://x.com/a,b", L"com.x/a"},
        transform_case{L"segment items", L"http://x.com/a-._~:@b", L"com.x/a-._~:@b"},
        transform_case{L"user information with escapes and sub-delimiters",
                       L"http://u%41!$&'()*+,;=:p@x.com/a", L"com.x/a"},
        transform_case{L"empty user information", L"http://@x.com", L"com.x"},
        transform_case{L"other schemes fail", L"httpx://x.com", std::nullopt},
        transform_case{L"three slashes leave no host", L"http:///x.com", std::nullopt},
        transform_case{L"non-ASCII letters are not letters", L"http://\u00E9x.com", std::nullopt},
        transform_case{L"five labels leave no segment", L"http://a.b.c.d.e/f", L"e.d.c.b.a"},
        transform_case{L"label ends after 64 items",
                       L"http://" + std::wstring(70, L'a') + L".com/x", std::wstring(64, L'a')},
        transform_case{L"segment ends after 64 items", L"http://x.com/" + std::wstring(65, L'b'),
                       L"com.x/" + std::wstring(64, L'b')}));

// A port between 55296 and 57343 would be a surrogate: it becomes U+FFFD, so
// folding and UTF-8 conversion of the key cannot fail on it.
struct port_case {
    std::wstring input;
    wchar_t port;
};

void PrintTo(const port_case& c, std::ostream* os) { *os << "port " << unsigned(c.port); }

class SurrogatePort : public ::testing::TestWithParam<port_case> {};

TEST_P(SurrogatePort, KeyIsValidText) {
    const auto& c = GetParam();
    const auto transformed = uri::transform(c.input);
    ASSERT_TRUE(transformed);
    EXPECT_EQ(*transformed, std::wstring(L"com.Example") + c.port);
    EXPECT_TRUE(quorvane::engine::locale::is_valid(*transformed));
    const auto key = uri::key(c.input);
    ASSERT_TRUE(key);
    EXPECT_EQ(*key, std::wstring(L"com.example") + c.port);
}

INSTANTIATE_TEST_SUITE_P(Ports, SurrogatePort,
                         ::testing::Values(port_case{L"http://Example.com:47", L'/'},
                                           port_case{L"http://Example.com:55295", L'\uD7FF'},
                                           port_case{L"http://Example.com:55296", L'\uFFFD'},
                                           port_case{L"http://Example.com:56000", L'\uFFFD'},
                                           port_case{L"http://Example.com:57343", L'\uFFFD'},
                                           port_case{L"http://Example.com:57344", L'\uE000'}));

TEST(UriKey, IsCaseFoldedAndAbsentWhenTheLinkDoesNotParse) {
    EXPECT_EQ(uri::key(L"HTTP://WWW.Example.COM/Path"), L"com.example.www/path");
    EXPECT_EQ(uri::key(L"HTTP://STRASSE.de/%C3%9F"), L"de.strasse/ss");
    EXPECT_EQ(uri::key(L"news:example.com"), std::nullopt);
    EXPECT_EQ(uri::key(L""), std::nullopt);
}

TEST(UriKey, GrammarAppendsAndCounts) {
    unsigned counter = 0;
    std::wstring key = L"prefix:";
    EXPECT_TRUE(uri::grammars::uri_transform_parser.parse(L"http://a.b/c/d", counter, key));
    EXPECT_EQ(key, L"prefix:b.a/c/d");
    EXPECT_EQ(counter, 4u);
    EXPECT_EQ(uri::grammars::transform_grammar::utf8_to_wstring("a\xC3\xA9\xFF"), L"a\u00E9");
}

}  // namespace
