#include "locale.hpp"

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>

#include <boost/locale/generator.hpp>
#include <boost/locale/info.hpp>
#include <boost/locale/localization_backend.hpp>
#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/ubrk.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include "ascii.hpp"
#include "context/context.hpp"
#include "lasting.hpp"

namespace quorvane::engine::locale {

namespace {

const std::locale& engine_locale() {
    static const std::locale& instance = lasting::make<const std::locale>([] {
        auto manager = boost::locale::localization_backend_manager::global();
        manager.select("icu");
        boost::locale::generator generator(manager);
        return generator("en_US.UTF-8");
    }());
    return instance;
}

// The same language and country for the ICU services called directly.
const icu::Locale& engine_icu_locale() {
    static const icu::Locale& instance = lasting::make<const icu::Locale>([] {
        const auto& info = std::use_facet<boost::locale::info>(engine_locale());
        return icu::Locale(info.language().c_str(), info.country().c_str(), info.variant().c_str());
    }());
    return instance;
}

}  // namespace

std::locale generate() { return engine_locale(); }

namespace {

// Text is checked in blocks of a fixed size, without branches inside a block,
// so that the compiler tests many units at once: these checks run over every
// text a message yields.
constexpr std::size_t block = 16;

bool block_below(const wchar_t* units, std::uint32_t limit) noexcept {
    std::uint32_t above = 0;
    for (std::size_t i = 0; i < block; ++i) above |= static_cast<std::uint32_t>(units[i]) >= limit;
    return above == 0;
}

bool all_below(std::wstring_view text, std::uint32_t limit) noexcept {
    std::size_t at = 0;
    for (; text.size() - at >= block; at += block)
        if (!block_below(text.data() + at, limit)) return false;
    for (; at < text.size(); ++at)
        if (static_cast<std::uint32_t>(text[at]) >= limit) return false;
    return true;
}

constexpr std::uint32_t invalid_unit(wchar_t unit) noexcept {
    const auto value = static_cast<std::uint32_t>(unit);
    return static_cast<std::uint32_t>(value - 0xD800u < 0x800u) |
           static_cast<std::uint32_t>(value > 0x10FFFFu);
}

}  // namespace

bool is_valid(std::wstring_view text) noexcept {
    const wchar_t* unit = text.data();
    std::size_t left = text.size();
    std::uint32_t invalid = 0;
    for (; left >= block; left -= block, unit += block)
        for (std::size_t i = 0; i < block; ++i) invalid |= invalid_unit(unit[i]);
    for (; left > 0; --left, ++unit) invalid |= invalid_unit(*unit);
    return invalid == 0;
}

std::wstring& sanitize(std::wstring& text) noexcept {
    if (is_valid(text)) return text;  // the usual case, checked many units at once
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

UChar32 scalar(wchar_t unit) {
    return is_scalar_value(unit) ? static_cast<UChar32>(unit) : replacement_character;
}

// UTF-32 to ICU's UTF-16; units that are not scalar values become U+FFFD.
icu::UnicodeString to_icu(std::wstring_view text) {
    std::size_t beyond_bmp = 0;
    for (const wchar_t unit : text) beyond_bmp += static_cast<char32_t>(unit) > 0xFFFF;
    // ICU's strings count in 32-bit integers: a longer text is refused
    // rather than cut.
    if (text.size() + beyond_bmp > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
        throw std::length_error("text too long for the Unicode library");
    const auto length = static_cast<int32_t>(text.size() + beyond_bmp);
    icu::UnicodeString out;
    char16_t* buffer = out.getBuffer(length);
    if (!buffer) throw std::bad_alloc();
    if (beyond_bmp == 0) {
        // One unit each; only lone surrogates need replacing.
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto unit = static_cast<char16_t>(text[i]);
            buffer[i] = U16_IS_SURROGATE(unit) ? char16_t{replacement_character} : unit;
        }
        out.releaseBuffer(length);
        return out;
    }
    int32_t written = 0;
    for (const wchar_t unit : text) U16_APPEND_UNSAFE(buffer, written, scalar(unit));
    out.releaseBuffer(written);
    return out;
}

std::wstring from_icu(const icu::UnicodeString& text) {
    const char16_t* units = text.getBuffer();
    const int32_t length = text.length();
    std::wstring out(static_cast<std::size_t>(length), L'\0');
    std::size_t written = 0;
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U16_NEXT(units, i, length, c);
        out[written++] = static_cast<wchar_t>(c);
    }
    out.resize(written);
    return out;
}

// The quick check of UAX #15 answering yes: no character that may change
// under NFC and no combining marks out of canonical order.
bool is_nfc(std::wstring_view text) {
    std::uint8_t last_class = 0;
    for (std::size_t at = 0; at < text.size();) {
        // Blocks below U+0300, the usual case, pass at once.
        if (text.size() - at >= block && block_below(text.data() + at, 0x300)) {
            at += block;
            last_class = 0;
            continue;
        }
        const wchar_t unit = text[at++];
        if (static_cast<char32_t>(unit) < 0x300) {
            last_class = 0;
            continue;
        }
        const UChar32 c = scalar(unit);
        const std::uint8_t combining_class = u_getCombiningClass(c);
        if (combining_class != 0 && last_class > combining_class) return false;
        if (u_getIntPropertyValue(c, UCHAR_NFC_QUICK_CHECK) != UNORM_YES) return false;
        last_class = combining_class;
    }
    return true;
}

// Full case folding differs from the simple one-to-one folding only for the
// few characters that fold to several (ß, ŉ, ﬁ ...): those are kept here with
// their full folding, found once among the characters that any case mapping
// changes (some, like U+01F0, fold to their own decomposition).
struct full_foldings_type {
    std::map<UChar32, std::wstring> specials;
    // Which code points below 0x10000 are keys of specials, for a quick no.
    std::bitset<0x10000> special_bmp;
    bool any_beyond_bmp = false;

