#include "line_reader.hpp"

#include <algorithm>
#include <cstring>
#include <ios>

namespace quorvane::engine::mime {

namespace {

// The first c in [first, first + length), or null; counts what was looked at.
const char* search(const char* first, std::size_t length, char c,
                   std::uint64_t& searched) noexcept {
    const auto* found = static_cast<const char*>(std::memchr(first, c, length));
    searched += found != nullptr ? static_cast<std::size_t>(found - first) + 1 : length;
    return found;
}

}  // namespace

line_reader::line_reader(std::streambuf& source)
    : source_(source), buffer_(std::make_unique_for_overwrite<char[]>(block_size)) {
    if (source_.pubseekpos(0, std::ios_base::in) != std::streampos(0))
        throw std::ios_base::failure("bad seek offset");
}

bool line_reader::getline(std::string& line) {
    line.clear();
    if (!available(1)) return false;
    for (;;) {
        const std::size_t stop = find_line_end(head_);
        line.append(buffer_.get() + head_, stop - head_);
        head_ = stop;
        if (stop != tail_) {
            consume_line_end();
            return true;
        }
        if (!available(1)) return true;  // the end of data ends the line
    }
}

std::string_view line_reader::peek_line() {
    std::size_t scanned = 0;
    for (;;) {
        const std::size_t stop = find_line_end(head_ + scanned);
        if (stop != tail_) return {buffer_.get() + head_, stop - head_};
        scanned = tail_ - head_;
        if (!available(scanned + 1))
            return {buffer_.get() + head_, tail_ - head_};  // the end of data ends the line
    }
}

line_reader::line_kind line_reader::scan_line(std::string_view boundary) {
    const std::size_t prefix = boundary.size() + 4;
    available(prefix);
    if (head_ == tail_) return line_kind::end_of_data;
    line_kind kind = line_kind::text;
    const char* const line = buffer_.get() + head_;
    const std::size_t size = tail_ - head_;
    // A boundary never holds a line end, so matching bytes lie inside the line.
    if (size >= boundary.size() + 2 && line[0] == '-' && line[1] == '-' &&
        std::memcmp(line + 2, boundary.data(), boundary.size()) == 0) {
        kind = size >= prefix && line[prefix - 2] == '-' && line[prefix - 1] == '-'
                   ? line_kind::closing
                   : line_kind::next_part;
    }
    for (;;) {
        head_ = find_line_end(head_);
        if (head_ != tail_) {
            consume_line_end();
            return kind;
        }
        if (!available(1)) return kind;
    }
}

std::int64_t line_reader::end() {
    if (at_end_) return base_ + static_cast<std::int64_t>(tail_);
    const std::streampos end = source_.pubseekoff(0, std::ios_base::end, std::ios_base::in);
    if (end == std::streampos(-1)) throw std::ios_base::failure("bad seek offset");
    return end;
}

std::size_t line_reader::find_line_end(std::size_t from) noexcept {
    const char* const data = buffer_.get();
    if (next_lf_.at < from) next_lf_ = {from, false};
    if (!next_lf_.found && next_lf_.at < tail_) {
        if (const char* lf = search(data + next_lf_.at, tail_ - next_lf_.at, '\n', searched_))
            next_lf_ = {static_cast<std::size_t>(lf - data), true};
        else
            next_lf_.at = tail_;
    }
    // A CR ends the line only before the LF does, so its search stops there.
    const std::size_t lf = next_lf_.at;
    if (next_cr_.at < from) next_cr_ = {from, false};
    if (!next_cr_.found && next_cr_.at < lf) {
        if (const char* cr = search(data + next_cr_.at, lf - next_cr_.at, '\r', searched_))
            next_cr_ = {static_cast<std::size_t>(cr - data), true};
        else
            next_cr_.at = lf;
    }
    return std::min(next_cr_.at, lf);
}

// At a CR or LF: consumes it, and the LF after a CR.
void line_reader::consume_line_end() {
    const bool cr = buffer_[head_++] == '\r';
    if (cr && available(1) && buffer_[head_] == '\n') ++head_;
}

// Makes `count` bytes readable at head_ unless the data ends first.
bool line_reader::available(std::size_t count) {
    while (tail_ - head_ < count && !at_end_) {
        if (head_ != 0) {
            std::memmove(buffer_.get(), buffer_.get() + head_, tail_ - head_);
            next_lf_.shift(head_);
            next_cr_.shift(head_);
            base_ += static_cast<std::int64_t>(head_);
            tail_ -= head_;
            head_ = 0;
        }
        if (capacity_ - tail_ < std::max(count, block_size / 2)) {
            const std::size_t larger = std::max(capacity_ * 2, count + block_size);
            auto grown = std::make_unique_for_overwrite<char[]>(larger);
            std::memcpy(grown.get(), buffer_.get(), tail_);
            buffer_ = std::move(grown);
            capacity_ = larger;
        }
        const std::streamsize got =
            source_.sgetn(buffer_.get() + tail_, static_cast<std::streamsize>(capacity_ - tail_));
        // Nothing delivered is the end, so a source that keeps answering with
        // nothing cannot hold the pass in place.
        if (got <= 0)
            at_end_ = true;
        else
            tail_ += static_cast<std::size_t>(got);
    }
    return tail_ - head_ >= count;
}

}  // namespace quorvane::engine::mime
