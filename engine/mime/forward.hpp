// What a context record needs to hold a bound message without pulling in the
// MIME reader.
#pragma once

#include <iosfwd>
#include <memory>

namespace quorvane::engine::mime {

namespace parts {
class generic_type;
class text_type;
}  // namespace parts

// Frees a whole part tree without recursion (see mime::destroy).
struct tree_deleter {
    void operator()(parts::generic_type* root) const noexcept;
};
using tree_pointer = std::unique_ptr<parts::generic_type, tree_deleter>;

// The one seekable byte source of a bound message, shared by the record and
// every part stream that is open.
using source_pointer = std::shared_ptr<std::istream>;

}  // namespace quorvane::engine::mime
