#pragma once

namespace quorvane::engine::mime::grammars {

// The bytes that end a token. Written so that a character-set definition
// reads no range into it (no "-" between two characters).
inline constexpr char tspecials[] = "()<>@,;:[]?=\"/\\";

}  // namespace quorvane::engine::mime::grammars
