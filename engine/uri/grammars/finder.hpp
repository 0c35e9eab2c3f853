// The URI finder: at every position a link, else one character.
#pragma once

#include <cstddef>
#include <string_view>

#include <boost/phoenix/bind/bind_function.hpp>
#include <boost/phoenix/bind/bind_member_function.hpp>
#include <boost/phoenix/core.hpp>
#include <boost/phoenix/operator.hpp>
#include <boost/range/iterator_range.hpp>
#include <boost/spirit/include/qi.hpp>
#include <boost/spirit/repository/include/qi_iter_pos.hpp>

#include "../finder.hpp"

namespace quorvane::engine::uri::grammars {

namespace qi = boost::spirit::qi;
namespace wide = boost::spirit::standard_wide;
namespace phx = boost::phoenix;

using iterator_type = const wchar_t*;
using range_type = boost::iterator_range<iterator_type>;

inline constexpr std::wstring_view schemes[] = {
    L"cap",     L"cid",         L"fax",    L"file",    L"ftp",    L"gopher",   L"http",  L"https",
    L"im",      L"mailto",      L"mid",    L"news",    L"nfs",    L"nntp",     L"sip",   L"tel",
    L"telnet",  L"thismessage", L"about",  L"afp",     L"callto", L"facetime", L"rsync", L"cvs",
    L"git",     L"irc",         L"magnet", L"message", L"mms",    L"msnim",    L"notes", L"skype",
    L"spotify", L"ssh",         L"sftp",   L"smb",     L"svn",    L"webcal",   L"ymsgr"};

// Opening and closing characters of the bracketed forms, in the order they
// are tried.
inline constexpr std::wstring_view openings = L"[(<'\"";
inline constexpr std::wstring_view closings = L"])>'\"";

// Calls extractor.uri and extractor.trim with each link's whole range. The
// grammar is a link or else one character at every position; extract runs
// the link rule itself only where a link can begin.
struct finder_grammar : qi::grammar<iterator_type, void(extractor_type&, iterator_type)> {
    finder_grammar() : finder_grammar::base_type(start) {
        using boost::spirit::repository::qi::iter_pos;
        using qi::_1;
        using qi::_a;
        using qi::_r1;
        using qi::_r2;

        for (const auto scheme : schemes) scheme_names.add(scheme.begin(), scheme.end());
        // A scheme counts only with its colon right after it; the table's
        // longest match is the only scheme that can be followed by one.
        prefix =
            (scheme_names >> qi::lit(L':')) | ((qi::lit(L'w') | L'W') >> (qi::lit(L'w') | L'W') >>
                                               (qi::lit(L'w') | L'W') >> qi::lit(L'.'));
        for (std::size_t pair = 0; pair < closings.size(); ++pair) {
            const wchar_t close = closings[pair];
            bracketed[pair] =
                prefix >> iter_pos[_a = _1] >>
                qi::eps(phx::bind(&extractor_type::closes_after, _r1, close, _a - _r2)) >>
                +~wide::char_(close) >> qi::lit(close);
        }
        link = qi::raw[(scheme_names >> qi::lit(L':') >> +~wide::char_(L" \t\r\n")) |
                       ((qi::lit(L'w') | L'W') >> (qi::lit(L'w') | L'W') >>
                        (qi::lit(L'w') | L'W') >> qi::lit(L'.') >> +~wide::char_(L" \t\r\n")) |
                       (qi::lit(L'[') >> bracketed[0](_r1, _r2)) |
                       (qi::lit(L'(') >> bracketed[1](_r1, _r2)) |
                       (qi::lit(L'<') >> bracketed[2](_r1, _r2)) |
                       (qi::lit(L'\'') >> bracketed[3](_r1, _r2)) |
                       (qi::lit(L'"') >> bracketed[4](_r1, _r2))]
                      [phx::bind(&finder_grammar::found, _r1, _r2, _1)];
        start = *(link(_r1, _r2) | wide::char_);
    }

    // Both actions of one link: its value, then its removal.
    static bool found(extractor_type& extractor, iterator_type text, range_type link);

    qi::symbols<wchar_t> scheme_names;
    qi::rule<iterator_type> prefix;
    qi::rule<iterator_type, void(extractor_type&, iterator_type), qi::locals<iterator_type>>
        bracketed[5];
    // One link at the current position, or nothing.
    qi::rule<iterator_type, void(extractor_type&, iterator_type)> link;
    qi::rule<iterator_type, void(extractor_type&, iterator_type)> start;
};

}  // namespace quorvane::engine::uri::grammars
