#pragma once

#include <boost/spirit/include/qi.hpp>

#include "content_transfer_encoding_grammar.hpp"

namespace quorvane::engine::mime::grammars {

template <class Iterator>
content_transfer_encoding_grammar<Iterator>::content_transfer_encoding_grammar()
    : content_transfer_encoding_grammar::base_type(encoding, "content-transfer-encoding") {
    namespace qi = boost::spirit::qi;
    using result = content_transfer_encoding_result;
    // no_case of a literal compares against both cases of the literal and
    // never classifies the input byte itself.
    encoding = qi::no_case[qi::lit("7bit")] >> qi::attr(result::identity) |
               qi::no_case[qi::lit("8bit")] >> qi::attr(result::identity) |
               qi::no_case[qi::lit("binary")] >> qi::attr(result::identity) |
               qi::no_case[qi::lit("quoted-printable")] >> qi::attr(result::quoted_printable) |
               qi::no_case[qi::lit("base64")] >> qi::attr(result::base64);
}

}  // namespace quorvane::engine::mime::grammars
