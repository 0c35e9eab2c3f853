// The content-transfer-encoding word; text after it is ignored.
#pragma once

#include <boost/spirit/include/qi_grammar.hpp>
#include <boost/spirit/include/qi_rule.hpp>

#include "../types.hpp"
#include "comment_grammar.hpp"

namespace quorvane::engine::mime::grammars {

template <class Iterator>
struct content_transfer_encoding_grammar
    : boost::spirit::qi::grammar<Iterator, content_transfer_encoding_result(), skipper_type> {
    content_transfer_encoding_grammar();

    boost::spirit::qi::rule<Iterator, content_transfer_encoding_result(), skipper_type> encoding;
};

extern const content_transfer_encoding_grammar<iterator_type>& content_transfer_encoding_parser;

}  // namespace quorvane::engine::mime::grammars
