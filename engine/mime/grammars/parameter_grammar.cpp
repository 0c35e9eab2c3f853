#include "parameter_grammar_def.hpp"

namespace quorvane::engine::mime::grammars {

template struct parameter_grammar<iterator_type>;

const parameter_grammar<iterator_type> parameter_parser;

}  // namespace quorvane::engine::mime::grammars
