#include "store.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace quorvane::standins::classification_server {

namespace {

bool is_link(std::uint32_t category) { return category == 64; }

// The fingerprint kinds the engine makes; sightings of others are not kept,
// so a client cannot fill the store with kinds nothing will ever report.
bool is_known(std::uint32_t category) {
    return category == 0 || (category >= 2 && category <= 4) || category == 64;
}

}  // namespace

std::uint64_t answered_revokes(const record_type& record) {
    const std::uint64_t unreported =
        record.lookups > record.reports ? record.lookups - record.reports : 0;
    return record.revokes + (unreported + 4) / 8;
}

learning_store::learning_store(std::size_t capacity, std::size_t capacity_bytes)
    : capacity_(std::max<std::size_t>(capacity, 1)), capacity_bytes_(capacity_bytes) {}

std::string learning_store::key_of(std::uint32_t category, const std::string& data) {
    std::string key(reinterpret_cast<const char*>(&category), sizeof category);
    return key += data;
}

learning_store::entry* learning_store::find(const fingerprint_type& fingerprint) {
    const auto found = entries_.find(key_of(fingerprint.category, fingerprint.data));
    return found == entries_.end() ? nullptr : &found->second;
}

learning_store::entry& learning_store::find_or_make(const fingerprint_type& fingerprint) {
    auto [place, made] = entries_.try_emplace(key_of(fingerprint.category, fingerprint.data));
    entry& known = place->second;
    if (made) {
        known.record.category = fingerprint.category;
        known.record.data = fingerprint.data;
        known.record.id = next_id_++;
        data_bytes_ += fingerprint.data.size();
        if (is_link(fingerprint.category)) links_.insert(fingerprint.data, &known);
    }
    return known;
}

bool learning_store::answers(const entry& known) {
    return known.configured || known.record.reports != 0 || known.record.revokes != 0;
}

learning_store::entry* learning_store::answering(const fingerprint_type& fingerprint) {
    if (!is_link(fingerprint.category)) {
        entry* known = find(fingerprint);
        return known != nullptr && answers(*known) ? known : nullptr;
    }
    entry* longest = nullptr;
    links_.prefixes(fingerprint.data, [&](entry* known) {
        if (answers(*known)) longest = known;
    });
    return longest;
}

template <class Count>
void learning_store::count_against(const fingerprint_type& fingerprint, Count&& count) {
    const auto once = [&](entry& known) {
        if (known.counted_in == clock_) return;
        known.counted_in = clock_;
        count(known.record);
        used(known);
    };
    if (!is_link(fingerprint.category) || fingerprint.data.size() <= longest_link) {
        once(find_or_make(fingerprint));
    } else {
        // Kept by its beginning, which answers the whole link as a prefix.
        once(find_or_make({fingerprint.category, fingerprint.data.substr(0, longest_link)}));
    }
    if (is_link(fingerprint.category))
        links_.prefixes(fingerprint.data, [&](entry* known) { once(*known); });
}

void learning_store::used(entry& known) {
    if (known.configured) return;
    queue_type& queue = answers(known) ? answering_ : seen_only_;
    if (known.queue == nullptr) {
        known.place = queue.insert(queue.end(), &known);
    } else {
        queue.splice(queue.end(), *known.queue, known.place);
    }
    known.queue = &queue;
}

void learning_store::configure(record_type record) {
    entry& known = find_or_make({record.category, record.data});
    if (known.queue != nullptr) known.queue->erase(known.place);
    known.queue = nullptr;
    known.configured = true;
    known.record.id = record.id;
    known.record.extra = record.extra;
    known.record.flags = record.flags;
    known.record.reports += record.reports;
    known.record.revokes += record.revokes;
    known.record.touches += record.touches;
    known.record.lookups += record.lookups;
    next_id_ = std::max(next_id_, record.id + 1);
}

void learning_store::restore(const std::vector<record_type>& stored) {
    for (const auto& record : stored) {
        entry& known = find_or_make({record.category, record.data});
        known.record.reports = record.reports;
        known.record.revokes = record.revokes;
        known.record.touches = record.touches;
        known.record.lookups = record.lookups;
        if (!known.configured) {
            known.record.id = record.id;
            known.record.extra = record.extra;
            known.record.flags = record.flags;
        }
        next_id_ = std::max(next_id_, record.id + 1);
        used(known);
    }
    forget_least_useful();
}

std::vector<std::optional<record_type>> learning_store::look_up(
    const std::vector<fingerprint_type>& fingerprints) {
    ++clock_;
    std::vector<std::optional<record_type>> found;
    found.reserve(fingerprints.size());
    // By id, not by record: an operator's record may share an id with a
    // learned one.
    std::unordered_set<std::uint64_t> answered;
    for (const auto& fingerprint : fingerprints) {
        entry* known = answering(fingerprint);
        if (known == nullptr || !answered.insert(known->record.id).second) {
            found.emplace_back();
            continue;
        }
        record_type answer = known->record;
        if (!known->configured) answer.revokes = answered_revokes(known->record);
        found.push_back(std::move(answer));
    }
    // Counted after answering: this message's own sighting is not yet known
    // to be unreported, as it may be reported next. A message asked about
    // again (a retry, a second look) is still one sighting.
    if (!first_sighting(fingerprints)) return found;
    for (const auto& fingerprint : fingerprints) {
        if (!is_known(fingerprint.category)) continue;
        count_against(fingerprint, [](record_type& record) { ++record.lookups; });
        changed_ = true;
    }
    forget_least_useful();
    return found;
}

