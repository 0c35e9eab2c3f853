// Plain text of a message part, as wide text decoded from UTF-8.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include <boost/phoenix/core/reference.hpp>
#include <boost/spirit/include/qi_parse.hpp>

#include "coding.hpp"
#include "uri/finder.hpp"
#include "uri/grammars/finder.hpp"

namespace {

namespace engine = quorvane::engine;

// The whole grammar, a link or else one character at every position: extract
// runs the link rule only where a link can begin, and must cut and find the
// same.
void scan_everywhere(std::wstring& text, std::set<std::wstring>& found) {
    static const engine::uri::grammars::finder_grammar grammar;
    engine::uri::extractor_type extractor(text, found);
    const wchar_t* first = text.data();
    const wchar_t* const last = first + text.size();
    if (!boost::spirit::qi::parse(first, last,
                                  grammar(boost::phoenix::ref(extractor), text.data())) ||
        first != last)
        __builtin_trap();
    extractor.finish();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring input = engine::coding::to_wide({reinterpret_cast<const char*>(data), size});
    std::wstring text = input;
    std::set<std::wstring> found;
    if (!engine::uri::extract(text, found)) __builtin_trap();
    // Cutting only removes: what is kept plus what was cut is never more.
    if (text.size() > input.size()) __builtin_trap();
    if (!found.empty() && text.size() == input.size()) __builtin_trap();

    std::wstring everywhere = input;
    std::set<std::wstring> found_everywhere;
    scan_everywhere(everywhere, found_everywhere);
    if (everywhere != text || found_everywhere != found) __builtin_trap();
    return 0;
}
