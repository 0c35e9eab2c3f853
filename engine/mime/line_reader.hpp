// The structure pass's view of a message source: lines read forward from
// offset 0 out of large blocks, with the absolute offset of the next byte, so
// the pass never asks the source where it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>
#include <string_view>

namespace quorvane::engine::mime {

class line_reader {
public:
    // Seeks the source to its start; throws std::ios_base::failure when it
    // cannot.
    explicit line_reader(std::streambuf& source);

    std::int64_t position() const noexcept { return base_ + static_cast<std::int64_t>(head_); }

    // One line into `line`, without its line end (CR LF, a lone CR or a lone
    // LF); false at the end of data when nothing was left.
    bool getline(std::string& line);

    // The line at the read position, without its line end and without
    // consuming it; valid until the next read. Empty at the end of data too.
    std::string_view peek_line();

    bool at_end_of_data() { return !available(1); }

    enum class line_kind { end_of_data, text, next_part, closing };

    // Skips one line and tells whether it is a delimiter line of the boundary
    // ("--" and the boundary; "--" right after it closes).
    line_kind scan_line(std::string_view boundary);

    // The offset of the end of data. The reader is done after this.
    std::int64_t end();

    // Bytes the line-end searches have looked at so far. Each byte of the
    // source is looked at about twice, once for each line-end byte, whatever
    // the line ends are.
    std::uint64_t searched() const noexcept { return searched_; }

private:
    static constexpr std::size_t block_size = 64 * 1024;

    // Where the next CR or LF was seen, kept between searches so no byte is
    // looked at twice for one of them: text whose lines end in a bare CR may
    // have its next LF far ahead, and a line that is peeked and then read is
    // searched once. No such byte lies between the read position and the
    // index `at` of buffer_, which holds one when `found`.
    struct next_byte {
        std::size_t at = 0;
        bool found = false;
        // The buffer's bytes moved `by` places to the front.
        void shift(std::size_t by) noexcept {
            if (at >= by)
                at -= by;
            else
                *this = {};
        }
    };

    // The index in buffer_ of the first CR or LF at or after `from`, or tail_.
    std::size_t find_line_end(std::size_t from) noexcept;
    void consume_line_end();
    bool available(std::size_t count);

    std::streambuf& source_;
    // Not cleared when made: only bytes the source delivered are read.
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = block_size;
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    std::int64_t base_ = 0;  // the offset of buffer_[0]
    bool at_end_ = false;
    next_byte next_lf_;
    next_byte next_cr_;
    std::uint64_t searched_ = 0;
};

}  // namespace quorvane::engine::mime
