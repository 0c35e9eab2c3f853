#include "comment_grammar_def.hpp"
#include "../../lasting.hpp"

namespace quorvane::engine::mime::grammars {

template struct comment_grammar<iterator_type>;

const skipper_type& skipper = lasting::make<const skipper_type>();

}  // namespace quorvane::engine::mime::grammars
