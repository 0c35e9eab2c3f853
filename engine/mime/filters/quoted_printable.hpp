// Quoted-printable decoding filter. "=" and two hexadecimal digits give one
// byte; "=" before a line end (CR LF, a lone CR or a lone LF) is a soft line
// break; any other "=" stands for itself.
#pragma once

#include <ios>

#include <boost/iostreams/categories.hpp>
#include <boost/iostreams/char_traits.hpp>
#include <boost/iostreams/operations.hpp>

#include "table.hpp"

namespace quorvane::engine::mime::filters {

class quoted_printable {
public:
    using char_type = char;
    struct category : boost::iostreams::input_seekable,
                      boost::iostreams::filter_tag,
                      boost::iostreams::multichar_tag {};

    template <class Source>
    std::streamsize read(Source& source, char* out, std::streamsize count) {
        std::streamsize delivered = 0;
        while (delivered < count) {
            const int c = take(source);
            if (c < 0) break;
            if (c != '=') {
                out[delivered++] = static_cast<char>(c);
                continue;
            }
            const int d = take(source);
            if (d < 0) break;         // "=" at the very end ends the data
            if (d == '\n') continue;  // soft line break of a message stored with LF ends
            if (d == '\r') {
                const int e = take(source);
                if (e < 0) break;
                // After a lone CR the next byte is taken as it is, "=" included.
                if (e != '\n') out[delivered++] = static_cast<char>(e);
                continue;
            }
            if (hex_value(static_cast<unsigned char>(d)) >= 0) {
                const int e = take(source);
                if (e >= 0 && hex_value(static_cast<unsigned char>(e)) >= 0) {
                    out[delivered++] =
                        static_cast<char>(hex_value(static_cast<unsigned char>(d)) * 16 +
                                          hex_value(static_cast<unsigned char>(e)));
                    continue;
                }
                if (e >= 0) pending_[pending_count_++] = e;  // given back after d
            }
            // A lone "=": deliver it and read what follows as ordinary input.
            pending_[pending_count_++] = d;
            out[delivered++] = '=';
        }
        return delivered == 0 && count > 0 ? -1 : delivered;
    }

    // Only a restart is possible: offset 0 from the beginning.
    template <class Device>
    std::streampos seek(Device& next, boost::iostreams::stream_offset offset,
                        std::ios_base::seekdir direction) {
        if (direction != std::ios_base::beg) throw std::ios_base::failure("bad seek direction");
        if (offset != 0) throw std::ios_base::failure("bad seek offset");
        pending_count_ = 0;
        return boost::iostreams::seek(next, 0, std::ios_base::beg);
    }

private:
    // The next input byte, or -1 at the end. Bytes read ahead and given back
    // come first, last given back first.
    template <class Source>
    int take(Source& source) {
        if (pending_count_ > 0) return pending_[--pending_count_];
        const auto c = boost::iostreams::get(source);
        if (c == boost::iostreams::char_traits<char>::eof() ||
            c == boost::iostreams::char_traits<char>::would_block())
            return -1;
        return static_cast<unsigned char>(c);
    }

    int pending_[2] = {};
    int pending_count_ = 0;
};

}  // namespace quorvane::engine::mime::filters
