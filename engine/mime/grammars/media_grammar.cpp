#include "media_grammar_def.hpp"

namespace quorvane::engine::mime::grammars {

template struct media_grammar<iterator_type>;

const media_grammar<iterator_type> media_parser;

}  // namespace quorvane::engine::mime::grammars