void learning_store::learn(const std::vector<fingerprint_type>& fingerprints, bool revoke) {
    ++clock_;
    for (const auto& fingerprint : fingerprints) {
        count_against(fingerprint, [revoke](record_type& record) {
            ++(revoke ? record.revokes : record.reports);
        });
        changed_ = true;
    }
    forget_least_useful();
}

bool learning_store::first_sighting(const std::vector<fingerprint_type>& fingerprints) {
    std::string whole;
    for (const auto& fingerprint : fingerprints) {
        whole += key_of(fingerprint.category, fingerprint.data);
        const auto length = static_cast<std::uint32_t>(fingerprint.data.size());
        whole.append(reinterpret_cast<const char*>(&length), sizeof length);
    }
    const std::uint64_t hash = std::hash<std::string>{}(whole);
    if (!recent_.insert(hash).second) return false;
    recent_order_.push_back(hash);
    if (recent_order_.size() > recent_limit) {
        recent_.erase(recent_order_.front());
        recent_order_.pop_front();
    }
    return true;
}

std::vector<record_type> learning_store::snapshot() const {
    std::vector<record_type> out;
    out.reserve(entries_.size());
    for (const auto& [key, known] : entries_) out.push_back(known.record);
    return out;
}

std::vector<record_type> learning_store::records() const {
    auto out = snapshot();
    std::sort(out.begin(), out.end(),
              [](const record_type& a, const record_type& b) { return a.id < b.id; });
    return out;
}

bool learning_store::take_changed() { return std::exchange(changed_, false); }

void learning_store::forget_least_useful() {
    while (entries_.size() > capacity_ || data_bytes_ > capacity_bytes_) {
        queue_type& queue = seen_only_.empty() ? answering_ : seen_only_;
        if (queue.empty()) return;  // configured records only
        entry& known = *queue.front();
        queue.pop_front();
        if (is_link(known.record.category)) links_.erase(known.record.data);
        data_bytes_ -= known.record.data.size();
        entries_.erase(key_of(known.record.category, known.record.data));
        changed_ = true;
    }
}

// The store is text, one record a line:
//   category id extra flags reports revokes touches lookups hex-data
// after a first line naming the format. Version 1 had no lookups column.
namespace {
constexpr char store_heading[] = "qv-classification-server store ";
constexpr int store_version = 2;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
}  // namespace

std::vector<record_type> read_store(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) return {};
        throw std::system_error(errno, std::generic_category(), "read " + path);
    }
    return parse_store(in, path);
}

std::vector<record_type> parse_store(std::istream& in, const std::string& path) {
    std::string line;
    int version = 0;
    if (std::getline(in, line) && line.rfind(store_heading, 0) == 0) {
        const std::string number = line.substr(sizeof store_heading - 1);
        if (number == "1")
            version = 1;
        else if (number == "2")
            version = 2;
    }
    if (version == 0) throw std::runtime_error(path + " is not a store");
    std::vector<record_type> stored;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        record_type record;
        std::string hex;
        fields >> record.category >> record.id >> record.extra >> record.flags >> record.reports >>
            record.revokes >> record.touches;
        if (version >= 2) fields >> record.lookups;
        fields >> hex;
        std::string rest;
        bool good = static_cast<bool>(fields) && !(fields >> rest) && hex.size() % 2 == 0;
        for (std::size_t k = 0; good && k < hex.size(); k += 2) {
            const int high = hex_value(hex[k]), low = hex_value(hex[k + 1]);
            good = high >= 0 && low >= 0;
            record.data += static_cast<char>(high << 4 | low);
        }
        if (!good) throw std::runtime_error(path + ": bad record: " + line.substr(0, 80));
        stored.push_back(std::move(record));
    }
    return stored;
}

void write_store(const std::string& path, const std::vector<record_type>& records) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text = store_heading + std::to_string(store_version) + "\n";
    for (const auto& record : records) {
        if (record.reports == 0 && record.revokes == 0 && record.touches == 0 &&
            record.lookups == 0)
            continue;
        for (const std::uint64_t value :
             {std::uint64_t{record.category}, record.id, record.extra, record.flags, record.reports,
              record.revokes, record.touches, record.lookups})
            (text += std::to_string(value)) += ' ';
        for (const unsigned char c : record.data) {
            text += digits[c >> 4];
            text += digits[c & 15];
        }
        text += '\n';
    }
    const std::string temporary = path + ".tmp";
    const int file = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0) throw std::system_error(errno, std::generic_category(), "write " + temporary);
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(file, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    const bool synced = written == text.size() && ::fsync(file) == 0;
    const int error = errno;
    ::close(file);
    if (!synced || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int failure = synced ? errno : error;
        ::unlink(temporary.c_str());
        throw std::system_error(failure, std::generic_category(), "write " + path);
    }
}

}  // namespace quorvane::standins::classification_server
