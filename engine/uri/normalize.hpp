// The key of a link: its host with the labels reversed and its first path
// segments, without scheme, user information, query or fragment. Fingerprints
// of links are made from these keys.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvane::engine::uri {

namespace grammars {

// The transform: matches a prefix of the link and appends the key's parts to
// key. counter counts host labels, address octets and path segments (the
// caller passes 0). No case is changed. Letters and digits are ASCII.
class transform_grammar {
public:
    bool parse(std::wstring_view uri, unsigned& counter, std::wstring& key) const;

    // UTF-8 to wide text, dropping every sequence that is not valid UTF-8.
    static std::wstring utf8_to_wstring(std::string_view bytes);
};

// Shared by all threads: the grammar keeps no state between calls.
extern const transform_grammar& uri_transform_parser;

}  // namespace grammars

// The key before case folding, or nothing when the link does not parse. A
// port whose number is not a Unicode scalar value (55296 to 57343) is kept as
// U+FFFD, so the key is always valid text.
std::optional<std::wstring> transform(std::wstring_view uri);

// The key case-folded with the engine locale, or nothing when none can be
// made: the caller passes over such a link.
std::optional<std::wstring> key(std::wstring_view uri);
// The same, with the key before folding made in buffer: a caller making many
// keys passes one buffer to all, which keeps its room from one to the next.
std::optional<std::wstring> key(std::wstring_view uri, std::wstring& buffer);

}  // namespace quorvane::engine::uri
