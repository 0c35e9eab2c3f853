#include "coding.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>

#include <boost/locale/encoding_utf.hpp>
#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include "locale.hpp"

namespace quorvane::engine::coding {

namespace {

// ICU's UTF-8 macros index with 32-bit integers. Longer text is read in
// windows of at most this many bytes, each but the last ending four bytes
// early so that no sequence is cut: the next window starts where the last
// sequence read ended.
constexpr std::size_t utf8_window = std::numeric_limits<int32_t>::max();

// Calls read(data, length, stop) for each window: it reads the sequences that
// start before stop (a sequence may run on to length) and returns where it
// stopped, or -1 to end the reading.
template <class Read>
void read_windows(std::string_view bytes, std::size_t window, Read&& read) {
    window = std::max<std::size_t>(window, 8);  // room for a sequence past the stop
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    for (std::size_t done = 0; done < bytes.size();) {
        const std::size_t rest = bytes.size() - done;
        const bool last = rest <= window;
        const auto length = static_cast<int32_t>(last ? rest : window);
        const int32_t stopped = read(data + done, length, last ? length : length - 4);
        if (stopped < 0) return;
        done += static_cast<std::size_t>(stopped);
    }
}

}  // namespace

namespace detail {

// Each maximal ill-formed part is dropped, and only it: the character after a
// truncated sequence survives (Boost.Locale's skip would take it along).
std::wstring to_wide(std::string_view utf8, std::size_t window) {
    std::wstring out(utf8.size(), L'\0');
    std::size_t written = 0;
    constexpr int32_t block = 16;
    read_windows(utf8, window, [&](const std::uint8_t* data, int32_t length, int32_t stop) {
        int32_t i = 0;
        while (i < stop) {
            // ASCII, the usual case, a block at a time: each byte is its character.
            if (length - i >= block) {
                std::uint8_t any_8bit = 0;
                for (int32_t k = 0; k < block; ++k) any_8bit |= data[i + k];
                if ((any_8bit & 0x80) == 0) {
                    for (int32_t k = 0; k < block; ++k)
                        out[written + static_cast<std::size_t>(k)] =
                            static_cast<wchar_t>(data[i + k]);
                    i += block;
                    written += block;
                    continue;
                }
            }
            UChar32 c;
            U8_NEXT(data, i, length, c);
            if (c >= 0) out[written++] = static_cast<wchar_t>(c);
        }
        return i;
    });
    out.resize(written);
    return out;
}

bool is_valid_utf8(std::string_view bytes, std::size_t window) {
    bool valid = true;
    read_windows(bytes, window, [&](const std::uint8_t* data, int32_t length, int32_t stop) {
        int32_t i = 0;
        while (i < stop) {
            UChar32 c;
            U8_NEXT(data, i, length, c);
            if (c < 0) {
                valid = false;
                return -1;
            }
        }
        return i;
    });
    return valid;
}

}  // namespace detail

namespace {

std::wstring decode_utf8(std::string_view utf8) { return detail::to_wide(utf8, utf8_window); }

bool is_valid_utf8(std::string_view bytes) { return detail::is_valid_utf8(bytes, utf8_window); }

}  // namespace

std::wstring to_wide(std::string_view utf8) { return decode_utf8(utf8); }

std::string to_utf8(std::wstring_view wide) {
    // ASCII, the usual case for keys and names, is its own UTF-8.
    if (std::all_of(wide.begin(), wide.end(), [](wchar_t c) { return c >= 0 && c < 0x80; })) {
        std::string narrow(wide.size(), '\0');
        std::transform(wide.begin(), wide.end(), narrow.begin(),
                       [](wchar_t c) { return static_cast<char>(c); });
        return narrow;
    }
    const std::wstring valid = locale::sanitized(wide);
    return boost::locale::conv::utf_to_utf<char>(valid.data(), valid.data() + valid.size(),
                                                 boost::locale::conv::skip);
}

namespace {

struct converter_closer {
    void operator()(UConverter* converter) const noexcept { ucnv_close(converter); }
};
using converter_pointer = std::unique_ptr<UConverter, converter_closer>;

// Labels for which ICU's own choice of table loses text that mail in that
// label carries; these follow the Encoding Standard's decoders instead.
struct label_type {
    const char* label;
    const char* converter;
};
constexpr label_type preferred_converters[] = {
    // ICU's Big5 maps the ETEN extensions (Cyrillic, kana) to private use.
    {"big5", "Big5-HKSCS"},
    {"csbig5", "Big5-HKSCS"},
    {"x-x-big5", "Big5-HKSCS"},
    {"cn-big5", "Big5-HKSCS"},
    // EUC-KR mail is written with Windows' superset, which also has the euro.
    {"euc-kr", "windows-949-2000"},
    {"cseuckr", "windows-949-2000"},
    {"ks_c_5601-1987", "windows-949-2000"},
    {"ks_c_5601-1989", "windows-949-2000"},
    {"ksc5601", "windows-949-2000"},
    {"ksc_5601", "windows-949-2000"},
    {"korean", "windows-949-2000"},
};

const char* converter_for(const std::string& label) {
    for (const auto& preferred : preferred_converters)
        if (ucnv_compareNames(preferred.label, label.c_str()) == 0) return preferred.converter;
    return label.c_str();
}

// ICU's Shift_JIS tables keep IBM's arrangement of three control codes;
// undo it so that 1A, 1C and 7F mean what they mean in ASCII.
bool swaps_controls(const UConverter* converter) {
    UErrorCode status = U_ZERO_ERROR;
    const char* name = ucnv_getName(converter, &status);
    return U_SUCCESS(status) && std::string_view(name).starts_with("ibm-943_");
}

wchar_t unswapped_control(wchar_t c) {
    switch (c) {
    case 0x1C:
        return 0x1A;
    case 0x7F:
        return 0x1C;
    case 0x1A:
        return 0x7F;
    default:
        return c;
    }
}

converter_pointer open_converter(const std::string& name, UErrorCode& status) {
    converter_pointer converter(ucnv_open(converter_for(name), &status));
    if (U_FAILURE(status)) return nullptr;
    // Invalid and unmappable input vanishes.
    ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_SKIP, nullptr, nullptr, nullptr,
                        &status);
    if (U_FAILURE(status)) return nullptr;
    return converter;
}

}  // namespace

