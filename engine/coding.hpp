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
