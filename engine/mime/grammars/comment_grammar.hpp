// The skipper of the header-value grammars: runs of blanks and tabs, and
// parenthesised comments, which may nest. Comments are scanned with a
// counter, never by recursion, so nesting depth costs no stack.
#pragma once

#include <boost/spirit/include/qi_grammar.hpp>
#include <boost/spirit/include/qi_rule.hpp>

namespace quorvane::engine::mime::grammars {

template <class Iterator>
struct comment_grammar : boost::spirit::qi::grammar<Iterator> {
    comment_grammar();

    boost::spirit::qi::rule<Iterator> skip;
    boost::spirit::qi::rule<Iterator> white_space;
};

using iterator_type = const char*;
using skipper_type = comment_grammar<iterator_type>;

extern const skipper_type& skipper;

}  // namespace quorvane::engine::mime::grammars
