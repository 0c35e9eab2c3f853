#include "stamp_grammar_def.hpp"
#include "../../lasting.hpp"

namespace quorvane::engine::mime::grammars {

template struct stamp_grammar<wide_iterator_type>;

const stamp_grammar<wide_iterator_type>& stamp_parser =
    lasting::make<const stamp_grammar<wide_iterator_type>>();

bool parse_stamp(std::wstring_view value, stamp_type& stamp) {
    wide_iterator_type first = value.data();
    stamp_type parsed;
    if (!boost::spirit::qi::parse(first, value.data() + value.size(), stamp_parser, parsed))
        return false;
    stamp = std::move(parsed);
    return true;
}

}  // namespace quorvane::engine::mime::grammars
