// The parsed message: a tree of parts told apart by dynamic cast. No body is
// copied into a part; a leaf holds the byte range of its content and the
// decoder it needs, and its decoding stream is built only when it is read.
//
// Destructors free a part's own members only, never the parts below it: the
// tree is freed by mime::destroy, so nesting depth costs no stack.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <boost/core/noncopyable.hpp>

#include "../types.hpp"

namespace quorvane::engine::mime::parts {

class generic_type : private boost::noncopyable {
public:
    generic_type(media_type media, header_list_type headers)
        : type(std::move(media.type)),
          subtype(std::move(media.subtype)),
          headers(std::move(headers)) {}
    virtual ~generic_type() = default;

    std::string type;  // as written, or the default
    std::string subtype;
    header_list_type headers;  // the whole header block, in message order
};

// Made for type "text".
class text_type : public generic_type {
public:
    using generic_type::generic_type;

    std::string charset{"us-ascii"};
    window_type content;
    grammars::content_transfer_encoding_result encoding{};
};

// Made for every type that is not text, multipart or message/rfc822.
class attachment_type : public generic_type {
public:
    using generic_type::generic_type;

    std::optional<std::wstring> name;  // the name parameter, from UTF-8
    window_type content;
    grammars::content_transfer_encoding_result encoding{};
};

// Made for type "multipart". Its windows are never decoded.
class multipart_type : public generic_type {
public:
    using generic_type::generic_type;

    std::string boundary;  // empty when the header gave none
    window_type preamble;  // without a boundary: the whole content
    window_type epilogue;
    std::vector<generic_type*> children;  // owned; an entry is empty only mid-parse
};

// Made for message/rfc822.
class encapsulated_type : public generic_type {
public:
    using generic_type::generic_type;

    generic_type* message = nullptr;  // owned; empty only mid-parse
};

}  // namespace quorvane::engine::mime::parts
