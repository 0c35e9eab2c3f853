#pragma once

#include <boost/fusion/include/adapt_struct.hpp>
#include <boost/spirit/include/qi.hpp>

#include "stamp_grammar.hpp"

BOOST_FUSION_ADAPT_STRUCT(quorvane::engine::mime::stamp_type, from, by)

namespace quorvane::engine::mime::grammars {

// An ordered choice without backtracking into an alternative that matched:
// a label may be empty, so a host always matches as a dotted name and a
// bracketed address where a host stands is never reached; "from [192.0.2.1]
// (...)" therefore does not parse. A "by" clause needs the parenthesised
// bracketed address as much as the "from" clause does.
template <class Iterator>
stamp_grammar<Iterator>::stamp_grammar() : stamp_grammar::base_type(stamp, "stamp") {
    namespace qi = boost::spirit::qi;
    namespace wide = qi::standard_wide;
    // Explicit sets: letters, digits and the two keywords never depend on
    // the process locale.
    qi::uint_parser<std::uint8_t, 10, 1, 3> byte;
    address = byte >> qi::lit(L'.') >> byte >> qi::lit(L'.') >> byte >> qi::lit(L'.') >> byte;
    bracketed_address = qi::lit(L'[') >> address >> qi::lit(L']');
    blanks = *(qi::lit(L' ') | qi::lit(L'\t'));
    label = *(-qi::lit(L'-') >> wide::char_(L"a-zA-Z0-9"));
    host = (label >> *(qi::lit(L'.') >> label)) | qi::omit[bracketed_address];
    inner = qi::hold[host >> blanks >> bracketed_address] | bracketed_address;
    address_clause = host >> blanks >> qi::lit(L'(') >> inner >> qi::lit(L')');
    from_keyword =
        wide::char_(L"fF") >> wide::char_(L"rR") >> wide::char_(L"oO") >> wide::char_(L"mM");
    by_keyword = wide::char_(L"bB") >> wide::char_(L"yY");
    stamp = from_keyword >> blanks >> address_clause >> blanks >> by_keyword >> blanks >>
            address_clause;
}

}  // namespace quorvane::engine::mime::grammars
