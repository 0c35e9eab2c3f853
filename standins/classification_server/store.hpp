// What the stand-in knows about fingerprints: the records an operator gave
// it, and what it learned from the mail it was asked about and told of.
//
// It sees only the mail of the users who use it. A message is looked up when
// it arrives and reported (or revoked) later, so a fingerprint looked up more
// often than it was reported was seen in mail nobody reported. Those
// sightings are answered as revokes, one per eight (the engine counts a
// revoke as eight reports), so a fingerprint weighs what the share of its
// sightings that were reported says: a mailing list's footer, seen in
// hundreds of messages nobody reported, weighs nothing after a few reports;
// a campaign's link, reported about as often as it was seen, keeps its
// weight.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "classification_server.hpp"
#include "record_index.hpp"

namespace quorvane::standins::classification_server {

// Who asked or told: the identity kind and user of the request.
using identity_type = std::uint64_t;
constexpr identity_type identity_of(std::uint32_t kind, std::uint32_t user) {
    return identity_type{kind} << 32 | user;
}

class learning_store {
public:
    // Holds at most `capacity` learned records, of at most `capacity_bytes`
    // of fingerprint data; beyond either the least useful are forgotten
    // first: records only ever looked up before reported or revoked ones,
    // of each those seen least often, and of those the one unused longest.
    explicit learning_store(std::size_t capacity, std::size_t capacity_bytes = 128 << 20);
    learning_store(const learning_store&) = delete;
    learning_store& operator=(const learning_store&) = delete;

    // Links longer than this are neither learned nor counted (the engine's
    // keys stay far below it).
    static constexpr std::size_t longest_link = 1024;

    // An operator's record: answered as given ahead of anything learned,
    // never counted, forgotten or written. A learned record with its id gets
    // another.
    void configure(record_type record);
    // Records read back from the store file: their counts replace the ones
    // known.
    void restore(const std::vector<record_type>& stored);
    // A record from the journal: each count becomes the larger of the two,
    // so a journal read twice, or over a store that holds it, counts once.
    void merge(const record_type& journaled);

    // The answer to each fingerprint of one lookup, in order: the operator's
    // record of the fingerprint, else the learned one (a link: the longest
    // that covers it) with its unreported sightings added to its revokes,
    // or nothing. An id answers at most one fingerprint of a lookup, since a
    // reply may not carry one id twice. Then counts the lookup as a sighting
    // of each fingerprint (and of each learned link that covers one), once
    // per identity and set of fingerprints.
    std::vector<std::optional<record_type>> look_up(
        const std::vector<fingerprint_type>& fingerprints, identity_type identity = 0);
    // Counts a reported (or revoked) message against each of its
    // fingerprints (and each learned link that covers one); false, counting
    // nothing, when the identity told the same of this set before. The
    // records it changed are appended to `changed`.
    bool learn(const std::vector<fingerprint_type>& fingerprints, bool revoke,
               identity_type identity = 0, std::vector<record_type>* changed = nullptr);

    // The learned records, in the order of their ids.
    std::vector<record_type> records() const;
    std::size_t size() const { return index_.size(); }
    std::size_t data_bytes() const { return index_.data_bytes(); }
    // Visits up to `count` learned records from slot `from` on; the slot to
    // go on from, or 0 when the walk is done. A walk in steps sees every
    // record that lived throughout, each once.
    std::size_t visit(std::size_t from, std::size_t count,
                      const std::function<void(const record_type&)>& each) const;
    // What was counted already, as hashes of (identity, set) with a letter
    // saying of what ('s' sightings, 'r' reports and revokes), oldest
    // first; and the same taken back, after a restart.
    std::vector<std::pair<char, std::uint64_t>> counted() const;
    void recount(const std::vector<std::pair<char, std::uint64_t>>& counted);
    // True once the records changed since the last call.
    bool take_changed() { return std::exchange(changed_, false); }
    // Says the records changed, when writing them failed.
    void mark_changed() { changed_ = true; }

private:
    // A bounded memory of what was counted: hashes of (identity, set).
    class recent_type {
    public:
        explicit recent_type(std::size_t limit) : limit_(limit) {}
        // False when the hash is remembered already.
        bool remember(std::uint64_t hash);
        bool contains(std::uint64_t hash) const { return set_.count(hash) != 0; }
        const std::deque<std::uint64_t>& order() const { return order_; }

    private:
        std::size_t limit_;
        std::unordered_set<std::uint64_t> set_;
        std::deque<std::uint64_t> order_;
    };

    // A link reported once answers only when at least one in this many of
    // the lookup's fingerprints found a reported record.
    static constexpr std::size_t least_share = 10;

    std::uint32_t find_or_make(const fingerprint_type& fingerprint);
    bool is_configured(const record_type& record) const;
    // Appends the slots of the learned records that match the fingerprint:
    // its own, and for a link each that covers it, shortest first.
    void matching(const fingerprint_type& fingerprint, std::vector<std::uint32_t>& slots) const;
    // The operator's record, else the longest of the matching ones that
    // answers; for a message seen before, without its own sighting.
    std::optional<record_type> answer(const fingerprint_type& fingerprint,
                                      std::span<const std::uint32_t> slots, bool again) const;
    // Counts once per request against each matching record, and against a
    // new record of the fingerprint's own when it has none.
    template <class Count>
    void count_against(const fingerprint_type& fingerprint, std::span<const std::uint32_t> slots,
                       Count&& count);
    std::uint64_t next_id();
    void forget_least_useful();

    std::size_t capacity_;
    std::size_t capacity_bytes_;
    record_index index_;       // learned
    record_index configured_;  // the operator's
    std::unordered_set<std::uint64_t> operator_ids_;
    std::uint64_t clock_ = 0;  // one tick a request
    std::uint64_t next_id_ = 1;
    bool changed_ = false;
    recent_type sightings_{1 << 16};
    recent_type reports_{1 << 16};
};

// The revokes a record is answered with: its own, and one for every eight
// sightings beyond its reports, rounded up: one sighting nobody reported
// outweighs a single report.
std::uint64_t answered_revokes(const record_type& record);

}  // namespace quorvane::standins::classification_server
