#pragma once

#include <boost/spirit/include/qi.hpp>

#include "adapted.hpp"
#include "parameter_grammar.hpp"
#include "tspecials.hpp"

namespace quorvane::engine::mime::grammars {

template <class Iterator>
parameter_grammar<Iterator>::parameter_grammar()
    : parameter_grammar::base_type(parameter, "parameter") {
    namespace qi = boost::spirit::qi;
    token = +(qi::standard::char_ - qi::standard::char_(token_stops));
    // An empty quoted string does not match.
    quoted_string = qi::lit('"') >> +((qi::standard::char_ - qi::lit('"') - qi::lit('\\')) |
                                      (qi::lit('\\') >> qi::standard::char_)) >>
                    qi::lit('"');
    parameter = qi::lit(';') >> token >> qi::lit('=') >> (token | quoted_string);
}

}  // namespace quorvane::engine::mime::grammars
