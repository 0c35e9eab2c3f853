// The engine locale and the guard that keeps invalid code points away from
// the Unicode library and from callbacks.
#pragma once

#include <locale>
#include <string>
#include <string_view>

namespace quorvane::engine::locale {

// The locale every text operation uses: Boost.Locale's ICU back end under a
// fixed name, generated once, so results never depend on the process's LANG.
std::locale generate();

inline constexpr wchar_t replacement_character = 0xFFFD;

// A wchar_t that is a Unicode scalar value (not a surrogate, not above
// 10FFFF, not negative).
constexpr bool is_scalar_value(wchar_t c) noexcept {
    const auto value = static_cast<char32_t>(c);
    return value < 0xD800 || (value > 0xDFFF && value <= 0x10FFFF);
}

bool is_valid(std::wstring_view text) noexcept;

// Replaces every code unit that is not a scalar value with U+FFFD. Call it
// before text reaches Boost.Locale or ICU (which throw on such units) and
// before text is handed to a callback.
std::wstring& sanitize(std::wstring& text) noexcept;
std::wstring sanitized(std::wstring_view text);

}  // namespace quorvane::engine::locale
