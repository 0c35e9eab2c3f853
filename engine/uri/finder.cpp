#include "finder.hpp"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <utility>

#include "grammars/finder.hpp"
#include "../lasting.hpp"

namespace quorvane::engine::uri {

namespace {

const grammars::finder_grammar& uri_finder_parser = lasting::make<const grammars::finder_grammar>();

bool starts_with_www(std::wstring_view text) {
    return text.size() >= 4 && (text[0] | 0x20) == L'w' && (text[1] | 0x20) == L'w' &&
           (text[2] | 0x20) == L'w' && text[3] == L'.';
}

constexpr bool is_lower(wchar_t c) noexcept { return c >= L'a' && c <= L'z'; }

constexpr auto scheme_lengths = [] {
    std::pair<std::size_t, std::size_t> lengths{std::wstring_view::npos, 0};
    for (const auto scheme : grammars::schemes) {
        lengths.first = std::min(lengths.first, scheme.size());
        lengths.second = std::max(lengths.second, scheme.size());
    }
    return lengths;
}();
static_assert(std::all_of(std::begin(grammars::schemes), std::end(grammars::schemes),
                          [](std::wstring_view scheme) {
                              return std::all_of(scheme.begin(), scheme.end(), is_lower);
                          }),
              "a scheme of other characters needs another look at link_starts");
static_assert(grammars::openings == L"[(<'\"", "link_starts names the openings");

// Where a link can begin: at an opening bracket, at "www." in any case, or
// at a scheme with its colon. Everywhere else the grammar would take one
// character, so the scan passes over such positions without running it.
// Schemes are lower-case letters, so a scheme begins in a run of them that a
// colon ends, as many letters before the colon as some scheme has; and in a
// run of them "www." can begin only among its last three letters. A bracket
// opens a link only where one of the two begins right after it.
class link_starts {
public:
    explicit link_starts(std::wstring_view text) : text_(text) {}

    // The first position from position on where a link can begin, or the
    // size of the text. The text may change, but only before position.
    std::size_t next(std::size_t position) const noexcept {
        const std::size_t size = text_.size();
        while (position < size) {
            const wchar_t c = text_[position];
            switch (c) {
            case L'[':
            case L'(':
            case L'<':
            case L'\'':
            case L'"':  // the openings
                if (prefix_at(position + 1)) return position;
                ++position;
                continue;
            default:
                break;
            }
            if (!is_lower(c)) {
                if (c == L'W' && www_at(position)) return position;
                ++position;
                continue;
            }
            std::size_t end = position + 1;
            while (end < size && is_lower(text_[end])) ++end;
            std::size_t first = size;
            if (end < size && text_[end] == L':' && end - position >= scheme_lengths.first)
                first = std::max(position, end - std::min(end, scheme_lengths.second));
            for (std::size_t at = std::max(position, end - std::min(end, std::size_t{3}));
                 at < std::min(first, end); ++at)
                if (www_at(at)) return at;
            if (first != size) return first;
            position = end;
        }
        return size;
    }

private:
    bool prefix_at(std::size_t position) const noexcept {
        if (position >= text_.size()) return false;
        if (www_at(position)) return true;
        std::size_t end = position;
        while (end < text_.size() && end - position <= scheme_lengths.second &&
               is_lower(text_[end]))
            ++end;
        return end - position >= scheme_lengths.first && end - position <= scheme_lengths.second &&
               end < text_.size() && text_[end] == L':';
    }

    bool www_at(std::size_t position) const noexcept {
        return (text_[position] | 0x20) == L'w' && position + 3 < text_.size() &&
               text_[position + 3] == L'.';
    }

    std::wstring_view text_;
};

}  // namespace

extractor_type::extractor_type(std::wstring& text, std::set<std::wstring>& found)
    : text(text), found(found) {
    last_close.fill(unknown);
}

bool extractor_type::uri(std::wstring value) {
    taken.push_back(std::move(value));
    return true;
}

bool extractor_type::trim(std::size_t begin, std::size_t end) {
    std::copy(text.begin() + static_cast<std::ptrdiff_t>(read),
              text.begin() + static_cast<std::ptrdiff_t>(begin),
              text.begin() + static_cast<std::ptrdiff_t>(write));
    write += begin - read;
    read = end;
    return true;
}

bool extractor_type::closes_after(wchar_t close, std::size_t position) {
    // Sought when first needed. The text before position may have been
    // edited by then, but not the text from there on, which alone decides.
    std::size_t& last = last_close[grammars::closings.find(close)];
    if (last == unknown) last = text.rfind(close);
    return last != std::wstring::npos && last >= position;
}

void extractor_type::finish() {
    trim(text.size(), text.size());
    text.resize(write);
    std::sort(taken.begin(), taken.end());
    for (auto& link : taken) found.insert(found.end(), std::move(link));
    taken.clear();
}

namespace grammars {

bool finder_grammar::found(extractor_type& extractor, iterator_type text, range_type link) {
    std::wstring_view written(link.begin(), link.size());
    // The bracketed forms keep their brackets out of the value.
    if (openings.find(written.front()) != std::wstring_view::npos)
        written = written.substr(1, written.size() - 2);
    std::wstring value;
    if (starts_with_www(written)) {
        value.reserve(written.size() + 7);
        value.append(L"http://www.").append(written.substr(4));
    } else {
        value.assign(written);
    }
    extractor.uri(std::move(value));
    return extractor.trim(static_cast<std::size_t>(link.begin() - text),
                          static_cast<std::size_t>(link.end() - text));
}

}  // namespace grammars

// The finder grammar's scan, a link or else one character at each position,
// with the link rule run only where link_starts allows one.
bool extract(std::wstring& text, std::set<std::wstring>& found) {
    extractor_type extractor(text, found);
    const wchar_t* const begin = text.data();
    const wchar_t* const last = begin + text.size();
    const auto link = uri_finder_parser.link(boost::phoenix::ref(extractor), begin);
    const link_starts starts(text);
    for (std::size_t at = starts.next(0); at < text.size(); at = starts.next(at)) {
        const wchar_t* after = begin + at;
        if (boost::spirit::qi::parse(after, last, link) && after != begin + at)
            at = static_cast<std::size_t>(after - begin);
        else
            ++at;
    }
    extractor.finish();
    return true;
}

}  // namespace quorvane::engine::uri
