#include "coding.hpp"

#include <boost/locale/encoding_utf.hpp>

#include "locale.hpp"

namespace quorvane::engine::coding {

std::wstring to_wide(std::string_view utf8) {
    return boost::locale::conv::utf_to_utf<wchar_t>(utf8.data(), utf8.data() + utf8.size(),
                                                    boost::locale::conv::skip);
}

std::string to_utf8(std::wstring_view wide) {
    const std::wstring valid = locale::sanitized(wide);
    return boost::locale::conv::utf_to_utf<char>(valid.data(), valid.data() + valid.size(),
                                                 boost::locale::conv::skip);
}

namespace encode {

std::wstring transform(std::span<const std::uint8_t> bytes, std::wstring_view alphabet) {
    std::wstring out;
    out.reserve((bytes.size() * 8 + 5) / 6);
    std::uint32_t buffer = 0;
    unsigned bits = 0;
    auto next = bytes.begin();
    for (;;) {
        if (bits < 6) {
            if (next != bytes.end()) {
                buffer = (buffer << 8) | *next++;
                bits += 8;
            } else if (bits == 0) {
                break;
            } else {
                buffer <<= 6 - bits;
                bits = 6;
            }
        }
        bits -= 6;
        out.push_back(alphabet[(buffer >> bits) & 0x3F]);
        buffer &= (1u << bits) - 1;
    }
    return out;
}

}  // namespace encode

}  // namespace quorvane::engine::coding
