#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <string_view>

#include "uri/finder.hpp"

namespace {

namespace uri = quorvane::engine::uri;

struct finder_case {
    const char* name;
    std::wstring text;
    std::wstring kept;
    std::set<std::wstring> found;
};

void PrintTo(const finder_case& c, std::ostream* out) { *out << c.name; }

class Extract : public ::testing::TestWithParam<finder_case> {};

TEST_P(Extract, CutsLinksOut) {
    const auto& c = GetParam();
    std::wstring text = c.text;
    std::set<std::wstring> found;
    EXPECT_TRUE(uri::extract(text, found));
    EXPECT_EQ(text, c.kept);
    EXPECT_EQ(found, c.found);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Extract,
    ::testing::Values(
        finder_case{
            "no_links", L"plain text: no links (at all).", L"plain text: no links (at all).", {}},
        finder_case{"empty", L"", L"", {}},
        finder_case{"bare_keeps_full_stop",
                    L"see http://a.example/x. Next",
                    L"see  Next",
                    {L"http://a.example/x."}},
        finder_case{
            "angle_brackets", L"at <http://a.example/> now", L"at  now", {L"http://a.example/"}},
        finder_case{"round_brackets", L"(http://a.example/p) x", L" x", {L"http://a.example/p"}},
        finder_case{"round_inside_round", L"(http://a/(b)c) x", L"c) x", {L"http://a/(b"}},
        finder_case{"brackets_span_spaces", L"[http://a b] c", L" c", {L"http://a b"}},
        finder_case{"quotes", L"'http://q' \"www.r\"", L" ", {L"http://q", L"http://www.r"}},
        finder_case{"twice", L"http://a x http://a", L" x ", {L"http://a"}},
        finder_case{
            "www_any_case", L"go WwW.Example.COM/A now", L"go  now", {L"http://www.Example.COM/A"}},
        finder_case{"mailto", L"mail mailto:a@b.example", L"mail ", {L"mailto:a@b.example"}},
        finder_case{"upper_scheme_then_www",
                    L"HTTP://www.x.example",
                    L"HTTP://",
                    {L"http://www.x.example"}},
        finder_case{"https", L"https://s.example", L"", {L"https://s.example"}},
        finder_case{"telnet_and_tel", L"telnet://t tel:+1", L" ", {L"telnet://t", L"tel:+1"}},
        finder_case{"unclosed_bracket", L"(http://a.example x", L"( x", {L"http://a.example"}},
        finder_case{"glued_to_word", L"clickhttp://z", L"click", {L"http://z"}},
        finder_case{"glued_to_a_long_word",
                    L"abcdefghijklmnopqrstuvwxyzhttps://z",
                    L"abcdefghijklmnopqrstuvwxyz",
                    {L"https://z"}},
        finder_case{"short_scheme_glued", L"aim:x", L"a", {L"im:x"}},
        finder_case{"at_the_end", L"x http: www", L"x http: www", {}},
        finder_case{"scheme_without_rest", L"http: x www. y", L"http: x www. y", {}},
        // Nothing between scheme and bracket: the bare form takes the bracket.
        finder_case{"empty_bracketed_link", L"(http:) x", L"( x", {L"http:)"}},
        finder_case{"unknown_scheme", L"foo://bar", L"foo://bar", {}},
        finder_case{
            "separators", L"a\thttp://x\r\nhttp://y\nz", L"a\t\r\n\nz", {L"http://x", L"http://y"}},
        finder_case{"longest_scheme", L"thismessage:/m", L"", {L"thismessage:/m"}},
        finder_case{"every_bracket_kind",
                    L"[ftp://a]<git:b>'ssh:c'\"svn:d\"",
                    L"",
                    {L"ftp://a", L"git:b", L"ssh:c", L"svn:d"}}),
    [](const auto& info) { return std::string(info.param.name); });

// The finder as first written: every scheme tried in order, every bracketed
// form sought to its closing character. Quadratic, but plainly right.
std::wstring reference_extract(const std::wstring& text, std::set<std::wstring>& found) {
    static constexpr std::wstring_view schemes[] = {
        L"cap",      L"cid",   L"fax",    L"file",        L"ftp",     L"gopher", L"http",
        L"https",    L"im",    L"mailto", L"mid",         L"news",    L"nfs",    L"nntp",
        L"sip",      L"tel",   L"telnet", L"thismessage", L"about",   L"afp",    L"callto",
        L"facetime", L"rsync", L"cvs",    L"git",         L"irc",     L"magnet", L"message",
        L"mms",      L"msnim", L"notes",  L"skype",       L"spotify", L"ssh",    L"sftp",
        L"smb",      L"svn",   L"webcal", L"ymsgr"};
    const std::wstring_view all(text);
    const auto prefix = [&](std::size_t at, std::wstring& value) -> std::size_t {
        for (const auto scheme : schemes)
            if (all.substr(at).starts_with(scheme) &&
                all.substr(at + scheme.size()).starts_with(L":")) {
                value.assign(scheme).push_back(L':');
                return scheme.size() + 1;
            }
        if (at + 4 <= all.size() && (all[at] | 0x20) == L'w' && (all[at + 1] | 0x20) == L'w' &&
            (all[at + 2] | 0x20) == L'w' && all[at + 3] == L'.') {
            value = L"http://www.";
            return 4;
        }
        return 0;
    };
    std::wstring kept;
    for (std::size_t at = 0; at < all.size();) {
        std::wstring value;
        std::size_t end = 0;
        if (const auto length = prefix(at, value)) {
            std::size_t stop = all.find_first_of(L" \t\r\n", at + length);
            if (stop == std::wstring_view::npos) stop = all.size();
            if (stop > at + length) {
                value.append(all.substr(at + length, stop - at - length));
                end = stop;
            }
        } else if (const auto pair = std::wstring_view(L"[(<'\"").find(all[at]);
                   pair != std::wstring_view::npos) {
            const wchar_t close = L"])>'\""[pair];
            if (const auto length = prefix(at + 1, value)) {
                const auto stop = all.find(close, at + 1 + length);
                if (stop != std::wstring_view::npos && stop > at + 1 + length) {
                    value.append(all.substr(at + 1 + length, stop - at - 1 - length));
                    end = stop + 1;
                }
            }
        }
        if (end) {
            found.insert(value);
            at = end;
        } else {
            kept.push_back(all[at++]);
        }
    }
    return kept;
}

TEST(Extract, MatchesTheReferenceOnRandomTexts) {
    const std::wstring_view pieces[] = {L"http:",   L"https:",
                                        L"www.",    L"WWW.",
                                        L"tel:",    L"telnet:",
                                        L"(",       L")",
                                        L"[",       L"]",
                                        L"<",       L">",
                                        L"'",       L"\"",
                                        L" ",       L"\n",
                                        L"x",       L"w",
                                        L"h",       L"ht",
                                        L"tp",      L":",
                                        L"mailto:", L"\U0001F600",
                                        L"\u00E9",  L"thismessage:",
                                        L"im:",     L"abcdefghij",
                                        L"W",       L"."};
    std::mt19937 random(12345);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
    std::uniform_int_distribution<int> length(0, 40);
    for (int round = 0; round < 20000; ++round) {
        std::wstring text;
        for (int i = length(random); i > 0; --i) text += pieces[pick(random)];
        std::set<std::wstring> expected_found;
        const std::wstring expected = reference_extract(text, expected_found);
        std::set<std::wstring> found;
        std::wstring edited = text;
        ASSERT_TRUE(uri::extract(edited, found));
        ASSERT_EQ(edited, expected) << std::string(text.begin(), text.end());
        ASSERT_EQ(found, expected_found);
    }
}

// Many opening brackets with a scheme and no closing one: a single pass.
TEST(Extract, UnclosedBracketsTakeOnePass) {
    std::wstring text;
    for (int i = 0; i < 50000; ++i) text += L"(http:x ";
    std::set<std::wstring> found;
    ASSERT_TRUE(uri::extract(text, found));
    EXPECT_EQ(found, (std::set<std::wstring>{L"http:x"}));
    EXPECT_EQ(text.size(), 50000u * 2);
}

}  // namespace
