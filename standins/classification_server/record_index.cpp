#include "record_index.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <stdexcept>

namespace quorvane::standins::classification_server {

namespace {

constexpr std::uint64_t fnv_basis = 0xcbf29ce484222325ULL;
constexpr std::uint64_t fnv_prime = 0x100000001b3ULL;

std::uint64_t hash_category(std::uint32_t category) {
    std::uint64_t hash = fnv_basis;
    for (int k = 0; k < 4; ++k) hash = (hash ^ ((category >> (8 * k)) & 0xFF)) * fnv_prime;
    return hash;
}

std::uint64_t hash_bytes(std::uint64_t hash, std::string_view data) {
    for (const char c : data) hash = (hash ^ static_cast<unsigned char>(c)) * fnv_prime;
    return hash;
}

constexpr std::uint32_t link = 64;

}  // namespace

namespace {

// Whether the key goes on after the record's length with a path, or (the
// record has no path) a subdomain; a record of one label goes on with
// nothing.
bool goes_on(std::string_view record, std::string_view key) noexcept {
    const bool path = record.find('/') != std::string_view::npos;
    if (!path && record.find('.') == std::string_view::npos) return false;
    const char next = key[record.size()];
    return next == '/' || (!path && next == '.');
}

}  // namespace

bool covers(std::string_view record, std::string_view key) noexcept {
    if (!key.starts_with(record)) return false;
    if (key.size() == record.size()) return true;
    // A record that ends with its slash also covers as the record before it.
    return goes_on(record, key) ||
           (record.ends_with('/') && goes_on(record.substr(0, record.size() - 1), key));
}

record_index::record_index() : set_(0, hasher{this}, equal{this}) {
    first_.fill(none);
    last_.fill(none);
}

std::uint32_t record_index::find(std::uint32_t category, std::string_view data) const {
    const auto found = set_.find(probe{category, data, hash_bytes(hash_category(category), data)});
    return found == set_.end() ? none : *found;
}

void record_index::covering(std::string_view key, std::size_t longest,
                            const std::function<void(std::uint32_t)>& visit) const {
    // The same walk as covers(): a boundary after a dot or slash, a dot only
    // while no slash came; or just after such a boundary's slash.
    const std::size_t end = std::min(key.size(), longest);
    std::uint64_t hash = hash_category(link);
    bool dot = false, slash = false;  // in key[0, at)
    bool was_boundary = false;        // at - 1 was a slash boundary
    for (std::size_t at = 0; at <= end; ++at) {
        const bool whole = at == key.size();
        const bool boundary =
            !whole && at > 0 && (dot || slash) && (key[at] == '/' || (key[at] == '.' && !slash));
        if (whole || boundary || was_boundary) {
            const auto found = set_.find(probe{link, key.substr(0, at), hash});
            if (found != set_.end()) visit(*found);
        }
        if (at == end) break;
        was_boundary = boundary && key[at] == '/';
        dot |= key[at] == '.';
        slash |= key[at] == '/';
        hash = (hash ^ static_cast<unsigned char>(key[at])) * fnv_prime;
    }
}

std::uint32_t record_index::insert(std::uint32_t category, std::string data) {
    std::uint32_t slot = free_;
    if (slot != none) {
        free_ = slots_[slot].next;
    } else {
        if (slots_.size() >= std::numeric_limits<std::uint32_t>::max() - 1)
            throw std::length_error("too many records");
        slot = static_cast<std::uint32_t>(slots_.size());
        slots_.emplace_back();
    }
    slot_type& s = slots_[slot];
    s = slot_type{};
    s.record.category = category;
    s.record.data = std::move(data);
    s.hash = hash_bytes(hash_category(category), s.record.data);
    s.live = true;
    data_bytes_ += s.record.data.size();
    set_.insert(slot);
    return slot;
}

void record_index::erase(std::uint32_t slot) {
    slot_type& s = slots_[slot];
    if (!s.live) return;
    set_.erase(slot);
    unlink(slot);
    data_bytes_ -= s.record.data.size();
    s = slot_type{};  // frees the data
    s.next = free_;
    free_ = slot;
}

int record_index::tier_of(const record_type& record) const {
    const bool answers = record.reports != 0 || record.revokes != 0;
    const int seen = std::min<int>(tiers_per_kind - 1, std::bit_width(record.lookups));
    return (answers ? tiers_per_kind : 0) + seen;
}

void record_index::unlink(std::uint32_t slot) {
    slot_type& s = slots_[slot];
    if (s.tier < 0) return;
    (s.previous == none ? first_[s.tier] : slots_[s.previous].next) = s.next;
    (s.next == none ? last_[s.tier] : slots_[s.next].previous) = s.previous;
    s.previous = s.next = none;
    s.tier = -1;
}

void record_index::touch(std::uint32_t slot) {
    unlink(slot);
    slot_type& s = slots_[slot];
    const int tier = tier_of(s.record);
    s.tier = static_cast<std::int8_t>(tier);
    s.previous = last_[tier];
    (last_[tier] == none ? first_[tier] : slots_[last_[tier]].next) = slot;
    last_[tier] = slot;
}

std::uint32_t record_index::least_useful() const {
    for (const std::uint32_t first : first_)
        if (first != none) return first;
    return none;
}

}  // namespace quorvane::standins::classification_server
