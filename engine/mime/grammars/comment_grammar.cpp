#include "comment_grammar_def.hpp"

namespace quorvane::engine::mime::grammars {

template struct comment_grammar<iterator_type>;

const skipper_type skipper;

}  // namespace quorvane::engine::mime::grammars
