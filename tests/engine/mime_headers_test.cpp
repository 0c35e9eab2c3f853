#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "mime/mime.hpp"

namespace {

namespace mime = quorvane::engine::mime;
using encoding = mime::grammars::content_transfer_encoding_result;

std::vector<std::string> lines_of(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> lines;
    std::string line;
    while (mime::getline(in, line)) lines.push_back(line);
    return lines;
}

TEST(MimeHeaders, LineEnds) {
    const struct {
        std::string text;
        std::vector<std::string> lines;
    } cases[] = {
        {"a\r\nb\nc\rd", {"a", "b", "c", "d"}},
        {"a\r\r\nb", {"a", "", "b"}},  // CR CR LF: an empty line after the first
        {"a\n\n", {"a", ""}},
        {"", {}},
        {"\r", {""}},
        {"no end", {"no end"}},
        {std::string("nul\0byte\n", 9), {std::string("nul\0byte", 8)}},
    };
    for (const auto& c : cases) EXPECT_EQ(lines_of(c.text), c.lines) << c.text;
}

// A source whose every read fails.
class broken_buffer : public std::streambuf {
protected:
    int_type underflow() override { throw std::runtime_error("device failure"); }
};

TEST(MimeHeaders, HardErrorsEndTheLine) {
    broken_buffer buffer;
    std::istream quiet(&buffer);
    std::string line = "old";
    EXPECT_FALSE(mime::getline(quiet, line));
    EXPECT_TRUE(quiet.bad());
    EXPECT_TRUE(line.empty());
    std::istream loud(&buffer);
    loud.exceptions(std::ios_base::badbit);
    EXPECT_THROW(mime::getline(loud, line), std::runtime_error);
    EXPECT_TRUE(loud.bad());
}

std::vector<mime::key_value_type> headers_of(const std::string& text) {
    std::istringstream in(text);
    mime::header_list_type headers;
    mime::parse_headers(in, headers);
    return headers;
}

TEST(MimeHeaders, Fields) {
    using fields = std::vector<std::pair<std::string, std::string>>;
    const struct {
        std::string text;
        fields expected;
    } cases[] = {
        {"Subject: a\r\n b\r\n\r\nbody", {{"Subject", "a b"}}},
        {"Subject: a\n\tb\n\n", {{"Subject", "a\tb"}}},
        {"Subject: a\n\vb\n", {{"Subject", "a\vb"}}},  // VT and FF are white space too
        {"X:: value  \n", {{"X", "value  "}}},         // trailing white space stays
        {"no colon\nEmpty:\n", {{"no colon", ""}, {"Empty", ""}}},
        {" dropped\nA: 1\nA: 2\n", {{"A", "1"}, {"A", "2"}}},
        {"Name : v\n", {{"Name ", "v"}}},        // the name is not trimmed
        {"\xe9: \xa0v\n", {{"\xe9", "\xa0v"}}},  // bytes above 127 are never white space
        {"\r\nA: 1\n", {}},                      // an empty block
    };
    for (const auto& c : cases) {
        fields got;
        for (const auto& h : headers_of(c.text)) got.emplace_back(h.name, h.value);
        EXPECT_EQ(got, c.expected) << c.text;
    }
}

TEST(MimeHeaders, BlockEndingAtEndOfDataLeavesStreamUsable) {
    std::istringstream in("A: 1\nB: 2");
    mime::header_list_type headers;
    mime::parse_headers(in, headers);
    EXPECT_EQ(headers.size(), 2u);
    EXPECT_TRUE(in.good());
    in.seekg(0);
    EXPECT_EQ(in.tellg(), std::streampos(0));
}

struct content_type_case {
    std::string value;
    bool parses;
    std::string type, subtype;
    std::vector<std::pair<std::string, std::string>> parameters;
};

TEST(MimeHeaders, ContentType) {
    const content_type_case cases[] = {
        {"text/plain", true, "text", "plain", {}},
        {"TEXT/Plain; CharSet=UTF-8", true, "TEXT", "Plain", {{"CharSet", "UTF-8"}}},
        {"text/plain; charset=\"iso-8859-1\"", true, "text", "plain", {{"charset", "iso-8859-1"}}},
        {"text/plain; name=\"a\\\"b\"", true, "text", "plain", {{"name", "a\"b"}}},
        {"text/plain; a=\"\"; b=c", true, "text", "plain", {}},  // empty quotes stop it
        {"text /plain", true, "text", "plain", {}},              // no token keeps a blank
        {"text/plain; charset =x", true, "text", "plain", {{"charset", "x"}}},
        {"text/html ; charset=utf-8", true, "text", "html", {{"charset", "utf-8"}}},
        {"multipart/mixed; boundary=b ", true, "multipart", "mixed", {{"boundary", "b"}}},
        {"multipart/mixed; boundary=\" b \"", true, "multipart", "mixed", {{"boundary", " b "}}},
        {"text/plain (c) ; charset=x", true, "text", "plain", {{"charset", "x"}}},
        {"text/plain(c) ; charset=x", true, "text", "plain", {{"charset", "x"}}},
        {"text/plain(c); charset=x", true, "text", "plain", {}},
        {"text/plain;charset=x;;format=flowed", true, "text", "plain", {{"charset", "x"}}},
        {"multipart/mixed; boundary=\"==b==\"",
         true,
         "multipart",
         "mixed",
         {{"boundary", "==b=="}}},
        {"multipart/mixed;\tboundary=abc", true, "multipart", "mixed", {{"boundary", "abc"}}},
        {"text", false, "", "", {}},
        {"/plain", false, "", "", {}},
        {"", false, "", "", {}},
        {"text/plain/x", true, "text", "plain", {}},
    };
    for (const auto& c : cases) {
        mime::media_type media;
        mime::header_list_type parameters;
        const bool parsed =
            mime::parse_content_type({{"Content-Type", c.value}}, media, parameters);
        EXPECT_EQ(parsed, c.parses) << c.value;
        if (!parsed) continue;
        EXPECT_EQ(media.type, c.type) << c.value;
        EXPECT_EQ(media.subtype, c.subtype) << c.value;
        std::vector<std::pair<std::string, std::string>> got;
        for (const auto& p : parameters) got.emplace_back(p.name, p.value);
        EXPECT_EQ(got, c.parameters) << c.value;
    }
}

TEST(MimeHeaders, OnlyTheFirstContentTypeCounts) {
    mime::media_type media;
    mime::header_list_type parameters;
    EXPECT_FALSE(mime::parse_content_type({{"content-type", "bad"}, {"Content-Type", "text/html"}},
                                          media, parameters));
    EXPECT_TRUE(mime::parse_content_type(
        {{"X", "y"}, {"CONTENT-TYPE", "text/html"}, {"Content-Type", "image/png"}}, media,
        parameters));
    EXPECT_EQ(media.subtype, "html");
    EXPECT_FALSE(mime::parse_content_type({{"Subject", "text/html"}}, media, parameters));
}

TEST(MimeHeaders, DeepCommentsCostNoStack) {
    // A recursive comment rule would need a stack frame per "(".
    for (const std::size_t depth : {64u, 100'000u, 2'000'000u}) {
        const std::string open(depth, '('), close(depth, ')');
        mime::media_type media;
        mime::header_list_type parameters;
        ASSERT_TRUE(mime::parse_content_type(
            {{"Content-Type", "text/plain " + open + close + " ; charset=x"}}, media, parameters));
        ASSERT_EQ(parameters.size(), 1u) << depth;
        parameters.clear();
        ASSERT_TRUE(mime::parse_content_type(
            {{"Content-Type", "text/plain " + open + " ; charset=x"}}, media, parameters));
        EXPECT_TRUE(parameters.empty()) << "an unclosed comment does not match";
        ASSERT_FALSE(
            mime::parse_content_type({{"Content-Type", open + "text/plain"}}, media, parameters));
    }
}

TEST(MimeHeaders, CommentsWithQuotedPairsAndNesting) {
    const struct {
        std::string value;
        std::size_t parameters;
    } cases[] = {
        {"text/plain (a (b) c) ; x=1", 1},
        {"text/plain (a \\) b) ; x=1", 1},
        {"text/plain (a \\", 0},
        {"text/plain (a) (b) ; x=1", 1},
        {"text/plain ; (c) x=1", 1},
        {"text/plain ;(c)x=1", 0},  // a comment directly before a token stops it
        {"text/plain ;(c)=x", 0},
    };
    for (const auto& c : cases) {
        mime::media_type media;
        mime::header_list_type parameters;
        ASSERT_TRUE(mime::parse_content_type({{"Content-Type", c.value}}, media, parameters));
        EXPECT_EQ(parameters.size(), c.parameters) << c.value;
    }
}

TEST(MimeHeaders, ContentTransferEncoding) {
    const struct {
        mime::header_list_type headers;
        bool recognised;
        encoding expected;
    } cases[] = {
        {{{"Content-Transfer-Encoding", "base64"}}, true, encoding::base64},
        {{{"content-transfer-encoding", "BASE64"}}, true, encoding::base64},
        {{{"Content-Transfer-Encoding", "Quoted-Printable"}}, true, encoding::quoted_printable},
        {{{"Content-Transfer-Encoding", "8bit"}}, true, encoding::identity},
        {{{"Content-Transfer-Encoding", "7BIT"}}, true, encoding::identity},
        {{{"Content-Transfer-Encoding", "binary"}}, true, encoding::identity},
        {{{"Content-Transfer-Encoding", " (c) base64"}}, true, encoding::base64},
        {{{"Content-Transfer-Encoding", "base64x"}}, true, encoding::base64},
        {{{"Content-Transfer-Encoding", "x-uuencode"}}, false, encoding::identity},
        {{{"Content-Transfer-Encoding",
           "\xc2\xa0"
           "base64"}},
         false,
         encoding::identity},
        {{{"Content-Transfer-Encoding", "unknown"}, {"Content-Transfer-Encoding", "base64"}},
         true,
         encoding::base64},
        {{}, false, encoding::identity},
    };
    for (const auto& c : cases) {
        encoding got = encoding::identity;
        EXPECT_EQ(mime::parse_content_transfer_encoding(c.headers, got), c.recognised);
        EXPECT_EQ(got, c.expected);
    }
}

TEST(MimeHeaders, AttributeLookup) {
    const mime::header_list_type parameters = {
        {"CharSet", "utf-8"}, {"charset", "second"}, {"name", "caf\xc3\xa9\xff.txt"}};
    std::string narrow = "untouched";
    EXPECT_TRUE(mime::assign_attribute(parameters, "charset", narrow));
    EXPECT_EQ(narrow, "utf-8");
    narrow = "untouched";
    EXPECT_FALSE(mime::assign_attribute(parameters, "chars", narrow));
    EXPECT_EQ(narrow, "untouched");
    std::wstring wide;
    EXPECT_TRUE(mime::assign_attribute(parameters, "NAME", wide));
    EXPECT_EQ(wide, L"caf\u00e9.txt") << "invalid sequences are skipped";
}

}  // namespace
