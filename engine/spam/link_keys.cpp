#include "link_keys.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace quorvane::engine::spam {

bool covers(std::wstring_view shorter, std::wstring_view longer) noexcept {
    if (!longer.starts_with(shorter)) return false;
    if (longer.size() == shorter.size()) return true;
    const bool path = shorter.find(L'/') != std::wstring_view::npos;
    if (!path && shorter.find(L'.') == std::wstring_view::npos) return false;
    const wchar_t next = longer[shorter.size()];
    return next == L'/' || (!path && next == L'.');
}

// A key that another covers starts with it, so in sorted order the keys that
// can cover a key are the keys before it that are its prefixes. A sweep keeps
// them on a stack: a key that is no prefix of the current one is no prefix of
// any later one that the stack's lower entries prefix.
std::vector<std::size_t> shortest_keys(const std::vector<std::wstring>& keys) {
    if (keys.size() > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("too many link keys");
    // Positions in key order; equal keys sort by position, so the first
    // occurrence comes first. Positions alone are sorted: a message may have
    // thousands of links.
    std::vector<std::uint32_t> order(keys.size());
    std::iota(order.begin(), order.end(), std::uint32_t{0});
    std::sort(order.begin(), order.end(), [&keys](std::uint32_t a, std::uint32_t b) {
        const int compared = keys[a].compare(keys[b]);
        return compared < 0 || (compared == 0 && a < b);
    });
    std::vector<bool> kept(keys.size(), false);
    std::vector<std::wstring_view> prefixes;
    for (std::size_t at = 0; at < order.size(); ++at) {
        const std::wstring_view key = keys[order[at]];
        const std::size_t position = order[at];
        if (at > 0 && key == keys[order[at - 1]]) continue;
        while (!prefixes.empty() && !key.starts_with(prefixes.back())) prefixes.pop_back();
        kept[position] =
            std::none_of(prefixes.begin(), prefixes.end(),
                         [&](std::wstring_view shorter) { return covers(shorter, key); });
        prefixes.push_back(key);
    }
    std::vector<std::size_t> positions;
    positions.reserve(static_cast<std::size_t>(std::count(kept.begin(), kept.end(), true)));
    for (std::size_t i = 0; i < kept.size(); ++i)
        if (kept[i]) positions.push_back(i);
    return positions;
}

}  // namespace quorvane::engine::spam
