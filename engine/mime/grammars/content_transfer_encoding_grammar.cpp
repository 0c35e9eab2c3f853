#include "content_transfer_encoding_grammar_def.hpp"

namespace quorvane::engine::mime::grammars {

template struct content_transfer_encoding_grammar<iterator_type>;

const content_transfer_encoding_grammar<iterator_type> content_transfer_encoding_parser;

}  // namespace quorvane::engine::mime::grammars
