#pragma once

#include <boost/spirit/include/qi.hpp>

#include "adapted.hpp"
#include "media_grammar.hpp"
#include "tspecials.hpp"

namespace quorvane::engine::mime::grammars {

template <class Iterator>
media_grammar<Iterator>::media_grammar() : media_grammar::base_type(media, "media") {
    namespace qi = boost::spirit::qi;
    // Control bytes are token characters.
    token = +(qi::standard::char_ - qi::standard::char_(token_stops));
    media = token >> qi::lit('/') >> token;
}

}  // namespace quorvane::engine::mime::grammars
