#include "content_transfer_encoding_grammar_def.hpp"
#include "../../lasting.hpp"

namespace quorvane::engine::mime::grammars {

template struct content_transfer_encoding_grammar<iterator_type>;

const content_transfer_encoding_grammar<iterator_type>& content_transfer_encoding_parser =
    lasting::make<const content_transfer_encoding_grammar<iterator_type>>();

}  // namespace quorvane::engine::mime::grammars
