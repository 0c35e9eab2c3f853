// One 512-entry table for both decoders: entries 0-255 give the value of a
// hexadecimal digit, entries 256-511 the Base64 value of a byte; -1 elsewhere.
#pragma once

#include <array>
#include <cstdint>

namespace quorvane::engine::mime::filters {

inline constexpr std::array<std::int32_t, 512> decoding_table = [] {
    std::array<std::int32_t, 512> table{};
    table.fill(-1);
    for (int i = 0; i < 10; ++i) table['0' + i] = i;
    for (int i = 0; i < 6; ++i) table['A' + i] = table['a' + i] = 10 + i;
    constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) table[256 + static_cast<unsigned char>(alphabet[i])] = i;
    return table;
}();

constexpr std::int32_t hex_value(unsigned char c) noexcept { return decoding_table[c]; }
constexpr std::int32_t base64_value(unsigned char c) noexcept { return decoding_table[256 + c]; }

}  // namespace quorvane::engine::mime::filters
