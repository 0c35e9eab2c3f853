// Links written out in a text: found, collected and cut out of it.
#pragma once

#include <array>
#include <cstddef>
#include <set>
#include <string>
#include <vector>

namespace quorvane::engine::uri {

// Drives one scan of the finder grammar over a text that it edits in place.
class extractor_type {
public:
    extractor_type(std::wstring& text, std::set<std::wstring>& found);

    // Takes a link for the found set, which it enters at finish; always true.
    bool uri(std::wstring value);
    // Drops [begin, end) of the text: the kept text before it moves down to
    // the write position. Always true.
    bool trim(std::size_t begin, std::size_t end);
    // Whether close occurs at or after position: a bracketed link can only
    // end there, and without this a missing close would be sought to the end
    // of the text from every opening bracket.
    bool closes_after(wchar_t close, std::size_t position);
    // Moves the rest of the text down and cuts it, and enters the links
    // taken into the found set.
    void finish();

    std::wstring& text;

private:
    std::set<std::wstring>& found;
    // Sorted once at the end and entered in order, which costs a text with
    // thousands of links far less than a search of the set for each.
    std::vector<std::wstring> taken;
    std::size_t read = 0;
    std::size_t write = 0;
    static constexpr std::size_t unknown = std::wstring::npos - 1;
    std::array<std::size_t, 5> last_close;  // per closing character, npos if none
};

// Cuts every link out of text and inserts it into found: a known scheme with
// its colon or "www." (in any case, stored as "http://www.") and what follows
// up to a space, tab, CR or LF; or such a link right inside brackets, quotes
// or apostrophes, up to the closing one, which is cut with it. Returns whether
// the scan consumed the whole text, which it always does.
bool extract(std::wstring& text, std::set<std::wstring>& found);

}  // namespace quorvane::engine::uri
