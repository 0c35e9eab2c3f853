// The HTML scan: text runs, character references, tags and declarations, each
// handed to a converter as it is recognised. Whatever is not markup is text,
// so the scan consumes every input.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include <boost/fusion/include/adapt_struct.hpp>
#include <boost/phoenix/bind/bind_function.hpp>
#include <boost/phoenix/bind/bind_member_function.hpp>
#include <boost/phoenix/core.hpp>
#include <boost/phoenix/object/construct.hpp>
#include <boost/phoenix/operator.hpp>
#include <boost/range/iterator_range.hpp>
#include <boost/spirit/include/qi.hpp>

#include "entity.hpp"
#include "stop_run.hpp"

namespace quorvane::engine::html::grammars {

using iterator_type = const wchar_t*;
using range_type = boost::iterator_range<iterator_type>;

// An attribute as written: a quoted value without its quotes, its character
// references still undecoded (an unquoted value cannot hold any).
struct attribute_type {
    range_type name;
    std::optional<range_type> value;
};

struct tag_type {
    range_type name;
    std::vector<attribute_type> attributes;
};

// Takes the parsed list over rather than copying it.
inline void make_tag(tag_type& tag, range_type name, std::vector<attribute_type>& attributes) {
    tag.name = name;
    tag.attributes = std::move(attributes);
}

}  // namespace quorvane::engine::html::grammars

BOOST_FUSION_ADAPT_STRUCT(quorvane::engine::html::grammars::attribute_type, name, value)

namespace quorvane::engine::html::grammars {

namespace qi = boost::spirit::qi;
namespace wide = boost::spirit::standard_wide;
namespace phx = boost::phoenix;

// One or more of space, tab, CR and LF: what separates attributes.
struct space_grammar : qi::grammar<iterator_type> {
    space_grammar() : space_grammar::base_type(space) { space = stop_run_parser::only(L" \t\r\n"); }
    qi::rule<iterator_type> space;
};

// A run of characters that cannot begin markup.
struct text_grammar : qi::grammar<iterator_type, range_type()> {
    text_grammar() : text_grammar::base_type(run) { run = qi::raw[stop_run_parser(L"<>&\"'")]; }
    qi::rule<iterator_type, range_type()> run;
};

// "<" name attributes ">" (start tag), "<" name attributes "/>" (empty tag)
// or "</" name attributes ">" (end tag). The start and empty forms share their
// prefix, which is read once, so nothing of a failed form leaks into the
// other. Calls Converter::tag(tag, open, close).
template <class Converter>
struct tag_grammar : qi::grammar<iterator_type, void(Converter&)> {
    tag_grammar() : tag_grammar::base_type(tag) {
        using qi::_1;
        using qi::_2;
        using qi::_r1;
        name = qi::raw[stop_run_parser(L"<>=&!?/\"' \t\r\n")];
        value = name | (qi::lit(L'"') >> qi::raw[stop_run_parser(L"\"", 0)] >> qi::lit(L'"')) |
                (qi::lit(L'\'') >> qi::raw[stop_run_parser(L"'", 0)] >> qi::lit(L'\''));
        attribute = name >> -(qi::lit(L'=') >> value);
        attributes = *(space >> attribute) >> -space;
        body = (name >> attributes)[phx::bind(&make_tag, qi::_val, _1, _2)];
        tag =
            qi::lit(L'<') >>
            ((qi::lit(L'/') >> body >>
              qi::lit(L'>'))[phx::bind(&Converter::tag, _r1, _1, false, true)] |
             (body >>
              ((qi::lit(L'>') >> qi::attr(false)) |
               (qi::lit(L"/>") >> qi::attr(true))))[phx::bind(&Converter::tag, _r1, _1, true, _2)]);
    }

    space_grammar space;
    qi::rule<iterator_type, range_type()> name;
    qi::rule<iterator_type, range_type()> value;
    qi::rule<iterator_type, attribute_type()> attribute;
    qi::rule<iterator_type, std::vector<attribute_type>()> attributes;
    qi::rule<iterator_type, tag_type()> body;
    qi::rule<iterator_type, void(Converter&)> tag;
};

// "<!" ... ">": comments and declarations, which produce nothing. Ends at the
// first ">" outside quotes; fails on a "<" or a stray "&" outside quotes and on
// a quote left open.
struct ignore_grammar : qi::grammar<iterator_type> {
    ignore_grammar() : ignore_grammar::base_type(declaration) {
        declaration = qi::lit(L"<!") >>
                      *(stop_run_parser(L"<>&\"'") | qi::omit[entity] |
                        (qi::lit(L'"') >> stop_run_parser(L"\"", 0) >> qi::lit(L'"')) |
                        (qi::lit(L'\'') >> stop_run_parser(L"'", 0) >> qi::lit(L'\''))) >>
                      qi::lit(L'>');
    }
    entity_grammar<iterator_type> entity;
    qi::rule<iterator_type> declaration;
};

}  // namespace quorvane::engine::html::grammars

namespace quorvane::engine::html {

// The whole scan. Converter provides text(range), entity(char32_t),
// skip(wchar_t) and tag(tag, open, close).
template <class Converter>
struct sax_grammar : grammars::qi::grammar<grammars::iterator_type, void(Converter&)> {
    sax_grammar() : sax_grammar::base_type(start) {
        namespace qi = grammars::qi;
        namespace wide = grammars::wide;
        namespace phx = grammars::phx;
        using qi::_1;
        using qi::_r1;
        start = *(text[phx::bind(&Converter::text, _r1, _1)] |
                  entity[phx::bind(&Converter::entity, _r1, _1)] | tag(_r1) | ignore |
                  wide::char_(L'\0', L'\xFF')[phx::bind(&Converter::skip, _r1, _1)]);
    }

    grammars::text_grammar text;
    grammars::entity_grammar<grammars::iterator_type> entity;
    grammars::tag_grammar<Converter> tag;
    grammars::ignore_grammar ignore;
    grammars::qi::rule<grammars::iterator_type, void(Converter&)> start;
};

}  // namespace quorvane::engine::html
