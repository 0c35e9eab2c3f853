// One HTML character reference: a name of the entity table, a decimal number
// up to 65535 or a hexadecimal number up to FFFFFFFF, between "&" and ";".
#pragma once

#include <cstdint>

#include <boost/spirit/include/qi.hpp>

#include "../entity_table.hpp"

namespace quorvane::engine::html::grammars {

namespace qi = boost::spirit::qi;

// The value is the code point as written; numbers are not checked against
// the range of Unicode, so users replace what is not a scalar value.
template <class Iterator>
struct entity_grammar : qi::grammar<Iterator, char32_t()> {
    entity_grammar() : entity_grammar::base_type(reference) {
        for (const auto& entity : entity_table)
            names.add(entity.name.begin(), entity.name.end(), entity.code_point);
        // The symbol table takes the longest name and never a shorter one, so
        // "&notx;" is no reference although "&not;" is.
        reference = qi::lit(L'&') >>
                    (names | (qi::lit(L'#') >>
                              (decimal | ((qi::lit(L'x') | qi::lit(L'X')) >> hexadecimal)))) >>
                    qi::lit(L';');
    }

    qi::symbols<wchar_t, char32_t> names;
    qi::uint_parser<std::uint16_t, 10, 1, -1> decimal;
    qi::uint_parser<std::uint32_t, 16, 1, -1> hexadecimal;
    qi::rule<Iterator, char32_t()> reference;
};

}  // namespace quorvane::engine::html::grammars
