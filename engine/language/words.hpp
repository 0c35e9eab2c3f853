// The word index of folded text: the word-boundary segments of the Unicode
// library under the engine locale, white space and punctuation included,
// each with its boundary rule.
#pragma once

#include <string>

#include <boost/locale/boundary.hpp>

#include "../context/context.hpp"
#include "../locale.hpp"

namespace quorvane::engine::language {

// folded must hold only scalar values (see locale::sanitize).
inline context::word_index_type index_words(const std::wstring& folded) {
    namespace boundary = boost::locale::boundary;
    boundary::wssegment_index index(boundary::word, folded.begin(), folded.end(),
                                    locale::generate());
    index.rule(boundary::word_mask);  // every rule, white space included
    index.full_select(false);
    context::word_index_type words;
    for (const auto& segment : index)
        words.push_back({static_cast<std::size_t>(segment.begin() - folded.begin()),
                         static_cast<std::size_t>(segment.end() - segment.begin()),
                         static_cast<std::uint32_t>(segment.rule())});
    return words;
}

}  // namespace quorvane::engine::language
