#include "finder.hpp"

#include <algorithm>

#include "grammars/finder.hpp"

namespace quorvane::engine::uri {

namespace {

const grammars::finder_grammar uri_finder_parser;

bool starts_with_www(std::wstring_view text) {
    return text.size() >= 4 && (text[0] | 0x20) == L'w' && (text[1] | 0x20) == L'w' &&
           (text[2] | 0x20) == L'w' && text[3] == L'.';
}

}  // namespace

extractor_type::extractor_type(std::wstring& text, std::set<std::wstring>& found)
    : text(text), found(found) {
    for (std::size_t pair = 0; pair < grammars::closings.size(); ++pair)
        last_close[pair] = text.rfind(grammars::closings[pair]);
}

bool extractor_type::uri(const std::wstring& value) {
    found.insert(value);
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

bool extractor_type::closes_after(wchar_t close, std::size_t position) const {
    const std::size_t last = last_close[grammars::closings.find(close)];
    return last != std::wstring::npos && last >= position;
}

void extractor_type::finish() {
    trim(text.size(), text.size());
    text.resize(write);
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
    extractor.uri(value);
    return extractor.trim(static_cast<std::size_t>(link.begin() - text),
                          static_cast<std::size_t>(link.end() - text));
}

}  // namespace grammars

bool extract(std::wstring& text, std::set<std::wstring>& found) {
    extractor_type extractor(text, found);
    const wchar_t* first = text.data();
    const wchar_t* const last = first + text.size();
    const bool matched = boost::spirit::qi::parse(
        first, last, uri_finder_parser(boost::phoenix::ref(extractor), text.data()));
    extractor.finish();
    return matched && first == last;
}

}  // namespace quorvane::engine::uri
