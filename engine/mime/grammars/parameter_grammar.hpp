// One content-type parameter: ";" token "=" (token or quoted string).
#pragma once

#include <string>

#include <boost/spirit/include/qi_grammar.hpp>
#include <boost/spirit/include/qi_rule.hpp>

#include "../types.hpp"
#include "comment_grammar.hpp"

namespace quorvane::engine::mime::grammars {

template <class Iterator>
struct parameter_grammar : boost::spirit::qi::grammar<Iterator, key_value_type(), skipper_type> {
    parameter_grammar();

    boost::spirit::qi::rule<Iterator, key_value_type(), skipper_type> parameter;
    boost::spirit::qi::rule<Iterator, std::string()> token;
    boost::spirit::qi::rule<Iterator, std::string()> quoted_string;
};

extern const parameter_grammar<iterator_type>& parameter_parser;

}  // namespace quorvane::engine::mime::grammars
