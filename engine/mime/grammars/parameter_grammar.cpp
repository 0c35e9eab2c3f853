#include "parameter_grammar_def.hpp"
#include "../../lasting.hpp"

namespace quorvane::engine::mime::grammars {

template struct parameter_grammar<iterator_type>;

const parameter_grammar<iterator_type>& parameter_parser =
    lasting::make<const parameter_grammar<iterator_type>>();

}  // namespace quorvane::engine::mime::grammars
