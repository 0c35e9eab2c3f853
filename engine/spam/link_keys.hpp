// Which link keys become fingerprints: each key once, and of keys that cover
// one another only the shortest.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::engine::spam {

// A key covers a longer one that continues it at a label or path boundary:
// a domain its subdomains and paths, a path its deeper paths. A key of one
// label ("c", from "http://c") covers only itself, or it would take every
// .com, .co and .net link out of the lookup. Covering is transitive.
bool covers(std::wstring_view shorter, std::wstring_view longer) noexcept;

// The positions of the keys that stay, in increasing order: those that no
// other key covers, each at its first occurrence. This is what taking the
// keys one by one gives when a key is dropped if a kept key covers it and
// otherwise replaces the kept keys that it covers.
std::vector<std::size_t> shortest_keys(const std::vector<std::wstring>& keys);

}  // namespace quorvane::engine::spam
