// HTML to text: the text a reader would see of a message part, and the link
// targets of its markup.
#pragma once

#include <set>
#include <string>
#include <string_view>

namespace quorvane::engine::html {

// Writes the text of input to output (replacing its content) and inserts the
// href of every "a" tag and the src of every "img" and "script" tag into
// links. Runs of white space become one space, "br" a line break and "p" two;
// only the last body survives, and style and script content is dropped.
// Returns whether the scan consumed all of input, which it always does.
bool convert(std::wstring_view input, std::wstring& output, std::set<std::wstring>& links);

}  // namespace quorvane::engine::html
