#include "store.hpp"

#include <algorithm>
#include <span>
#include <unordered_map>
#include <utility>

namespace quorvane::standins::classification_server {

namespace {

bool is_link(std::uint32_t category) { return category == 64; }

// The fingerprint kinds the engine makes; others are neither learned nor
// counted, so a client cannot fill the store with kinds nothing reports.
bool is_known(std::uint32_t category) {
    return category == 0 || (category >= 2 && category <= 4) || category == 64;
}

// Whether a fingerprint may get a record of its own.
bool is_kept(const fingerprint_type& fingerprint) {
    return is_known(fingerprint.category) && !fingerprint.data.empty() &&
           (!is_link(fingerprint.category) ||
            fingerprint.data.size() <= learning_store::longest_link);
}

std::uint64_t mix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// A hash of the set of fingerprints, in whatever order they come, with who
// sent them and what they said.
std::uint64_t set_hash(const std::vector<fingerprint_type>& fingerprints, identity_type identity,
                       std::uint64_t purpose) {
    std::uint64_t sum = mix(fingerprints.size());
    for (const auto& fingerprint : fingerprints)
        sum += mix(std::hash<std::string>{}(fingerprint.data) ^ mix(fingerprint.category));
    return mix(sum ^ mix(identity) ^ mix(purpose + 0x51));
}

}  // namespace

bool learning_store::is_configured(const record_type& record) const {
    return operator_ids_.count(record.id) != 0;
}

std::uint64_t answered_revokes(const record_type& record) {
    const std::uint64_t unreported =
        record.lookups > record.reports ? record.lookups - record.reports : 0;
    return record.revokes + (unreported + 7) / 8;
}

bool learning_store::recent_type::remember(std::uint64_t hash) {
    if (!set_.insert(hash).second) return false;
    order_.push_back(hash);
    if (order_.size() > limit_) {
        set_.erase(order_.front());
        order_.pop_front();
    }
    return true;
}

learning_store::learning_store(std::size_t capacity, std::size_t capacity_bytes)
    : capacity_(std::max<std::size_t>(capacity, 1)), capacity_bytes_(capacity_bytes) {}

std::uint64_t learning_store::next_id() {
    while (operator_ids_.count(next_id_) != 0) ++next_id_;
    return next_id_++;
}

std::uint32_t learning_store::find_or_make(const fingerprint_type& fingerprint) {
    std::uint32_t slot = index_.find(fingerprint.category, fingerprint.data);
    if (slot == record_index::none) {
        slot = index_.insert(fingerprint.category, fingerprint.data);
        index_.record(slot).id = next_id();
    }
    return slot;
}

void learning_store::configure(record_type record) {
    std::uint32_t slot = configured_.find(record.category, record.data);
    if (slot == record_index::none) slot = configured_.insert(record.category, record.data);
    configured_.record(slot) = record;
    operator_ids_.insert(record.id);
    next_id_ = std::max(next_id_, record.id + 1);
    for (std::size_t k = 0; k < index_.slot_count(); ++k) {
        const auto at = static_cast<std::uint32_t>(k);
        if (index_.live(at) && index_.record(at).id == record.id) {
            index_.record(at).id = next_id();
            changed_ = true;
        }
    }
}

void learning_store::restore(const std::vector<record_type>& stored) {
    std::unordered_set<std::uint64_t> ids;
    for (const auto& record : stored) {
        if (!is_kept({record.category, record.data})) continue;
        const std::uint32_t slot = find_or_make({record.category, record.data});
        record_type& known = index_.record(slot);
        const std::uint64_t id = known.id;
        known = record;
        // Ids stay unique and apart from the operator's: a reply may not
        // carry one twice.
        if (operator_ids_.count(record.id) != 0 || !ids.insert(record.id).second) known.id = id;
        ids.insert(known.id);
        next_id_ = std::max(next_id_, known.id + 1);
        index_.touch(slot);
    }
    forget_least_useful();
}

void learning_store::merge(const record_type& journaled) {
    if (!is_kept({journaled.category, journaled.data})) return;
    const bool known = index_.find(journaled.category, journaled.data) != record_index::none;
    const std::uint32_t slot = find_or_make({journaled.category, journaled.data});
    record_type& record = index_.record(slot);
    if (!known && operator_ids_.count(journaled.id) == 0) {
        record.id = journaled.id;
        next_id_ = std::max(next_id_, journaled.id + 1);
    }
    record.reports = std::max(record.reports, journaled.reports);
    record.revokes = std::max(record.revokes, journaled.revokes);
    record.touches = std::max(record.touches, journaled.touches);
    record.lookups = std::max(record.lookups, journaled.lookups);
    index_.touch(slot);
    changed_ = true;
    forget_least_useful();
}

void learning_store::matching(const fingerprint_type& fingerprint,
                              std::vector<std::uint32_t>& slots) const {
    if (!is_link(fingerprint.category)) {
        const std::uint32_t slot = index_.find(fingerprint.category, fingerprint.data);
        if (slot != record_index::none) slots.push_back(slot);
        return;
    }
    index_.covering(fingerprint.data, longest_link,
                    [&](std::uint32_t slot) { slots.push_back(slot); });
}

std::optional<record_type> learning_store::answer(const fingerprint_type& fingerprint,
                                                  std::span<const std::uint32_t> slots,
                                                  bool again) const {
    if (configured_.size() != 0) {
        std::uint32_t mine = record_index::none;
        if (!is_link(fingerprint.category))
            mine = configured_.find(fingerprint.category, fingerprint.data);
        else
            configured_.covering(fingerprint.data, fingerprint.data.size(),
                                 [&](std::uint32_t slot) { mine = slot; });
        if (mine != record_index::none) return configured_.record(mine);
    }
    // The longest learned record that was reported or revoked.
    for (auto slot = slots.rbegin(); slot != slots.rend(); ++slot) {
        const record_type& record = index_.record(*slot);
        if (record.reports == 0 && record.revokes == 0) continue;
        record_type out = record;
        // Asked about again (a second look, a retry), a message is answered
        // as it was the first time: its own sighting is not yet known to be
        // unreported, as it may be reported next.
        if (again && out.lookups > 0) --out.lookups;
        out.revokes = answered_revokes(out);
        return out;
    }
    return std::nullopt;
}

template <class Count>
void learning_store::count_against(const fingerprint_type& fingerprint,
                                   std::span<const std::uint32_t> slots, Count&& count) {
    const auto once = [&](std::uint32_t slot) {
        if (index_.counted_in(slot) == clock_) return;
        index_.counted_in(slot) = clock_;
        count(index_.record(slot));
        index_.touch(slot);
    };
    // The fingerprint's own record, if known, is the last (the longest).
    bool own = false;
    for (const std::uint32_t slot : slots) {
        own |= index_.record(slot).data.size() == fingerprint.data.size();
        once(slot);
    }
    // (Made since the slots were found, by a copy of it earlier in the
    // lookup, it is found now.)
    if (!own && is_kept(fingerprint)) once(find_or_make(fingerprint));
}

std::vector<std::optional<record_type>> learning_store::look_up(
    const std::vector<fingerprint_type>& fingerprints, identity_type identity) {
    ++clock_;
    const std::uint64_t set = set_hash(fingerprints, identity, 0);
    const bool again = sightings_.contains(set);
    // Each fingerprint's learned records, found once for answering and
    // counting: slots[ends[k - 1], ends[k]) are fingerprint k's.
    std::vector<std::uint32_t> slots;
    std::vector<std::size_t> ends;
    ends.reserve(fingerprints.size());
    std::vector<std::optional<record_type>> found;
    found.reserve(fingerprints.size());
    std::unordered_set<std::uint64_t> answered;
    for (const auto& fingerprint : fingerprints) {
        const std::size_t begin = slots.size();
        matching(fingerprint, slots);
        ends.push_back(slots.size());
        auto known = answer(fingerprint, std::span(slots).subspan(begin), again);
        if (known && !answered.insert(known->id).second) known.reset();
        found.push_back(std::move(known));
    }
    // A link reported once may be a list's footer or a mail service's ad
    // that the spam merely carried: it answers only a message that shares
    // more than that with reported mail.
    std::size_t matched = 0, kept = 0;
    for (std::size_t k = 0; k < fingerprints.size(); ++k) {
        kept += is_known(fingerprints[k].category);
        matched += found[k] && !is_configured(*found[k]);
    }
    if (matched * least_share < kept)
        for (auto& known : found)
            if (known && !is_configured(*known) && is_link(known->category) && known->reports < 2)
                known.reset();
    // Counted after answering, for the same reason; a message asked about
    // again is still one sighting.
    if (again) return found;
    sightings_.remember(set);
    for (std::size_t k = 0; k < fingerprints.size(); ++k) {
        if (!is_known(fingerprints[k].category)) continue;
        const std::size_t begin = k == 0 ? 0 : ends[k - 1];
        count_against(fingerprints[k], std::span(slots).subspan(begin, ends[k] - begin),
                      [](record_type& record) { ++record.lookups; });
        changed_ = true;
    }
    forget_least_useful();
    return found;
}

bool learning_store::learn(const std::vector<fingerprint_type>& fingerprints, bool revoke,
                           identity_type identity, std::vector<record_type>* changed) {
    if (!reports_.remember(set_hash(fingerprints, identity, revoke ? 2 : 1))) return false;
    ++clock_;
    std::vector<std::uint32_t> slots;
    for (const auto& fingerprint : fingerprints) {
        if (!is_known(fingerprint.category)) continue;
        slots.clear();
        matching(fingerprint, slots);
        count_against(fingerprint, slots, [&](record_type& record) {
            ++(revoke ? record.revokes : record.reports);
            if (changed != nullptr) changed->push_back(record);
        });
        changed_ = true;
    }
    forget_least_useful();
    return true;
}

std::vector<std::pair<char, std::uint64_t>> learning_store::counted() const {
    std::vector<std::pair<char, std::uint64_t>> out;
    out.reserve(sightings_.order().size() + reports_.order().size());
    for (const auto hash : sightings_.order()) out.emplace_back('s', hash);
    for (const auto hash : reports_.order()) out.emplace_back('r', hash);
    return out;
}

void learning_store::recount(const std::vector<std::pair<char, std::uint64_t>>& counted) {
    for (const auto& [what, hash] : counted) (what == 's' ? sightings_ : reports_).remember(hash);
}

std::vector<record_type> learning_store::records() const {
    std::vector<record_type> out;
    out.reserve(index_.size());
    visit(0, index_.slot_count(), [&](const record_type& record) { out.push_back(record); });
    std::sort(out.begin(), out.end(),
              [](const record_type& a, const record_type& b) { return a.id < b.id; });
    return out;
}

std::size_t learning_store::visit(std::size_t from, std::size_t count,
                                  const std::function<void(const record_type&)>& each) const {
    std::size_t seen = 0;
    for (std::size_t slot = from; slot < index_.slot_count(); ++slot) {
        if (!index_.live(static_cast<std::uint32_t>(slot))) continue;
        if (seen++ == count) return slot;
        each(index_.record(static_cast<std::uint32_t>(slot)));
    }
    return 0;
}

void learning_store::forget_least_useful() {
    while (index_.size() > capacity_ || index_.data_bytes() > capacity_bytes_) {
        const std::uint32_t slot = index_.least_useful();
        if (slot == record_index::none) return;
        index_.erase(slot);
        changed_ = true;
    }
}

}  // namespace quorvane::standins::classification_server
