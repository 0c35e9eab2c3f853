#pragma once

namespace quorvane::engine::mime::grammars {

// The bytes that end a token: the tspecials, and the blanks, so that no type,
// parameter name or unquoted value keeps one at either end
// ("text/html ; charset=x"). Written so that a character-set definition reads
// no range into it (no "-" between two characters).
inline constexpr char token_stops[] = "()<>@,;:[]?=\"/\\ \t";

}  // namespace quorvane::engine::mime::grammars
