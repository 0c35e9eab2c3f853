#include "normalize.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include <boost/container/small_vector.hpp>

#include "../ascii.hpp"
#include "../coding.hpp"
#include "../locale.hpp"
#include "../lasting.hpp"

namespace quorvane::engine::uri {

namespace grammars {

namespace {

// Host labels, address octets and path segments together: the key keeps at
// most this many, so links that differ only deep in the path share a key.
constexpr unsigned max_components = 5;
constexpr std::size_t max_items = 64;
constexpr std::uint32_t max_port = 65535;

constexpr bool is_digit(wchar_t c) noexcept { return c >= L'0' && c <= L'9'; }

constexpr bool is_letter_or_digit(wchar_t c) noexcept {
    return is_digit(c) || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

constexpr int hex_value(wchar_t c) noexcept {
    if (is_digit(c)) return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// A set of ASCII characters as a bit mask: links are read a character at a
// time, and a search of the set for each would cost more than the rest.
class ascii_set {
public:
    constexpr explicit ascii_set(std::wstring_view members) {
        for (const wchar_t c : members)
            bits_[static_cast<std::size_t>(c) >> 6] |= std::uint64_t{1} << (c & 63);
    }
    constexpr bool contains(wchar_t c) const noexcept {
        return c >= 0 && c < 128 &&
               ((bits_[static_cast<std::size_t>(c) >> 6] >> (c & 63)) & 1) != 0;
    }

private:
    std::array<std::uint64_t, 2> bits_{};
};

constexpr ascii_set sub_delimiters{L"!$&'()*+,;="};
constexpr ascii_set label_marks{L"-_~"};
constexpr ascii_set segment_marks{L"-._~:@"};

// A recursive-descent reading of the grammar over one link. Every rule either
// matches and moves the position, or fails and leaves it where it was.
class reader {
public:
    reader(std::wstring_view text, unsigned& counter) : text_(text), counter_(counter) {}

    bool uri(std::wstring& key) {
        if (!scheme() || !literal(L':')) return false;
        for (int slash = 0; slash < 2 && literal(L'/'); ++slash) {
        }
        if (!authority(key)) return false;
        path(key);
        return true;
    }

private:
    bool at_end() const noexcept { return at_ >= text_.size(); }
    wchar_t peek(std::size_t ahead = 0) const noexcept {
        return at_ + ahead < text_.size() ? text_[at_ + ahead] : L'\0';
    }
    bool literal(wchar_t c) {
        if (at_end() || text_[at_] != c) return false;
        ++at_;
        return true;
    }

    bool scheme() {
        // Longest first: "https" must not stop at "http".
        for (std::wstring_view name : {L"https", L"http", L"ftp"}) {
            if (text_.size() - at_ < name.size()) continue;
            bool same = true;
            for (std::size_t i = 0; i < name.size() && same; ++i) {
                const wchar_t c = text_[at_ + i];
                same = ascii::lower(c) == name[i];
            }
            if (same) {
                at_ += name.size();
                return true;
            }
        }
        return false;
    }

    // One or more "%" escapes; their low bytes decode together as UTF-8.
    bool escape_run(std::wstring* out) {
        std::string bytes;
        for (;;) {
            std::size_t next = at_;
            if (next >= text_.size() || text_[next] != L'%') break;
            ++next;
            std::uint64_t value = 0;
            std::size_t digits = 0;
            bool fits = true;
            for (int digit; next < text_.size() && (digit = hex_value(text_[next])) >= 0; ++next) {
                ++digits;
                if (fits) value = value * 16 + static_cast<unsigned>(digit);
                fits = fits && value <= 0xFFFFFFFFu;
            }
            if (digits == 0 || !fits) break;
            bytes.push_back(static_cast<char>(value & 0xFF));
            at_ = next;
        }
        if (bytes.empty()) return false;
        if (out != nullptr) *out += transform_grammar::utf8_to_wstring(bytes);
        return true;
    }

    bool authority(std::wstring& key) {
        const std::size_t start = at_;
        if (!(user_information() && literal(L'@'))) at_ = start;
        if (!ipv4_address(key) && !registered_name(key)) return false;
        port(key);
        return true;
    }

    bool user_information() {
        for (;;) {
            const wchar_t c = peek();
            if (!at_end() && (is_letter_or_digit(c) || sub_delimiters.contains(c) || c == L':'))
                ++at_;
            else if (!escape_run(nullptr))
                return true;
        }
    }

    bool ipv4_address(std::wstring& key) {
        const std::size_t start = at_;
        const std::size_t written = key.size();
        for (int octet = 0; octet < 4; ++octet) {
            if ((octet > 0 && !literal(L'.')) || !decimal_octet(key)) {
                at_ = start;  // octets read so far stay counted
                key.resize(written);
                return false;
            }
            if (octet < 3) key.push_back(L'.');
        }
        return true;
    }

    bool decimal_octet(std::wstring& out) {
        unsigned value = 0;
        std::size_t digits = 0;
        while (digits < 3 && is_digit(peek()) && value * 10 + (peek() - L'0') <= 255) {
            value = value * 10 + (peek() - L'0');
            out.push_back(text_[at_++]);
            ++digits;
        }
        if (digits == 0) return false;
        ++counter_;
        return true;
    }

    // The labels are written in their order, then the whole name is
    // reversed and each label turned back. Their lengths are kept, since an
    // escape may decode to a ".".
    bool registered_name(std::wstring& key) {
        const std::size_t start = key.size();
        boost::container::small_vector<std::size_t, 8> lengths;
        if (!label(key)) return false;
        lengths.push_back(key.size() - start);
        for (;;) {
            const std::size_t dot = at_;
            key.push_back(L'.');
            const std::size_t label_start = key.size();
            if (!literal(L'.') || !label(key)) {
                at_ = dot;
                key.pop_back();
                break;
            }
            lengths.push_back(key.size() - label_start);
        }
        const auto name = key.begin() + static_cast<std::ptrdiff_t>(start);
        std::reverse(name, key.end());
        auto label_begin = name;
        for (auto length = lengths.rbegin(); length != lengths.rend(); ++length) {
            const auto label_end = label_begin + static_cast<std::ptrdiff_t>(*length);
            std::reverse(label_begin, label_end);
            label_begin = label_end + 1;  // past the dot
        }
        return true;
    }

    bool label(std::wstring& out) {
        std::size_t items = 0;
        for (; items < max_items; ++items) {
            const wchar_t c = peek();
            if (!at_end() && (is_letter_or_digit(c) || label_marks.contains(c)))
                out.push_back(text_[at_++]);
            else if (!escape_run(&out))
                break;
        }
        if (items == 0) return false;
        ++counter_;
        return true;
    }

    // The port becomes one character whose code is its number.
    void port(std::wstring& key) {
        if (peek() != L':' || !is_digit(peek(1))) return;
        ++at_;
        std::uint32_t value = 0;
        for (std::size_t digits = 0;
             digits < 5 && is_digit(peek()) && value * 10 + (peek() - L'0') <= max_port; ++digits)
            value = value * 10 + (text_[at_++] - L'0');
        key.push_back(static_cast<wchar_t>(value));
    }

    void path(std::wstring& key) {
        for (;;) {
            const std::size_t slash = at_;
            const std::size_t written = key.size();
            key.push_back(L'/');
            if (!literal(L'/') || !segment(key)) {
                at_ = slash;
                key.resize(written);
                return;
            }
        }
    }

    bool segment(std::wstring& out) {
        std::size_t items = 0;
        for (; items < max_items; ++items) {
            const wchar_t c = peek();
            if (!at_end() && (is_letter_or_digit(c) || segment_marks.contains(c)))
                out.push_back(text_[at_++]);
            else if (!escape_run(&out))
                break;
        }
        return items > 0 && ++counter_ <= max_components;
    }

    std::wstring_view text_;
    std::size_t at_ = 0;
    unsigned& counter_;
};

}  // namespace

bool transform_grammar::parse(std::wstring_view uri, unsigned& counter, std::wstring& key) const {
    const std::size_t written = key.size();
    if (reader(uri, counter).uri(key)) return true;
    key.resize(written);
    return false;
}

std::wstring transform_grammar::utf8_to_wstring(std::string_view bytes) {
    return coding::to_wide(bytes);
}

const transform_grammar& uri_transform_parser = lasting::make<const transform_grammar>();

}  // namespace grammars

namespace {

bool transform_into(std::wstring_view uri, std::wstring& key) {
    unsigned counter = 0;
    key.clear();
    if (!grammars::uri_transform_parser.parse(uri, counter, key)) return false;
    locale::sanitize(key);
    return true;
}

}  // namespace

std::optional<std::wstring> transform(std::wstring_view uri) {
    std::wstring key;
    key.reserve(uri.size());  // a key is never longer than its link
    if (!transform_into(uri, key)) return std::nullopt;
    return key;
}

std::optional<std::wstring> key(std::wstring_view uri) {
    std::wstring buffer;
    return key(uri, buffer);
}

std::optional<std::wstring> key(std::wstring_view uri, std::wstring& buffer) {
    if (!transform_into(uri, buffer)) return std::nullopt;
    // Folded as message text and dictionary words are.
    return locale::fold_case(buffer);
}

}  // namespace quorvane::engine::uri
