// The converter against tools nobody here wrote: w3m for the text a reader
// sees, Python's html.parser for the links of the markup.
#include <gtest/gtest.h>

#include <unicode/uchar.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "coding.hpp"
#include "html/entity_table.hpp"
#include "html/html.hpp"

namespace {

namespace engine = quorvane::engine;

struct run_result {
    bool ran = false;
    std::string output;
};

run_result run(const std::string& command, const std::string& input) {
    const auto file = std::filesystem::temp_directory_path() /
                      ("qv_html_" + std::to_string(::getpid()) + ".html");
    std::ofstream(file, std::ios::binary) << input;
    FILE* pipe = ::popen((command + " < '" + file.string() + "' 2>/dev/null").c_str(), "r");
    run_result result;
    if (pipe) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            result.output.append(buffer, n);
        result.ran = ::pclose(pipe) == 0;
    }
    std::filesystem::remove(file);
    return result;
}

// Runs of letters and digits: what both renderings must agree on, whatever
// each does with white space, bullets and line breaks.
std::vector<std::wstring> words(std::wstring_view text) {
    std::vector<std::wstring> out;
    std::wstring word;
    for (const wchar_t c : text) {
        if (u_isalnum(static_cast<UChar32>(c))) {
            word.push_back(c);
        } else if (!word.empty()) {
            out.push_back(std::move(word));
            word.clear();
        }
    }
    if (!word.empty()) out.push_back(std::move(word));
    return out;
}

std::vector<std::wstring> converter_words(const std::string& html) {
    std::wstring text;
    std::set<std::wstring> links;
    EXPECT_TRUE(engine::html::convert(engine::coding::to_wide(html), text, links));
    return words(text);
}

bool have(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

std::vector<std::wstring> w3m_words(const std::string& html) {
    const auto result = run("w3m -dump -T text/html -I UTF-8 -O UTF-8 -cols 400", html);
    EXPECT_TRUE(result.ran);
    return words(engine::coding::to_wide(result.output));
}

std::string show(const std::vector<std::wstring>& words) {
    std::string out;
    for (const auto& word : words) out += engine::coding::to_utf8(word) + "|";
    return out;
}

// Bodies whose words a reader sees alike in both.
const std::vector<std::string> agreeing_bodies{
    R"(<html><head><title>News</title><style>.x { color: red }</style></head>
<body><h1>Weekly news</h1><p>Hello reader, here are the news of the week.</p>
<p>Prices start at 25 EUR &amp; shipping is free.</p><br>Unsubscribe
<a href="http://x.example/u">here</a> anytime.</body></html>)",
    "<body><table><tr><td> Item </td> <td> Price </td></tr>\n"
    "<tr><td> Shoes </td> <td> 49 </td></tr></table></body>",
    "<body><p>caf&eacute; &copy; 2024 &ndash; na&iuml;ve &#8364;5 &#x41;BC &lt;tag&gt; "
    "&Alpha;&beta;</p></body>",
    "<body>before <script>var x = \"hidden\"; if (a < b) {}</script> middle <!-- comment --> "
    "after <style>p { }</style> end</body>",
    "<body><p>\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xD0\xBC\xD0\xB8\xD1\x80</p>"
    "<p>Gr\xC3\xBC\xC3\x9F"
    "e aus K\xC3\xB6ln</p></body>",
    "<body><ul> <li> one </li> <li> two </li> </ul> three</body>",
    "<body>Click <a href=\"x\">this link</a> or <b>that</b> <i>one</i>.</body>",
    "<BODY><P>Upper CASE</P><BR>Tags<br/>and<br />breaks</BODY>",
    // A meta tag inside the body hides nothing.
    "<body>Cheap <meta http-equiv=\"refresh\" content=\"0\"> pills here</body>",
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"></head><body><div> first </div>"
    "<div> second </div></body></html>",
    // Text after the body's end, and every body, is shown.
    "<body>A</body>after",
    "<body>first</body><body>second</body>",
    "<html><body/>Buy cheap pills now</html>",
};

TEST(HtmlAgainstW3m, SameWords) {
    if (!have("w3m")) GTEST_SKIP() << "w3m is not installed";
    for (const auto& body : agreeing_bodies) {
        SCOPED_TRACE(body);
        EXPECT_EQ(show(converter_words(body)), show(w3m_words(body)));
    }
}

struct divergence_case {
    const char* why;
    std::string body;
    std::string ours;  // words joined by "|"
};

