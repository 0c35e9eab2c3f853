// Base64 decoding filter. Bytes outside the alphabet (line ends, blanks, "="
// padding, stray characters) are skipped; leftover bits at the end are dropped.
#pragma once

#include <algorithm>
#include <array>
#include <ios>

#include <boost/iostreams/categories.hpp>
#include <boost/iostreams/operations.hpp>

#include "table.hpp"

namespace quorvane::engine::mime::filters {

class base64 {
public:
    using char_type = char;
    struct category : boost::iostreams::input_seekable,
                      boost::iostreams::filter_tag,
                      boost::iostreams::multichar_tag {};

    template <class Source>
    std::streamsize read(Source& source, char* out, std::streamsize count) {
        std::streamsize delivered = 0;
        std::array<char, 4096> block;
        while (delivered < count) {
            // Never pull more symbols than the free space can take, so no
            // decoded byte has to wait for the next call.
            const std::streamsize wanted = ((count - delivered) * 8 - bit_count_ + 5) / 6;
            const std::streamsize got = boost::iostreams::read(
                source, block.data(), std::min<std::streamsize>(wanted, block.size()));
            if (got <= 0) break;
            for (std::streamsize i = 0; i < got; ++i) {
                const std::int32_t value = base64_value(static_cast<unsigned char>(block[i]));
                if (value < 0) continue;
                accumulator_ = ((accumulator_ << 6) | value) & 0x3FFF;  // 13 bits are ever needed
                bit_count_ += 6;
                if (bit_count_ >= 8) {
                    bit_count_ -= 8;
                    out[delivered++] = static_cast<char>(accumulator_ >> bit_count_);
                }
            }
        }
        return delivered == 0 && count > 0 ? -1 : delivered;
    }

    // Only a restart is possible: offset 0 from the beginning.
    template <class Device>
    std::streampos seek(Device& next, boost::iostreams::stream_offset offset,
                        std::ios_base::seekdir direction) {
        if (direction != std::ios_base::beg) throw std::ios_base::failure("bad seek direction");
        if (offset != 0) throw std::ios_base::failure("bad seek offset");
        bit_count_ = 0;
        accumulator_ = 0;
        return boost::iostreams::seek(next, 0, std::ios_base::beg);
    }

private:
    int bit_count_ = 0;
    int accumulator_ = 0;
};

}  // namespace quorvane::engine::mime::filters
