#include "locale.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>

#include <boost/locale/generator.hpp>
#include <boost/locale/localization_backend.hpp>
#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/ubrk.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include "context/context.hpp"

namespace quorvane::engine::locale {

namespace {

const std::locale& engine_locale() {
    static const std::locale instance = [] {
        auto manager = boost::locale::localization_backend_manager::global();
        manager.select("icu");
        boost::locale::generator generator(manager);
        return generator("en_US.UTF-8");
    }();
    return instance;
}

}  // namespace

std::locale generate() { return engine_locale(); }

bool is_valid(std::wstring_view text) noexcept {
    return std::all_of(text.begin(), text.end(), is_scalar_value);
}

std::wstring& sanitize(std::wstring& text) noexcept {
    std::replace_if(
        text.begin(), text.end(), [](wchar_t c) { return !is_scalar_value(c); },
        replacement_character);
    return text;
}

std::wstring sanitized(std::wstring_view text) {
    std::wstring copy(text);
    sanitize(copy);
    return copy;
}

namespace {

// UTF-32 to ICU's UTF-16; units that are not scalar values become U+FFFD.
icu::UnicodeString to_icu(std::wstring_view text) {
    icu::UnicodeString out;
    const auto capacity = static_cast<int32_t>(text.size() * 2);
    char16_t* buffer = out.getBuffer(capacity);
    if (!buffer) throw std::bad_alloc();
    int32_t length = 0;
    for (const wchar_t unit : text) {
        const auto c = is_scalar_value(unit) ? static_cast<UChar32>(unit) : replacement_character;
        U16_APPEND_UNSAFE(buffer, length, c);
    }
    out.releaseBuffer(length);
    return out;
}

std::wstring from_icu(const icu::UnicodeString& text) {
    std::wstring out;
    out.reserve(static_cast<std::size_t>(text.length()));
    const char16_t* buffer = text.getBuffer();
    const int32_t length = text.length();
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U16_NEXT(buffer, i, length, c);
        out.push_back(static_cast<wchar_t>(c));
    }
    return out;
}

void check(UErrorCode status, const char* what) {
    if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
    if (U_FAILURE(status))
        throw std::runtime_error(std::string(what) + ": " + u_errorName(status));
}

bool all_below(std::wstring_view text, char32_t limit) {
    return std::all_of(text.begin(), text.end(),
                       [limit](wchar_t c) { return static_cast<char32_t>(c) < limit; });
}

// Boost.Locale's word rule masks for ICU's rule status ranges.
std::uint32_t word_rule(int32_t status) {
    if (status >= UBRK_WORD_NONE && status < UBRK_WORD_NONE_LIMIT) return 0xF;
    if (status >= UBRK_WORD_NUMBER && status < UBRK_WORD_NUMBER_LIMIT) return 0xF0;
    if (status >= UBRK_WORD_LETTER && status < UBRK_WORD_LETTER_LIMIT) return 0xF00;
    if (status >= UBRK_WORD_KANA && status < UBRK_WORD_KANA_LIMIT) return 0xF000;
    if (status >= UBRK_WORD_IDEO && status < UBRK_WORD_IDEO_LIMIT) return 0xF0000;
    return 0;
}

}  // namespace

std::wstring normalize(std::wstring_view text) {
    // Nothing below U+0300 changes under NFC.
    if (all_below(text, 0x300)) return std::wstring(text);
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    check(status, "NFC");
    const icu::UnicodeString source = to_icu(text);
    if (nfc->isNormalized(source, status) && U_SUCCESS(status)) return from_icu(source);
    status = U_ZERO_ERROR;
    const icu::UnicodeString result = nfc->normalize(source, status);
    check(status, "NFC");
    return from_icu(result);
}

std::wstring fold_case(std::wstring_view text) {
    if (all_below(text, 0x80)) {
        std::wstring out(text);
        for (auto& c : out)
            if (c >= L'A' && c <= L'Z') c += L'a' - L'A';
        return out;
    }
    icu::UnicodeString folded = to_icu(text);
    folded.foldCase(U_FOLD_CASE_DEFAULT);
    if (folded.isBogus()) throw std::bad_alloc();
    return from_icu(folded);
}

std::vector<context::segment_type> index_words(std::wstring_view text) {
    std::vector<context::segment_type> index;
    if (text.empty()) return index;
    UErrorCode status = U_ZERO_ERROR;
    // The ICU locale behind the engine locale's name.
    const std::unique_ptr<icu::BreakIterator> words(
        icu::BreakIterator::createWordInstance(icu::Locale("en_US"), status));
    check(status, "word boundaries");
    const icu::UnicodeString source = to_icu(text);
    words->setText(source);
    const char16_t* units = source.getBuffer();
    const int32_t length = source.length();
    int32_t unit_offset = 0;
    std::size_t offset = 0;
    std::size_t segment_begin = 0;
    std::vector<int32_t> statuses(8);
    for (int32_t boundary = words->next(); boundary != icu::BreakIterator::DONE;
         boundary = words->next()) {
        while (unit_offset < boundary) {
            U16_FWD_1(units, unit_offset, length);
            ++offset;
        }
        status = U_ZERO_ERROR;
        int32_t count = words->getRuleStatusVec(statuses.data(), static_cast<int32_t>(statuses.size()), status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            statuses.resize(static_cast<std::size_t>(count));
            status = U_ZERO_ERROR;
            count = words->getRuleStatusVec(statuses.data(), count, status);
        }
        check(status, "word boundaries");
        std::uint32_t rule = 0;
        for (int32_t i = 0; i < count; ++i) rule |= word_rule(statuses[static_cast<std::size_t>(i)]);
        if (rule != 0) index.push_back({segment_begin, offset - segment_begin, rule});
        segment_begin = offset;
    }
    return index;
}

}  // namespace quorvane::engine::locale
