// The structure pass's line reader: the lines it gives for every kind of line
// end, and the work it does for them, counted in bytes looked at rather than
// timed, so the count holds on any machine.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "mime/line_reader.hpp"

namespace {

using quorvane::engine::mime::line_reader;

struct shape_case {
    const char* name;
    const char* line_end;
    std::size_t header_line;  // bytes of a first line that makes the reader grow its buffer
};

const shape_case shapes[] = {
    {"LF", "\n", 0},
    {"CR LF", "\r\n", 0},
    {"bare CR", "\r", 0},
    {"LF after a long line", "\n", 3'000'000},
    {"CR LF after a long line", "\r\n", 3'000'000},
    {"bare CR after a long line", "\r", 3'000'000},
};

// A multipart-like body of many short lines, with a delimiter now and then.
std::string message_of(const shape_case& shape, std::vector<std::string>& lines) {
    lines.clear();
    if (shape.header_line > 0) lines.emplace_back(shape.header_line, 'h');
    for (int i = 0; i < 200'000; ++i)
        lines.push_back(i % 1000 == 999 ? "--boundary" : "line " + std::to_string(i));
    std::string message;
    for (const std::string& line : lines) message += line + shape.line_end;
    return message;
}

// Each byte is looked at about once for each of the two line-end bytes; a
// search that started again from every line would look at the whole rest of
// the buffer once a line.
void expect_linear(const line_reader& reader, const std::string& message) {
    EXPECT_LE(reader.searched(), 2 * message.size() + 64);
}

TEST(MimeLineReader, ReadsEveryLineEndInLinearWork) {
    std::vector<std::string> lines;
    for (const shape_case& shape : shapes) {
        SCOPED_TRACE(shape.name);
        const std::string message = message_of(shape, lines);
        std::stringbuf source(message);
        line_reader reader(source);
        std::string line;
        std::size_t count = 0;
        while (reader.getline(line)) {
            ASSERT_LT(count, lines.size());
            ASSERT_EQ(line, lines[count]);
            ++count;
        }
        EXPECT_EQ(count, lines.size());
        EXPECT_EQ(reader.position(), static_cast<std::int64_t>(message.size()));
        expect_linear(reader, message);
    }
}

TEST(MimeLineReader, ScansDelimitersInLinearWork) {
    std::vector<std::string> lines;
    for (const shape_case& shape : shapes) {
        SCOPED_TRACE(shape.name);
        const std::string message = message_of(shape, lines);
        std::stringbuf source(message);
        line_reader reader(source);
        // The long line is read the way a part's header block is: peeked first.
        if (shape.header_line > 0) {
            EXPECT_EQ(reader.peek_line().size(), shape.header_line);
            std::string line;
            reader.getline(line);
        }
        std::size_t delimiters = 0, text = 0;
        for (;;) {
            const auto kind = reader.scan_line("boundary");
            if (kind == line_reader::line_kind::end_of_data) break;
            if (kind == line_reader::line_kind::next_part)
                ++delimiters;
            else
                ++text;
        }
        EXPECT_EQ(delimiters, 200u);
        EXPECT_EQ(text, 200'000u - 200u);
        expect_linear(reader, message);
    }
}

TEST(MimeLineReader, PeeksWithoutConsuming) {
    const struct {
        const char* name;
        std::string message;
        std::vector<std::string> lines;
    } cases[] = {
        {"mixed line ends", "a\rb\nc\r\nd", {"a", "b", "c", "d"}},
        {"CR at a block's end",
         std::string(64 * 1024 - 1, 'x') + "\r\ny",
         {std::string(64 * 1024 - 1, 'x'), "y"}},
        {"empty lines", "\r\r\n\n", {"", "", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::stringbuf source(c.message);
        line_reader reader(source);
        std::string line;
        for (const std::string& expected : c.lines) {
            EXPECT_EQ(reader.peek_line(), expected);
            ASSERT_TRUE(reader.getline(line));
            EXPECT_EQ(line, expected);
        }
        EXPECT_TRUE(reader.at_end_of_data());
        EXPECT_FALSE(reader.getline(line));
    }
}

}  // namespace
