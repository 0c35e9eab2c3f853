// The relay addresses of a "received" value: the IPv4 address of its "from"
// clause and that of its "by" clause. Text after the "by" clause is ignored.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include <boost/spirit/include/qi_grammar.hpp>
#include <boost/spirit/include/qi_rule.hpp>

namespace quorvane::engine::mime {

struct stamp_type {
    std::vector<std::uint8_t> from;  // four address bytes
    std::vector<std::uint8_t> by;
};

namespace grammars {

// Works on wide text: a header value enters it decoded from UTF-8.
template <class Iterator>
struct stamp_grammar : boost::spirit::qi::grammar<Iterator, stamp_type()> {
    stamp_grammar();

    boost::spirit::qi::rule<Iterator, stamp_type()> stamp;
    boost::spirit::qi::rule<Iterator, std::vector<std::uint8_t>()> address_clause;
    boost::spirit::qi::rule<Iterator, std::vector<std::uint8_t>()> inner;
    boost::spirit::qi::rule<Iterator> from_keyword;
    boost::spirit::qi::rule<Iterator> by_keyword;
    boost::spirit::qi::rule<Iterator> host;
    boost::spirit::qi::rule<Iterator> label;
    boost::spirit::qi::rule<Iterator> blanks;
    boost::spirit::qi::rule<Iterator, std::vector<std::uint8_t>()> bracketed_address;
    boost::spirit::qi::rule<Iterator, std::vector<std::uint8_t>()> address;
};

using wide_iterator_type = const wchar_t*;

extern const stamp_grammar<wide_iterator_type>& stamp_parser;

// Parses from the value's first character; the value need not be consumed
// to its end. stamp is written only on a match.
bool parse_stamp(std::wstring_view value, stamp_type& stamp);

}  // namespace grammars

}  // namespace quorvane::engine::mime
