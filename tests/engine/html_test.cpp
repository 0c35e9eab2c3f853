#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "html/entity_table.hpp"
#include "html/html.hpp"

namespace {

namespace html = quorvane::engine::html;

struct html_case {
    const char* name;
    std::wstring input;
    std::wstring text;
    std::set<std::wstring> links = {};
};

void PrintTo(const html_case& c, std::ostream* out) { *out << c.name; }

std::wstring converted(std::wstring_view input, std::set<std::wstring>* links = nullptr) {
    std::wstring output = L"stale";
    std::set<std::wstring> collected;
    EXPECT_TRUE(html::convert(input, output, links ? *links : collected));
    return output;
}

class Convert : public ::testing::TestWithParam<html_case> {};

TEST_P(Convert, GivesTextAndLinks) {
    const auto& c = GetParam();
    std::set<std::wstring> links;
    EXPECT_EQ(converted(c.input, &links), c.text);
    EXPECT_EQ(links, c.links);
}

INSTANTIATE_TEST_SUITE_P(
    WhiteSpace, Convert,
    ::testing::Values(html_case{"runs", L"a  \t\n b", L"a b"},
                      html_case{"across_markup", L"a <i> b </i> &#32; c", L"a b c"},
                      html_case{"vertical_tab_and_form_feed", L"a\v\fb", L"a b"},
                      html_case{"no_break_space_is_text", L"a\u00A0 b", L"a\u00A0 b"},
                      html_case{"leading_kept_once", L"  a", L" a"}, html_case{"empty", L"", L""}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Breaks, Convert,
    ::testing::Values(html_case{"br", L"x<br>  y", L"x\r\ny"},
                      html_case{"end_br", L"x</br>y", L"xy"},
                      html_case{"empty_br", L"x<br/>y", L"x\r\ny"},
                      html_case{"empty_br_spaced", L"x<br />y", L"x\r\ny"},
                      html_case{"br_with_attribute", L"x<br class=\"c\"/>y", L"x\r\ny"},
                      html_case{"p", L"<p>", L"\r\n\r\n"}, html_case{"end_p", L"</p>", L""},
                      html_case{"upper_p", L"<P>", L"\r\n\r\n"},
                      html_case{"space_after_break", L"a<br> <br>b", L"a\r\n\r\nb"},
                      html_case{"div_joins", L"<div>a</div><div>b</div>", L"ab"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Body, Convert,
    ::testing::Values(html_case{"title_dropped", L"<title>T</title><body>B</body>after", L"Bafter"},
                      html_case{"every_body_shown", L"<body>A</body><body>B</body>", L"AB"},
                      html_case{"no_body", L"just <b>text</b>", L"just text"},
                      html_case{"upper_body", L"x<BODY bgcolor=white>y</Body>z", L"yz"},
                      html_case{"empty_body_tag", L"x<body/>y", L"y"},
                      html_case{"self_closed_body_hides_nothing",
                                L"<html><body/>Buy cheap pills now</html>", L"Buy cheap pills now"},
                      html_case{"closed_at_once", L"<body></body>Buy now", L"Buy now"},
                      html_case{"nested_body_start", L"<body>a<body>b", L"ab"},
                      html_case{"stray_end", L"a</body>b", L"ab"}),
    [](const auto& info) { return std::string(info.param.name); });

// A meta tag is a void element: it neither hides the text after it in the
// body nor anything before the body.
INSTANTIATE_TEST_SUITE_P(
    Hiding, Convert,
    ::testing::Values(
        html_case{"style", L"<style>x</style>y", L"y"},
        html_case{"script", L"<script>if (a<b) x()</script>y", L"y"},
        html_case{"empty_script", L"<script src=s.js />y", L"y", {L"s.js"}},
        html_case{"meta_before_body", L"<meta charset=utf-8><body>z", L"z"},
        html_case{"meta_in_body", L"<body><meta>z", L"z"},
        html_case{"meta_in_body_with_content",
                  L"<body>buy <meta http-equiv=\"refresh\" content=\"0\">now", L"buy now"},
        html_case{"end_meta_does_not_show_style", L"<style>a</meta>b</style>c", L"c"},
        html_case{"links_while_hidden", L"<style><a href=\"h\">x</a></style>", L"", {L"h"}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Links, Convert,
    ::testing::Values(
        html_case{"reference_in_value", L"<a href='/p?a=1&amp;b=2'>", L"", {L"/p?a=1&b=2"}},
        html_case{"unquoted_stops_at_slash", L"<a href=a/b>", L"<a href=a/b>"},
        html_case{"img_upper", L"<IMG SRC='i.png'>", L"", {L"i.png"}},
        html_case{"spaced_equals", L"<a href = \"x\">", L"<a href = \"x\">"},
        html_case{"empty_value", L"<a href=\"\">", L"", {L""}},
        html_case{"no_value", L"<a href>", L""},
        html_case{"end_tag_link", L"</a href=\"e\">", L"", {L"e"}},
        html_case{"kept_as_written", L"<a href=\" HTTP://X/ \">", L"", {L" HTTP://X/ "}},
        html_case{"several",
                  L"<a name=n href=\"1\" HREF=\"2\"><img src=3><script src=\"4\"></script>",
                  L"",
                  {L"1", L"2", L"3", L"4"}},
        html_case{"src_of_a_ignored", L"<a src=x><img href=y>", L""},
        html_case{"stray_ampersand_kept", L"<a href=\"?a&b\">", L"", {L"?a&b"}},
        html_case{
            "numeric_beyond_unicode", L"<a href=\"&#x110000;&#xD800;\">", L"", {L"\uFFFD\uFFFD"}},
        html_case{"quote_in_other_quotes", L"<a href='say \"hi\"'>", L"", {L"say \"hi\""}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Declarations, Convert,
    ::testing::Values(html_case{"comment", L"<!-- c -->t", L"t"},
                      html_case{"comment_with_gt", L"<!-- a > b -->", L" b -->"},
                      html_case{"doctype", L"<!DOCTYPE html PUBLIC '-//X' 'y'>", L""},
                      html_case{"open_quote", L"<!-- don't -->", L"<!-- don't -->"},
                      html_case{"reference_inside", L"<!x &amp; y>z", L"z"},
                      html_case{"bad_ampersand", L"<!x & y>", L"<!x & y>"},
                      html_case{"less_than_inside", L"<!x < y>", L"<!x < y>"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    NotMarkup, Convert,
    ::testing::Values(html_case{"comparison", L"a < b & c", L"a < b & c"},
                      html_case{"end_with_space", L"</ p>x", L"</ p>x"},
                      html_case{"processing_instruction", L"<?xml v?>x", L"<?xml v?>x"},
                      html_case{"unterminated_tag", L"x<a href=\"y", L"x<a href=\"y"},
                      html_case{"lone_gt_and_quotes", L"> \"q\" 'r'", L"> \"q\" 'r'"},
                      html_case{"tag_needs_space_before_attribute", L"<a\"x\">", L"<a\"x\">"},
                      html_case{"non_latin_text", L"\u041F\u0440\u0438<b>\U0001F600</b>",
                                L"\u041F\u0440\u0438\U0001F600"}),
    [](const auto& info) { return std::string(info.param.name); });

// Case folding of names is Unicode's, not ASCII's: a long s folds to "s".
TEST(Convert, FoldsTagNamesFully) {
    EXPECT_EQ(converted(L"<\u017Ftyle>x</\u017FTYLE>y"), L"y");
    EXPECT_EQ(converted(L"<b\u00F6dy>x"), L"x");
}

struct entity_case {
    std::wstring input;
    std::wstring text;
};

class Entities : public ::testing::TestWithParam<entity_case> {};

TEST_P(Entities, DecodeOnlyWhatIsAReference) {
    const auto& c = GetParam();
    EXPECT_EQ(converted(c.input), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Entities,
    ::testing::Values(
        entity_case{L"&amp;", L"&"}, entity_case{L"&lt;", L"<"}, entity_case{L"&apos;", L"'"},
        entity_case{L"&nbsp;", L"\u00A0"}, entity_case{L"&euro;", L"\u20AC"},
        entity_case{L"&notin;", L"\u2209"}, entity_case{L"&not;", L"\u00AC"},
        entity_case{L"&notx;", L"&notx;"}, entity_case{L"&AMP;", L"&AMP;"},
        entity_case{L"&amp", L"&amp"}, entity_case{L"&#65;", L"A"}, entity_case{L"&#0065;", L"A"},
        entity_case{L"&#65535;", L"\uFFFF"}, entity_case{L"&#65536;", L"&#65536;"},
        entity_case{L"&#128512;", L"&#128512;"}, entity_case{L"&#x41;", L"A"},
        entity_case{L"&#X41;", L"A"}, entity_case{L"&#x0041;", L"A"},
        entity_case{L"&#x1F600;", L"\U0001F600"}, entity_case{L"&#x;", L"&#x;"},
        entity_case{L"&#;", L"&#;"}, entity_case{std::wstring(L"&#0;"), std::wstring(1, L'\0')},
        entity_case{L"&#x00000000041;", L"A"}, entity_case{L"&#xFFFFFFFF;", L"\uFFFD"},
        entity_case{L"&#x100000000;", L"&#x100000000;"}, entity_case{L"&#xD800;", L"\uFFFD"},
        entity_case{L"&#xDFFF;", L"\uFFFD"}, entity_case{L"&#55296;", L"\uFFFD"},
        entity_case{L"&#x110000;", L"\uFFFD"}, entity_case{L"&#x10FFFF;", L"\U0010FFFF"},
        entity_case{L"&#9;x", L" x"}, entity_case{L"&Alpha;&alpha;", L"\u0391\u03B1"},
        entity_case{L"&amp;amp;", L"&amp;"}));

TEST(EntityTable, IsSortedWithoutDuplicates) {
    EXPECT_EQ(html::entity_table.size(), 253u);
    for (std::size_t i = 1; i < html::entity_table.size(); ++i)
        EXPECT_LT(html::entity_table[i - 1].name, html::entity_table[i].name);
}

TEST(EntityTable, EveryNameDecodes) {
    for (const auto& entity : html::entity_table) {
        std::wstring reference = L"&";
        reference.append(entity.name).push_back(L';');
        EXPECT_EQ(converted(reference), std::wstring(1, static_cast<wchar_t>(entity.code_point)))
            << std::string(entity.name.begin(), entity.name.end());
    }
}

TEST(Convert, ReplacesOutput) {
    std::wstring output = L"old text";
    std::set<std::wstring> links{L"kept"};
    EXPECT_TRUE(html::convert(L"<a href=n>new", output, links));
    EXPECT_EQ(output, L"new");
    EXPECT_EQ(links, (std::set<std::wstring>{L"kept", L"n"}));
}

// Constructs that a naive grammar rescans from every "<" or "&" still take
// one pass, and every input is consumed.
TEST(Convert, HostileInputsAreConsumed) {
    const std::vector<std::wstring> units{L"<!\"", L"<!'", L"<a x=\"", L"<a x='", L"&#0000",
                                          L"<",    L"<a ", L"<!-- ",   L"&amp",   L"<p a=b c"};
    for (const auto& unit : units) {
        std::wstring input;
        for (int i = 0; i < 20000; ++i) input += unit;
        std::wstring output;
        std::set<std::wstring> links;
        EXPECT_TRUE(html::convert(input, output, links));
    }
}

}  // namespace