// Where the converter reads a page differently from a browser, on purpose.
const std::vector<divergence_case> divergences{
    {"tags other than br and p separate nothing", "<div>a</div><div>b</div>", "ab|"},
    {"the title counts when there is no body tag", "<title>T</title>text", "Ttext|"},
    {"no white space around = in a tag", "<body>x <a href = \"y\">z</a></body>", "x|a|href|y|z|"},
    {"an apostrophe in a comment opens a quote", "<body>a <!-- don't --> b</body>", "a|don|t|b|"},
};

TEST(HtmlAgainstW3m, IntendedDivergences) {
    const bool w3m = have("w3m");
    for (const auto& c : divergences) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(show(converter_words(c.body)), c.ours);
        if (w3m) {
            EXPECT_NE(show(w3m_words(c.body)), c.ours);
        }
    }
}

std::set<std::wstring> converter_links(const std::string& html) {
    std::wstring text;
    std::set<std::wstring> links;
    EXPECT_TRUE(engine::html::convert(engine::coding::to_wide(html), text, links));
    return links;
}

std::set<std::wstring> python_links(const std::string& html) {
    const auto script = std::filesystem::path(QV_ENGINE_TEST_DATA) / "html_links.py";
    const auto result = run("python3 '" + script.string() + "'", html);
    EXPECT_TRUE(result.ran);
    std::set<std::wstring> links;
    std::string line;
    for (std::size_t begin = 0, end; begin < result.output.size(); begin = end + 1) {
        end = result.output.find('\n', begin);
        if (end == std::string::npos) end = result.output.size();
        line = result.output.substr(begin, end - begin);
        std::string bytes;
        if (line != "-")
            for (std::size_t i = 0; i + 1 < line.size(); i += 2)
                bytes.push_back(static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16)));
        links.insert(engine::coding::to_wide(bytes));
    }
    return links;
}

const std::vector<std::string> link_bodies{
    R"(<html><head><script src="http://cdn.example/app.js"></script></head><body>
<a href="http://shop.example.com/track?id=1&amp;ref=mail">Track</a>
<A HREF='https://example.org/Path'>x</A> <a name="top">no link</a>
<img src="http://img.example/logo.png" width=10 alt="logo"><IMG SRC=pixel.gif>
<a href="">empty</a> <a href="mailto:a@b.example?subject=Hi%20there">mail</a>
<a class="btn" href="/relative/path" target="_blank">rel</a>
<img src="data:image/gif;base64,R0lGODlhAQABAAAAACw=" /><br/>
<a href="http://x.example/&#x41;&#66;&lt;&quot;">refs</a>
<a href="http://caf&eacute;.example/">idn</a></body></html>)",
    "<body><a href=\"http://one.example\"><img src=\"http://two.example/i.png\"></a>"
    "<script src='s.js' async></script><a id=x href=\"http://three.example/a b\">s</a></body>",
};

TEST(HtmlAgainstPython, SameLinks) {
    if (!have("python3")) GTEST_SKIP() << "python3 is not available";
    for (const auto& body : link_bodies) {
        SCOPED_TRACE(body);
        EXPECT_EQ(converter_links(body), python_links(body));
    }
}

struct link_divergence_case {
    const char* why;
    std::string body;
    std::set<std::wstring> ours;
};

// Where the converter's stricter grammar collects differently, on purpose.
const std::vector<link_divergence_case> link_divergences{
    {"no white space around =", "<a href = \"x\">", {}},
    {"an unquoted value ends at /", "<a href=http://a/b>", {}},
    {"a reference needs its semicolon", "<a href=\"?a=1&copy=2\">", {L"?a=1&copy=2"}},
    {"script content is markup too", "<script>w('<a href=\"z\">')</script>", {L"z"}},
    {"end tags contribute their links", "</a href=\"e\">", {L"e"}},
};

TEST(HtmlAgainstPython, IntendedDivergences) {
    const bool python = have("python3");
    for (const auto& c : link_divergences) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(converter_links(c.body), c.ours);
        if (python) {
            EXPECT_NE(python_links(c.body), c.ours);
        }
    }
}

// The committed table is Python's html.entities (HTML 4.01) plus "apos".
TEST(EntityTableAgainstPython, SameNamesAndCharacters) {
    if (!have("python3")) GTEST_SKIP() << "python3 is not available";
    const auto result =
        run("python3 -c 'import html.entities as e\n"
            "t = dict(e.name2codepoint, apos=39)\n"
            "[print(n, c) for n, c in sorted(t.items())]'",
            "");
    ASSERT_TRUE(result.ran);
    std::string expected;
    for (const auto& entity : engine::html::entity_table)
        expected += engine::coding::to_utf8(entity.name) + " " +
                    std::to_string(static_cast<std::uint32_t>(entity.code_point)) + "\n";
    EXPECT_EQ(result.output, expected);
}

}  // namespace
