// The window over a byte range of the one message source. It keeps no bytes
// of its own: every read seeks the shared source to the window's position, so
// any number of windows may be read in turn.
#pragma once

#include <algorithm>
#include <cstdint>
#include <ios>
#include <istream>

#include <boost/iostreams/categories.hpp>
#include <boost/iostreams/positioning.hpp>

#include "../forward.hpp"
#include "../types.hpp"

namespace quorvane::engine::mime::filters {

class view {
public:
    using char_type = char;
    struct category : boost::iostreams::input_seekable, boost::iostreams::device_tag {};

    view(source_pointer source, window_type window)
        : source_(std::move(source)),
          begin_(window.begin),
          position_(window.begin),
          end_(std::max(window.begin, window.end)) {}

    std::streamsize read(char* out, std::streamsize count) {
        if (position_ >= end_ || count <= 0) return -1;
        std::streambuf& buffer = *source_->rdbuf();
        if (buffer.pubseekpos(position_, std::ios_base::in) != std::streampos(position_))
            throw std::ios_base::failure("bad seek offset");
        const std::streamsize got =
            buffer.sgetn(out, std::min<std::int64_t>(end_ - position_, count));
        if (got <= 0) return -1;
        position_ += got;
        return got;
    }

    // Positions are relative to the window's beginning.
    std::streampos seek(boost::iostreams::stream_offset offset, std::ios_base::seekdir direction) {
        std::int64_t base = 0;
        switch (direction) {
        case std::ios_base::beg:
            base = begin_;
            break;
        case std::ios_base::cur:
            base = position_;
            break;
        case std::ios_base::end:
            base = end_;
            break;
        default:
            throw std::ios_base::failure("bad seek direction");
        }
        if (offset < begin_ - base || offset > end_ - base)
            throw std::ios_base::failure("bad seek offset");
        position_ = base + offset;
        return boost::iostreams::offset_to_position(position_ - begin_);
    }

private:
    source_pointer source_;
    std::int64_t begin_;
    std::int64_t position_;
    std::int64_t end_;
};

}  // namespace quorvane::engine::mime::filters