namespace {

bool has_8bit(std::string_view bytes) noexcept {
    return std::any_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) != 0; });
}

bool is_us_ascii(const UConverter* converter) {
    UErrorCode status = U_ZERO_ERROR;
    const char* name = ucnv_getName(converter, &status);
    return U_SUCCESS(status) && std::string_view(name) == "US-ASCII";
}

}  // namespace

decoded_type decode(std::string_view bytes, std::string_view charset) {
    decoded_type result;
    UErrorCode status = U_ZERO_ERROR;
    converter_pointer converter;
    // An empty name would give ICU's default converter, and a NUL would cut
    // the name short.
    if (!charset.empty() && charset.find('\0') == std::string_view::npos)
        converter = open_converter(std::string(charset), status);
    if (!converter && status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
    result.charset_known = converter != nullptr;
    // Text in an unknown charset, or 8-bit text that names none (or ASCII),
    // is read the way mail readers guess it, so that no letter is lost.
    if (!converter || (is_us_ascii(converter.get()) && has_8bit(bytes))) {
        if (is_valid_utf8(bytes)) {
            result.read_as = "UTF-8";
            result.text = decode_utf8(bytes);
            return result;
        }
        result.read_as = "windows-1252";
        status = U_ZERO_ERROR;
        converter = open_converter("windows-1252", status);
        if (!converter) {
            if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
            throw std::runtime_error("windows-1252 converter unavailable");
        }
    }

    if (ucnv_getType(converter.get()) == UCNV_UTF8) {
        // The converter's own rules, without the detour through UTF-16.
        result.text = decode_utf8(bytes);
        return result;
    }

    std::wstring& text = result.text;
    // Sized for one character a byte, which is ample for most charsets, and
    // cut to what was written at the end.
    text.resize(bytes.size());
    std::size_t written = 0;
    const char* source = bytes.data();
    const char* const source_end = source + bytes.size();
    char16_t units[4096];
    // A surrogate pair split between two chunks waits for its second half.
    char16_t pending_lead = 0;
    const auto emit = [&](const char16_t* begin, const char16_t* end) {
        const std::size_t needed = written + static_cast<std::size_t>(end - begin);
        if (text.size() < needed) text.resize(std::max(needed, text.size() * 2));
        wchar_t* const out = text.data();
        const char16_t* unit = begin;
        if (!pending_lead) {
            // Up to the first surrogate, one character a unit.
            for (; unit != end && !U16_IS_SURROGATE(*unit); ++unit)
                out[written++] = static_cast<wchar_t>(*unit);
        }
        for (; unit != end; ++unit) {
            if (pending_lead) {
                if (U16_IS_TRAIL(*unit)) {
                    out[written++] =
                        static_cast<wchar_t>(U16_GET_SUPPLEMENTARY(pending_lead, *unit));
                    pending_lead = 0;
                    continue;
                }
                pending_lead = 0;  // a lone half is no character
            }
            if (U16_IS_LEAD(*unit))
                pending_lead = *unit;
            else if (!U16_IS_TRAIL(*unit))
                out[written++] = static_cast<wchar_t>(*unit);
        }
    };
    // The whole input is there, so every call flushes; a full buffer only
    // means the call must be repeated.
    do {
        char16_t* target = units;
        status = U_ZERO_ERROR;
        ucnv_toUnicode(converter.get(), &target, units + std::size(units), &source, source_end,
                       nullptr, true, &status);
        emit(units, target);
    } while (status == U_BUFFER_OVERFLOW_ERROR);
    text.resize(written);
    if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
    if (U_FAILURE(status)) throw std::runtime_error(u_errorName(status));
    if (swaps_controls(converter.get()))
        for (auto& c : result.text) c = unswapped_control(c);
    return result;
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
