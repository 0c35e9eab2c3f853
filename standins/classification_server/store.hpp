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
#include <istream>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "classification_server.hpp"
#include "prefix_index.hpp"

namespace quorvane::standins::classification_server {

class learning_store {
public:
    // Holds at most `capacity` learned records, of at most `capacity_bytes`
    // of fingerprint data; beyond either the least useful are forgotten
    // first: records only ever looked up before reported or revoked ones,
    // and of each the one unused for longest.
    explicit learning_store(std::size_t capacity, std::size_t capacity_bytes = 256 << 20);

    // Links are learned by at most this many of their first bytes, so no
    // record is large; a longer link is answered through its beginning.
    static constexpr std::size_t longest_link = 1024;
    learning_store(const learning_store&) = delete;
    learning_store& operator=(const learning_store&) = delete;

    // An operator's record: answered as given, never forgotten. Given a
    // fingerprint already known, it takes the record's id, extra and flags
    // and adds its counts.
    void configure(record_type record);
    // Records read back from the store file: their counts replace the ones
    // known.
    void restore(const std::vector<record_type>& stored);

    // The answer to each fingerprint of one lookup, in order: the record of
    // the fingerprint (a link: of the longest known link that begins it)
    // with its unreported sightings added to its revokes, or nothing. An
    // id answers at most one fingerprint of a lookup, since a reply may not
    // carry one id twice. Then counts the lookup as one sighting of each
    // fingerprint (and of each known link that begins a link), unless it
    // asks about the very fingerprints of one of the recent lookups.
    std::vector<std::optional<record_type>> look_up(
        const std::vector<fingerprint_type>& fingerprints);
    // Counts a reported (or revoked) message once against each of its
    // fingerprints (and against each known link that begins one of its links).
    void learn(const std::vector<fingerprint_type>& fingerprints, bool revoke);

    // Every record, in the order of their ids.
    std::vector<record_type> records() const;
    // Every record, in no order: the quick copy to take under a lock.
    std::vector<record_type> snapshot() const;
    std::size_t size() const { return entries_.size(); }
    // True once the records changed since the last call.
    bool take_changed();
    // Says the records changed, when writing them failed.
    void mark_changed() { changed_ = true; }

private:
    struct entry;
    // Learned records by usefulness: the first is forgotten first.
    using queue_type = std::list<entry*>;
    struct entry {
        record_type record;
        bool configured = false;  // then in no queue
        queue_type* queue = nullptr;
        queue_type::iterator place;
        std::uint64_t counted_in = 0;  // the request that last counted against it
    };

    static std::string key_of(std::uint32_t category, const std::string& data);
    entry* find(const fingerprint_type& fingerprint);
    entry& find_or_make(const fingerprint_type& fingerprint);
    // Whether a lookup is answered with it: configured, or reported or revoked.
    static bool answers(const entry& known);
    // The record that answers the fingerprint, if any.
    entry* answering(const fingerprint_type& fingerprint);
    // Calls count once per request for the fingerprint's record and, for a
    // link, each known link that begins it.
    template <class Count>
    void count_against(const fingerprint_type& fingerprint, Count&& count);
    // Puts a learned record last in the queue its kind belongs to.
    void used(entry& known);
    void forget_least_useful();
    // False for a lookup of the very fingerprints of a recent one.
    bool first_sighting(const std::vector<fingerprint_type>& fingerprints);

    std::size_t capacity_;
    std::size_t capacity_bytes_;
    std::size_t data_bytes_ = 0;  // of the records' data
    std::unordered_map<std::string, entry> entries_;
    prefix_index<entry> links_;
    queue_type seen_only_;     // only ever looked up, longest unused first
    queue_type answering_;     // reported or revoked, longest unused first
    std::uint64_t clock_ = 0;  // one tick a request
    std::uint64_t next_id_ = 1;
    bool changed_ = false;
    // The recent lookups, as hashes of their fingerprints, oldest first.
    static constexpr std::size_t recent_limit = 1 << 16;
    std::unordered_set<std::uint64_t> recent_;
    std::deque<std::uint64_t> recent_order_;
};

// The records of a store file's text (read_store reads the file); throws
// std::runtime_error, naming the path, when it is not a store.
std::vector<record_type> parse_store(std::istream& in, const std::string& path);

// The revokes a record is answered with: its own, and one for every eight
// sightings beyond its reports (rounded to the nearest).
std::uint64_t answered_revokes(const record_type& record);

}  // namespace quorvane::standins::classification_server
