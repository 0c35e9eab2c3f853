// Plain value types of the MIME reader, shared by the grammars, the part tree
// and the structure pass.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvane::engine::mime {

struct media_type {
    std::string type;
    std::string subtype;
};

// One header field, or one content-type parameter.
struct key_value_type {
    std::string name;
    std::string value;
};

// Header fields in message order, continuation lines joined; repeated names
// all stay.
using header_list_type = std::vector<key_value_type>;

// A byte range [begin, end) of the message source: absolute offsets.
struct window_type {
    std::int64_t begin = 0;
    std::int64_t end = 0;
    constexpr std::int64_t length() const noexcept { return end - begin; }
    friend constexpr bool operator==(const window_type&, const window_type&) = default;
};

namespace grammars {

// The decoder a leaf's content passes through.
enum class content_transfer_encoding_result : std::uint8_t {
    identity = 0,
    quoted_printable = 1,
    base64 = 2,
};

}  // namespace grammars

// The white space of headers: a fixed set, whatever the process locale says.
constexpr bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace quorvane::engine::mime