    const std::wstring* find(UChar32 c) const {
        if (c < 0x10000 ? !special_bmp[static_cast<std::size_t>(c)] : !any_beyond_bmp)
            return nullptr;
        const auto found = specials.find(c);
        return found == specials.end() ? nullptr : &found->second;
    }
};

const full_foldings_type& full_foldings() {
    static const full_foldings_type& table = lasting::make<const full_foldings_type>([] {
        full_foldings_type foldings;
        auto& specials = foldings.specials;
        UErrorCode status = U_ZERO_ERROR;
        icu::UnicodeSet changing, folding;
        changing.applyIntPropertyValue(UCHAR_CHANGES_WHEN_CASEMAPPED, 1, status);
        folding.applyIntPropertyValue(UCHAR_CHANGES_WHEN_CASEFOLDED, 1, status);
        if (U_FAILURE(status)) throw std::runtime_error("case folding data unavailable");
        changing.addAll(folding);
        for (int32_t range = 0; range < changing.getRangeCount(); ++range)
            for (UChar32 c = changing.getRangeStart(range); c <= changing.getRangeEnd(range); ++c) {
                icu::UnicodeString folded(c);
                folded.foldCase(U_FOLD_CASE_DEFAULT);
                if (folded != icu::UnicodeString(u_foldCase(c, U_FOLD_CASE_DEFAULT)))
                    specials.emplace(c, from_icu(folded));
            }
        for (const auto& special : specials) {
            const UChar32 c = special.first;
            if (c < 0x10000)
                foldings.special_bmp.set(static_cast<std::size_t>(c));
            else
                foldings.any_beyond_bmp = true;
        }
        return foldings;
    }());
    return table;
}

[[noreturn]] void fail(UErrorCode status, const char* what) {
    if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
    throw std::runtime_error(std::string(what) + ": " + u_errorName(status));
}

inline void check(UErrorCode status, const char* what) {
    if (U_FAILURE(status)) [[unlikely]]
        fail(status, what);
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

// Building a word iterator from ICU's rules costs microseconds; a clone of one
// built before costs a fraction of that. The prototype is ICU data, so it
// goes before ICU is cleaned up.
std::mutex word_prototype_mutex;
std::unique_ptr<icu::BreakIterator>& word_prototype =
    lasting::make<std::unique_ptr<icu::BreakIterator>>();

std::unique_ptr<icu::BreakIterator> new_word_iterator() {
    std::lock_guard lock(word_prototype_mutex);
    if (!word_prototype) {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> made(
            icu::BreakIterator::createWordInstance(engine_icu_locale(), status));
        check(status, "word boundaries");
        if (!made) throw std::bad_alloc();
        word_prototype = std::move(made);
    }
    std::unique_ptr<icu::BreakIterator> copy(word_prototype->clone());
    if (!copy) throw std::bad_alloc();
    return copy;
}

// Word boundaries of ASCII text, which is most text, found without ICU: the
// boundary rules as ICU's word rules apply them to ASCII characters (where
// "@" is a letter and ":" separates), with the rule value of the rule that
// ended each segment.
enum class ascii_break : std::uint8_t {
    other,
    letter,
    numeric,
    mid_num_let,
    mid_num,
    extend_num_let,
    space,
    cr,
    lf
};

constexpr std::array<ascii_break, 128> ascii_break_classes = [] {
    std::array<ascii_break, 128> classes{};
    for (int c = 'a'; c <= 'z'; ++c) classes[c] = classes[c - 'a' + 'A'] = ascii_break::letter;
    classes['@'] = ascii_break::letter;
    for (int c = '0'; c <= '9'; ++c) classes[c] = ascii_break::numeric;
    classes['.'] = classes['\''] = ascii_break::mid_num_let;
    classes[','] = classes[';'] = ascii_break::mid_num;
    classes['_'] = ascii_break::extend_num_let;
    classes[' '] = ascii_break::space;
    classes['\r'] = ascii_break::cr;
    classes['\n'] = ascii_break::lf;
    return classes;
}();

// Offsets fit: index_words takes no text longer than 32 bits can index.
context::segment_type make_segment(std::size_t offset, std::size_t length,
                                   std::uint32_t rule) noexcept {
    return {static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(length), rule};
}

constexpr std::uint32_t letter_rule = 0xF00;
constexpr std::uint32_t number_rule = 0xF0;

// Appends the segments of text[begin, end), all ASCII.
void index_ascii_words(std::wstring_view text, std::size_t begin, std::size_t end,
                       std::vector<context::segment_type>& index) {
    const std::size_t size = end;
    const auto class_at = [&](std::size_t at) {
        return ascii_break_classes[static_cast<std::size_t>(text[at])];
    };
    for (std::size_t at = begin; at < size;) {
        const std::size_t segment = at;
        const ascii_break first = class_at(at++);
        std::uint32_t rule = context::no_word_rule;
        switch (first) {
        case ascii_break::space:
            while (at < size && class_at(at) == ascii_break::space) ++at;
            break;
        case ascii_break::cr:
            if (at < size && class_at(at) == ascii_break::lf) ++at;
            break;
        case ascii_break::letter:
        case ascii_break::numeric:
        case ascii_break::extend_num_let: {
            rule = first == ascii_break::letter    ? letter_rule
                   : first == ascii_break::numeric ? number_rule
                                                   : context::no_word_rule;
            ascii_break last = first;
            while (at < size) {
                const ascii_break next = class_at(at);
                if (next == last && next != ascii_break::extend_num_let) {
                    // More of the same letters or digits, the usual case.
                    while (++at < size && class_at(at) == next) {
                    }
                    continue;
                }
                if (next == ascii_break::letter || next == ascii_break::numeric) {
                    rule = next == ascii_break::letter ? letter_rule : number_rule;
                } else if (next == ascii_break::extend_num_let) {
                    rule = last == ascii_break::numeric ? number_rule : letter_rule;
                } else if ((next == ascii_break::mid_num_let || next == ascii_break::mid_num) &&
                           at + 1 < size && class_at(at + 1) == last &&
                           (last == ascii_break::numeric ||
                            (last == ascii_break::letter && next == ascii_break::mid_num_let))) {
                    // A letter or number joined across one middle character.
                    at += 2;
                    continue;
                } else {
                    break;
                }
                last = next;
                ++at;
            }
            break;
        }
        default:
            break;
        }
        index.push_back(make_segment(segment, at - segment, rule));
    }
}

}  // namespace

void release_services() noexcept {
    std::lock_guard lock(word_prototype_mutex);
    word_prototype.reset();
}

std::wstring normalize(std::wstring_view text) {
    if (is_nfc(text)) return sanitized(text);
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    check(status, "NFC");
    const icu::UnicodeString result = nfc->normalize(to_icu(text), status);
    check(status, "NFC");
    return from_icu(result);
}

void normalize_in_place(std::wstring& text) {
    if (is_nfc(text))
        sanitize(text);
    else
        text = normalize(text);
}

std::wstring fold_case(std::wstring_view text) {
    // Folding maps each character on its own, so it needs no UTF-16 copy.
    const auto& specials = full_foldings();
    // One character each but for the few specials, whose extra length is
    // counted first: the result is made once at its size, not grown.
    std::size_t size = text.size();
    for (std::size_t at = 0; at < text.size();) {
        if (text.size() - at >= block && block_below(text.data() + at, 0x80)) {
            at += block;
            continue;
        }
        const wchar_t unit = text[at++];
        if (unit >= 0 && unit < 0x80) continue;
        if (const std::wstring* special = specials.find(scalar(unit))) size += special->size() - 1;
    }
    std::wstring out(size, L'\0');
    std::size_t written = 0;
    for (std::size_t at = 0; at < text.size();) {
        // Blocks of ASCII, the usual case, without branches per character.
        if (text.size() - at >= block && block_below(text.data() + at, 0x80)) {
            for (std::size_t i = 0; i < block; ++i) {
                const auto c = static_cast<std::uint32_t>(text[at + i]);
                out[written + i] =
                    static_cast<wchar_t>(c + (static_cast<std::uint32_t>(c - 'A' < 26u) << 5));
            }
            at += block;
            written += block;
            continue;
        }
        const wchar_t unit = text[at++];
        if (unit >= 0 && unit < 0x80) {
            out[written++] = ascii::lower(unit);
            continue;
        }
        const UChar32 c = scalar(unit);
        if (const std::wstring* special = specials.find(c)) {
            std::copy(special->begin(), special->end(),
                      out.begin() + static_cast<std::ptrdiff_t>(written));
            written += special->size();
        } else {
            out[written++] = static_cast<wchar_t>(u_foldCase(c, U_FOLD_CASE_DEFAULT));
        }
    }
    return out;
}

namespace {

// Appends the segments of text[begin, end) as ICU finds them, at their
// offsets in text.
void index_icu_words(icu::BreakIterator& words, std::wstring_view text, std::size_t begin,
                     std::size_t end, std::vector<context::segment_type>& index) {
    const std::wstring_view region = text.substr(begin, end - begin);
    const icu::UnicodeString source = to_icu(region);
    words.setText(source);
    const char16_t* units = source.getBuffer();
    const int32_t length = source.length();
    // Without surrogate pairs, UTF-16 offsets are character offsets.
    const bool one_unit_each = static_cast<std::size_t>(length) == region.size();
    int32_t unit_offset = 0;
    std::size_t offset = 0;
    std::size_t segment_begin = 0;
    int32_t few_statuses[8];
    std::vector<int32_t> many_statuses;
    for (int32_t boundary = words.next(); boundary != icu::BreakIterator::DONE;
         boundary = words.next()) {
        if (one_unit_each) {
            offset = static_cast<std::size_t>(boundary);
        } else {
            while (unit_offset < boundary) {
                U16_FWD_1(units, unit_offset, length);
                ++offset;
            }
        }
        UErrorCode status = U_ZERO_ERROR;
        const int32_t* statuses = few_statuses;
        int32_t count = words.getRuleStatusVec(few_statuses, std::size(few_statuses), status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            many_statuses.resize(static_cast<std::size_t>(count));
            status = U_ZERO_ERROR;
            count = words.getRuleStatusVec(many_statuses.data(), count, status);
            statuses = many_statuses.data();
        }
        check(status, "word boundaries");
        std::uint32_t rule = 0;
        for (int32_t i = 0; i < count; ++i) rule |= word_rule(statuses[i]);
        if (rule != 0)
            index.push_back(make_segment(begin + segment_begin, offset - segment_begin, rule));
        segment_begin = offset;
    }
}

// Where an ASCII space follows another ASCII character, a segment always
// ends, whatever the text around it, and the segments after it do not depend
// on what came before: there the text is cut into regions, and ICU sees only
// the regions with other characters.
bool is_certain_boundary(std::wstring_view text, std::size_t at) noexcept {
    return text[at] == L' ' && text[at - 1] != L' ' &&
           static_cast<std::uint32_t>(text[at - 1]) < 0x80u;
}

}  // namespace

std::vector<context::segment_type> index_words(std::wstring_view text) {
    std::vector<context::segment_type> index;
    if (text.empty()) return index;
    if (text.size() > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("text too long for the word index");
    // Room for the densest usual text; what a long text leaves of it goes
    // back, so that it does not stay out of use as long as the message.
    index.reserve(text.size() / 3 + 1);
    const auto fitted = [&index]() -> std::vector<context::segment_type>& {
        if ((index.capacity() - index.size()) * sizeof(context::segment_type) >= 16 * 1024)
            index.shrink_to_fit();
        return index;
    };
    if (all_below(text, 0x80)) {
        index_ascii_words(text, 0, text.size(), index);
        return std::move(fitted());
    }
    std::unique_ptr<icu::BreakIterator> words;  // made for the first region that needs it
    std::size_t region = 0;                     // the region not yet indexed begins here
    bool region_ascii = true;
    const auto index_region = [&](std::size_t end) {
        if (region_ascii) {
            index_ascii_words(text, region, end, index);
        } else {
            if (!words) words = new_word_iterator();
            index_icu_words(*words, text, region, end, index);
        }
        region = end;
    };
    // Pieces run from one certain boundary to the next; neighbours of a kind
    // share a region.
    std::size_t piece = 0;
    bool piece_ascii = true;
    for (std::size_t at = 0; at <= text.size(); ++at) {
        if (at == text.size() || (at > 0 && is_certain_boundary(text, at))) {
            if (piece == region)
                region_ascii = piece_ascii;
            else if (piece_ascii != region_ascii) {
                index_region(piece);
                region_ascii = piece_ascii;
            }
            piece = at;
            piece_ascii = true;
        }
        if (at < text.size() && static_cast<std::uint32_t>(text[at]) >= 0x80u) piece_ascii = false;
    }
    index_region(text.size());
    return std::move(fitted());
}

}  // namespace quorvane::engine::locale
