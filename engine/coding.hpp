// Conversions between narrow and wide text, and the 8-to-6-bit re-encoding
// that prints digests.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quorvane::engine::coding {

// UTF-8 to wide text; invalid sequences are skipped.
std::wstring to_wide(std::string_view utf8);

// Wide text to UTF-8; units that are not scalar values become U+FFFD.
std::string to_utf8(std::wstring_view wide);

// The text of a message part decoded from its charset.
struct decoded_type {
    std::wstring text;
    // False when the charset was not known; the caller traces it.
    bool charset_known = true;
    // The charset the bytes were read as instead of the named one, or empty.
    std::string_view read_as;
};

// Decodes bytes from the named charset (any name or alias ICU knows, in any
// letter case) to wide text, skipping invalid and unmappable sequences. ICU
// alone converts, so the result does not depend on the system's iconv. Bytes
// in an empty, unknown or unsupported charset, and 8-bit bytes in US-ASCII
// (the charset of a part that names none), are read as UTF-8 when they are
// valid UTF-8, else as windows-1252.
decoded_type decode(std::string_view bytes, std::string_view charset);

namespace detail {

// UTF-8 is read in windows of at most `window` bytes (ICU indexes with 32-bit
// integers); the result never depends on the window. Tests use small ones.
std::wstring to_wide(std::string_view utf8, std::size_t window);
bool is_valid_utf8(std::string_view bytes, std::size_t window);

}  // namespace detail

namespace encode {

// The standard Base64 alphabet of RFC 4648.
inline constexpr std::wstring_view base64_alphabet =
    L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Re-encodes bytes as 6-bit symbols of a 64-character alphabet, most
// significant bits first; the last symbol is padded with zero bits and no "="
// is ever appended (16 bytes give 22 symbols).
std::wstring transform(std::span<const std::uint8_t> bytes,
                       std::wstring_view alphabet = base64_alphabet);

}  // namespace encode

}  // namespace quorvane::engine::coding
