// The media type at the start of a content-type value: token "/" token.
#pragma once

#include <string>

#include <boost/spirit/include/qi_grammar.hpp>
#include <boost/spirit/include/qi_rule.hpp>

#include "../types.hpp"
#include "comment_grammar.hpp"

namespace quorvane::engine::mime::grammars {

template <class Iterator>
struct media_grammar : boost::spirit::qi::grammar<Iterator, media_type(), skipper_type> {
    media_grammar();

    boost::spirit::qi::rule<Iterator, media_type(), skipper_type> media;
    boost::spirit::qi::rule<Iterator, std::string()> token;
};

extern const media_grammar<iterator_type>& media_parser;

}  // namespace quorvane::engine::mime::grammars
