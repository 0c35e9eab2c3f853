// The records a store holds, found by their fingerprint and, for links, by
// the keys they cover; and the order in which they are forgotten.
//
// Each record's data is held once: the hash set holds slot numbers, not keys,
// and a link's shorter keys are found by hashing the key's beginnings where a
// label or path boundary follows, not through a tree of copies.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "classification_server.hpp"

namespace quorvane::standins::classification_server {

// Whether a link record covers a longer key: the key continues it with a
// path ("/"), or, for a host without a path, with a subdomain ("."). A key
// of one label covers only itself, as the engine holds it. Equal keys cover
// each other.
bool covers(std::string_view record, std::string_view key) noexcept;

class record_index {
public:
    static constexpr std::uint32_t none = 0xFFFFFFFF;
    // Eviction tiers: seen-only records by how often they were seen, then
    // records that answer (reported or revoked), likewise.
    static constexpr int tiers_per_kind = 8;
    static constexpr int tiers = 2 * tiers_per_kind;

    record_index();
    record_index(const record_index&) = delete;
    record_index& operator=(const record_index&) = delete;

    // The slot of the record of exactly this fingerprint, or none.
    std::uint32_t find(std::uint32_t category, std::string_view data) const;
    // Calls visit(slot) for each record of a link that covers the key,
    // shortest first; only the key's first `longest` bytes are looked at.
    void covering(std::string_view key, std::size_t longest,
                  const std::function<void(std::uint32_t)>& visit) const;
    // A new record for the fingerprint (which must not be present).
    std::uint32_t insert(std::uint32_t category, std::string data);
    void erase(std::uint32_t slot);

    record_type& record(std::uint32_t slot) { return slots_[slot].record; }
    const record_type& record(std::uint32_t slot) const { return slots_[slot].record; }
    // The request that last counted against the record.
    std::uint64_t& counted_in(std::uint32_t slot) { return slots_[slot].counted_in; }

    // Puts the record last (most recently used) in the tier its counts give.
    void touch(std::uint32_t slot);
    // The record to forget first, or none.
    std::uint32_t least_useful() const;

    std::size_t size() const { return set_.size(); }
    std::size_t data_bytes() const { return data_bytes_; }
    // Slots run from 0 to this, some of them free; a slot's number never
    // changes while its record lives, so a walk can resume where it stopped.
    std::size_t slot_count() const { return slots_.size(); }
    bool live(std::uint32_t slot) const { return slots_[slot].live; }

private:
    struct slot_type {
        record_type record;
        std::uint64_t hash = 0;
        std::uint64_t counted_in = 0;
        std::uint32_t previous = none, next = none;  // in its tier, or in the free list
        std::int8_t tier = -1;
        bool live = false;
    };
    struct probe {
        std::uint32_t category;
        std::string_view data;
        std::uint64_t hash;
    };
    struct hasher {
        using is_transparent = void;
        const record_index* owner;
        std::size_t operator()(std::uint32_t slot) const { return owner->slots_[slot].hash; }
        std::size_t operator()(const probe& p) const { return p.hash; }
    };
    struct equal {
        using is_transparent = void;
        const record_index* owner;
        bool operator()(std::uint32_t a, std::uint32_t b) const { return a == b; }
        bool operator()(const probe& p, std::uint32_t slot) const {
            const auto& r = owner->slots_[slot].record;
            return r.category == p.category && r.data == p.data;
        }
        bool operator()(std::uint32_t slot, const probe& p) const { return (*this)(p, slot); }
    };

    int tier_of(const record_type& record) const;
    void unlink(std::uint32_t slot);

    std::deque<slot_type> slots_;
    std::uint32_t free_ = none;  // first free slot
    std::unordered_set<std::uint32_t, hasher, equal> set_;
    std::array<std::uint32_t, tiers> first_{}, last_{};
    std::size_t data_bytes_ = 0;
};

}  // namespace quorvane::standins::classification_server
