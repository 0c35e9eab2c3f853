// The engine locale and the guard that keeps invalid code points away from
// the Unicode library and from callbacks.
#pragma once

#include <locale>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::engine::context {
struct segment_type;
}

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

// Hands text to a callback caller made valid (and NUL-terminated, as every
// std::wstring is); a copy is made only for text that needs mending.
template <class Deliver>
void with_valid(const std::wstring& text, Deliver&& deliver) {
    if (is_valid(text))
        deliver(text);
    else
        deliver(sanitized(text));
}

// The Unicode stages of a bound message. They call ICU directly and give what
// Boost.Locale's ICU back end gives under the engine locale, without its
// per-call set-up. Units that are not scalar values are read as U+FFFD.

// Unicode Normalization Form C.
std::wstring normalize(std::wstring_view text);
// The same in place, which spares text already in NFC (most text) a copy.
void normalize_in_place(std::wstring& text);

// Full default case folding ("Stra\u00DFe" becomes "strasse"; no Turkic rules).
std::wstring fold_case(std::wstring_view text);

// Every word-boundary segment of text in order, words and the white space and
// punctuation between them, each with its boundary rule value (0xF none,
// 0xF0 number, 0xF00 letter, 0xF000 kana, 0xF0000 ideograph). A boundary that
// carries none of these values closes no segment.
std::vector<context::segment_type> index_words(std::wstring_view text);

// Frees the ICU objects the stages above keep between calls (they are made
// again when next needed). Call it before ICU itself is cleaned up.
void release_services() noexcept;

}  // namespace quorvane::engine::locale
