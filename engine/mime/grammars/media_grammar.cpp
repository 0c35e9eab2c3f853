#include "media_grammar_def.hpp"
#include "../../lasting.hpp"

namespace quorvane::engine::mime::grammars {

template struct media_grammar<iterator_type>;

const media_grammar<iterator_type>& media_parser =
    lasting::make<const media_grammar<iterator_type>>();

}  // namespace quorvane::engine::mime::grammars
