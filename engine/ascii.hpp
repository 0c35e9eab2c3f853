// ASCII letters without regard to case: the protocol words of mail headers,
// markup and links, which no locale may change.
#pragma once

#include <algorithm>
#include <string_view>

namespace quorvane::engine::ascii {

template <class Char>
constexpr Char lower(Char c) noexcept {
    return c >= Char('A') && c <= Char('Z') ? Char(c - Char('A') + Char('a')) : c;
}

// Whole strings, equal but for the case of ASCII letters.
constexpr bool iequals(std::string_view a, std::string_view b) noexcept {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace quorvane::engine::ascii
