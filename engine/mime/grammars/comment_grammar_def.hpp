#pragma once

#include <cstdint>

#include <boost/spirit/include/qi.hpp>

#include "comment_grammar.hpp"

namespace quorvane::engine::mime::grammars {

BOOST_SPIRIT_TERMINAL(comment)

// "(", then any bytes, quoted pairs and nested comments, then the matching
// ")". Unclosed comments and a backslash at the end do not match.
struct comment_parser : boost::spirit::qi::primitive_parser<comment_parser> {
    template <class Context, class Iterator>
    struct attribute {
        using type = boost::spirit::unused_type;
    };

    template <class Iterator, class Context, class Skipper, class Attribute>
    bool parse(Iterator& first, const Iterator& last, Context&, const Skipper&, Attribute&) const {
        if (first == last || *first != '(') return false;
        std::uint64_t depth = 0;
        for (Iterator i = first; i != last; ++i) {
            if (*i == '(') {
                ++depth;
            } else if (*i == ')') {
                if (--depth == 0) {
                    first = ++i;
                    return true;
                }
            } else if (*i == '\\') {
                if (++i == last) return false;
            }
        }
        return false;
    }

    template <class Context>
    boost::spirit::info what(Context&) const {
        return boost::spirit::info("comment");
    }
};

}  // namespace quorvane::engine::mime::grammars

namespace boost::spirit {
template <>
struct use_terminal<qi::domain, quorvane::engine::mime::grammars::tag::comment> : mpl::true_ {};
}  // namespace boost::spirit

namespace boost::spirit::qi {
template <class Modifiers>
struct make_primitive<quorvane::engine::mime::grammars::tag::comment, Modifiers> {
    using result_type = quorvane::engine::mime::grammars::comment_parser;
    result_type operator()(unused_type, unused_type) const { return {}; }
};
}  // namespace boost::spirit::qi

namespace quorvane::engine::mime::grammars {

template <class Iterator>
comment_grammar<Iterator>::comment_grammar() : comment_grammar::base_type(skip, "skipper") {
    namespace qi = boost::spirit::qi;
    white_space = +(qi::lit(' ') | qi::lit('\t'));
    // Greedy and atomic: when the groups are not followed by white space or
    // a comment, nothing is skipped.
    skip = *(-white_space >> comment) >> (white_space | (-white_space >> comment));
}

}  // namespace quorvane::engine::mime::grammars
