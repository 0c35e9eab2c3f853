// A run of characters none of which is one of a few ASCII stop characters:
// what +~char_(stops) matches (or *~char_(stops) with no minimum), with each
// character looked up in a table instead of a set of ranges. It has no
// attribute: raw[] gives the run.
#pragma once

#include <bitset>
#include <cstddef>
#include <string_view>

#include <boost/spirit/include/qi.hpp>

namespace quorvane::engine::html::grammars {

struct stop_run_parser : boost::spirit::qi::primitive_parser<stop_run_parser> {
    template <class Context, class Iterator>
    struct attribute {
        using type = boost::spirit::unused_type;
    };

    explicit stop_run_parser(std::wstring_view stop_characters, std::size_t minimum = 1)
        : minimum(minimum) {
        for (const wchar_t c : stop_characters) stops.set(static_cast<std::size_t>(c));
    }

    // The run of +char_(characters) instead: every character but these stops it.
    static stop_run_parser only(std::wstring_view characters) {
        stop_run_parser run(characters);
        run.stops.flip();
        run.all_others_stop = true;
        return run;
    }

    bool stops_at(wchar_t c) const noexcept {
        return c >= 0 && c < 128 ? stops[static_cast<std::size_t>(c)] : all_others_stop;
    }

    template <class Iterator, class Context, class Skipper, class Attribute>
    bool parse(Iterator& first, const Iterator& last, Context&, const Skipper& skipper,
               Attribute&) const {
        boost::spirit::qi::skip_over(first, last, skipper);
        Iterator end = first;
        while (end != last && !stops_at(*end)) ++end;
        if (static_cast<std::size_t>(end - first) < minimum) return false;
        first = end;
        return true;
    }

    template <class Context>
    boost::spirit::info what(Context&) const {
        return boost::spirit::info("stop-run");
    }

    std::bitset<128> stops;
    bool all_others_stop = false;  // beyond ASCII
    std::size_t minimum;
};

}  // namespace quorvane::engine::html::grammars

// Like the repetition it stands for, a run hands a container attribute
// (the range raw[] makes of it) on whole.
template <class Attribute, class Context, class Iterator>
struct boost::spirit::traits::handles_container<quorvane::engine::html::grammars::stop_run_parser,
                                                Attribute, Context, Iterator> : boost::mpl::true_ {
};
