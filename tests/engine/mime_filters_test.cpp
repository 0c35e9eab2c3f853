#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include <boost/iostreams/filtering_stream.hpp>

#include "mime/filters/base64.hpp"
#include "mime/filters/quoted_printable.hpp"
#include "mime/filters/view.hpp"
#include "mime/mime.hpp"
#include "mime_support.hpp"

namespace {

namespace io = boost::iostreams;
namespace mime = quorvane::engine::mime;
using encoding = mime::grammars::content_transfer_encoding_result;
using quorvane::testing::source_of;

// Delivers its text in pieces: the first read ends at `split`, later reads
// give at most `chunk` bytes.
class piecewise_source {
public:
    using char_type = char;
    using category = io::source_tag;
    piecewise_source(std::string text, std::size_t split, std::size_t chunk)
        : text_(std::move(text)), split_(split), chunk_(chunk) {}
    std::streamsize read(char* out, std::streamsize count) {
        if (position_ >= text_.size()) return -1;
        std::size_t limit = position_ < split_ ? split_ - position_ : chunk_;
        const std::size_t n =
            std::min({limit, text_.size() - position_, static_cast<std::size_t>(count)});
        std::copy_n(text_.data() + position_, n, out);
        position_ += n;
        return static_cast<std::streamsize>(n);
    }

private:
    std::string text_;
    std::size_t split_, chunk_, position_ = 0;
};

template <class Filter>
std::string decode_pieces(const std::string& input, std::size_t split, std::size_t chunk,
                          std::streamsize output_buffer) {
    io::filtering_istream in;
    in.push(Filter{}, output_buffer);
    in.push(piecewise_source(input, split, chunk), chunk);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Every way of feeding the decoder must give the same bytes: whole, split at
// each offset, and one byte at a time in and out.
template <class Filter>
void expect_decodes(const std::string& input, const std::string& expected, encoding which) {
    auto stream = mime::open(source_of(input), {0, static_cast<std::int64_t>(input.size())}, which);
    std::ostringstream whole;
    whole << stream->rdbuf();
    EXPECT_EQ(whole.str(), expected) << "whole: " << input;
    for (std::size_t split = 0; split <= input.size(); ++split)
        ASSERT_EQ(decode_pieces<Filter>(input, split, 4096, 4096), expected)
            << "split at " << split << ": " << input;
    EXPECT_EQ(decode_pieces<Filter>(input, 0, 1, 1), expected) << "byte by byte: " << input;
}

struct decoding_case {
    std::string input;
    std::string expected;
};

TEST(MimeFilters, Base64) {
    const decoding_case cases[] = {
        {"", ""},
        {"TWFu", "Man"},
        {"TWE=", "Ma"},
        {"TWE", "Ma"},  // a final group of 3 symbols
        {"TQ==", "M"},
        {"TQ", "M"},  // of 2 symbols
        {"T", ""},    // leftover bits are dropped
        {"TW\r\nFu\r\n", "Man"},
        {" T!W-F.u ", "Man"},  // stray bytes are skipped
        {"AAEC/+/+", std::string("\x00\x01\x02\xff\xef\xfe", 6)},
        {"SGVsbG8sIHdvcmxkIQ", "Hello, world!"},
    };
    for (const auto& c : cases)
        expect_decodes<mime::filters::base64>(c.input, c.expected, encoding::base64);
}

TEST(MimeFilters, Base64LineBreaksDoNotMatter) {
    std::string bytes;
    for (int i = 0; i < 300; ++i) bytes.push_back(static_cast<char>(i * 7));
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
        const std::size_t symbols = std::min<std::size_t>(4, (bytes.size() - i) * 4 / 3 + 1);
        for (std::size_t s = 0; s < 4; ++s)
            encoded += s < symbols ? alphabet[(group >> (18 - 6 * s)) & 63] : '=';
    }
    std::string broken;
    for (std::size_t i = 0; i < encoded.size(); i += 76) broken += encoded.substr(i, 76) + "\r\n";
    expect_decodes<mime::filters::base64>(encoded, bytes, encoding::base64);
    expect_decodes<mime::filters::base64>(broken, bytes, encoding::base64);
}

TEST(MimeFilters, QuotedPrintable) {
    const decoding_case cases[] = {
        {"", ""},
        {"plain text", "plain text"},
        {"=41=42=43", "ABC"},
        {"=4a=4A=e9", "JJ\xe9"},
        {"soft=\r\nbreak", "softbreak"},
        {"soft=\nbreak", "softbreak"},  // LF line ends are soft breaks too
        {"lone=\rcr", "lonecr"},
        {"lone=\r=41", "lone=41"},  // after "=" CR the next byte is taken as it is
        {"end=", "end"},
        {"end=\r", "end"},
        {"=G1", "=G1"},
        {"=4G", "=4G"},
        {"=4", "=4"},
        {"==41", "=A"},
        {"=4=41", "=4A"},
        {"a=\r\n=\r\nb", "ab"},
        {"line\r\nnext\n", "line\r\nnext\n"},
        {"x= y", "x= y"},
    };
    for (const auto& c : cases)
        expect_decodes<mime::filters::quoted_printable>(c.input, c.expected,
                                                        encoding::quoted_printable);
}

TEST(MimeFilters, WindowReadsOnlyItsRange) {
    const std::string message = "0123456789";
    auto source = source_of(message);
    const struct {
        mime::window_type window;
        const char* expected;
    } cases[] = {{{0, 10}, "0123456789"}, {{3, 7}, "3456"}, {{5, 5}, ""}, {{9, 10}, "9"}};
    for (const auto& c : cases) {
        auto stream = mime::open(source, c.window);
        std::ostringstream out;
        out << stream->rdbuf();
        EXPECT_EQ(out.str(), c.expected);
    }
}

TEST(MimeFilters, WindowSeeks) {
    const std::string message = "0123456789";
    mime::filters::view view(source_of(message), {2, 6});
    EXPECT_EQ(view.seek(0, std::ios_base::end), std::streampos(4)) << "its end is allowed";
    EXPECT_EQ(view.seek(-1, std::ios_base::cur), std::streampos(3));
    char byte = 0;
    EXPECT_EQ(view.read(&byte, 1), 1);
    EXPECT_EQ(byte, '5');
    EXPECT_EQ(view.read(&byte, 1), -1);
    EXPECT_THROW(view.seek(1, std::ios_base::end), std::ios_base::failure);
    EXPECT_THROW(view.seek(-1, std::ios_base::beg), std::ios_base::failure);
    EXPECT_EQ(view.seek(0, std::ios_base::beg), std::streampos(0));
    EXPECT_EQ(view.read(&byte, 1), 1);
    EXPECT_EQ(byte, '2');
}

TEST(MimeFilters, DecodedStreamRestartsOnlyAtItsStart) {
    const std::string message = "xxSGVsbG8=yy";
    auto stream = mime::open(source_of(message), {2, 10}, encoding::base64);
    std::string first(3, '\0');
    stream->read(first.data(), 3);
    EXPECT_EQ(first, "Hel");
    stream->seekg(0);
    std::ostringstream all;
    all << stream->rdbuf();
    EXPECT_EQ(all.str(), "Hello");
    stream->clear();
    EXPECT_THROW(stream->seekg(2), std::ios_base::failure);
}

TEST(MimeFilters, StreamsOfOneSourceInterleave) {
    const std::string message = "=41=42=43|SGVsbG8=";
    auto source = source_of(message);
    auto qp = mime::open(source, {0, 9}, encoding::quoted_printable);
    auto b64 = mime::open(source, {10, 18}, encoding::base64);
    std::string a, b;
    for (int i = 0; i < 5; ++i) {
        char c;
        if (qp->get(c)) a += c;
        if (b64->get(c)) b += c;
    }
    EXPECT_EQ(a, "ABC");
    EXPECT_EQ(b, "Hello");
}

}  // namespace
