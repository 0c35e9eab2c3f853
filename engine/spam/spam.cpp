#include "spam.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <list>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/format.hpp>

#include "../ascii.hpp"
#include "../callbacks.hpp"
#include "../coding.hpp"
#include "../context/context.hpp"
#include "../entry_table.hpp"
#include "../frame.hpp"
#include "../hashes/md5.hpp"
#include "../mime/grammars/stamp_grammar.hpp"
#include "../mime/mime.hpp"
#include "../uri/normalize.hpp"
#include "link_keys.hpp"
#include "../lasting.hpp"

namespace quorvane::engine::spam {

const std::wstring& facility = lasting::make<const std::wstring>(L"Spam");

namespace {

using fingerprint_list = std::list<fingerprint_type>;
using heuristic_list = std::list<heuristic_type>;

std::mutex trusted_mutex;
std::vector<relay_network_type>& trusted_relays = lasting::make<std::vector<relay_network_type>>();

bool is_trusted(std::uint8_t a, std::uint8_t b, std::uint8_t c) {
    std::lock_guard lock(trusted_mutex);
    return std::any_of(trusted_relays.begin(), trusted_relays.end(), [&](const auto& network) {
        return a == network.first && b == network.second && c >= network.third_low &&
               c <= network.third_high;
    });
}

// Addresses that say nothing about the sender. Of the multicast block only
// 224.x.x.x is passed over.
bool is_local(std::uint8_t a, std::uint8_t b) noexcept {
    return a == 10 || a == 127 || (a == 169 && b == 254) || (a == 172 && b >= 16 && b <= 31) ||
           (a == 192 && b == 168) || a == 224;
}

constexpr std::wstring_view gtube =
    L"XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X";

// Google's "I'm Feeling Lucky" link sends the reader straight to the first
// result: a redirect through a search engine.
constexpr std::wstring_view redirect_label = L"google.";
constexpr std::wstring_view redirect_query = L"&btni=";

// The name of the heuristics that classification makes from answers.
const std::wstring& answer_name = lasting::make<const std::wstring>(L"Fingerprint");

heuristic_type trusted_sender() {
    return {L"Header.From.Trusted", L"Message is from trusted sender", true, false, {}};
}
heuristic_type test_pattern() {
    return {L"Part.Text.Pattern", L"GTUBE Diagnostic Pattern", false, true, {}};
}
heuristic_type search_engine_redirect() {
    return {L"Part.Text.Search_Engine_Redirect",
            L"Link redirects through Google's \"I'm Feeling Lucky\" search", false, false, 50};
}

using ascii::iequals;

// needle is lower-case ASCII; links are compared as found, so upper-case
// ASCII letters of the link match too.
bool contains_ascii_caseless(std::wstring_view text, std::wstring_view needle) {
    return std::search(text.begin(), text.end(), needle.begin(), needle.end(),
                       [](wchar_t x, wchar_t y) { return ascii::lower(x) == y; }) != text.end();
}

fingerprint_type digest_fingerprint(fingerprint_type::category_type category,
                                    const hashes::digest& digest) {
    return {category, digest, coding::encode::transform(digest.bytes)};
}

// Appends fingerprints other than links, each (category, data) once: equal
// fingerprints would count twice in the score, and the servers refuse a reply
// that names one record twice.
class fingerprint_sink {
public:
    explicit fingerprint_sink(fingerprint_list& list) : list_(list) {}

    void append(fingerprint_type fingerprint) {
        if (seen_.emplace(fingerprint.category_value, fingerprint.data).second)
            list_.push_back(std::move(fingerprint));
    }

private:
    fingerprint_list& list_;
    std::set<std::pair<std::uint32_t, std::string>> seen_;
};

// The oldest "received" stamp that parses: the relay nearest the sender.
void add_relay(const context::record_type& record, fingerprint_sink& sink,
               heuristic_list& heuristics) {
    if (record.message == nullptr) return;
    const auto& headers = record.message->headers;
    for (auto header = headers.rbegin(); header != headers.rend(); ++header) {
        if (!iequals(header->name, "received")) continue;
        mime::stamp_type stamp;
        if (!mime::grammars::parse_stamp(coding::to_wide(header->value), stamp)) continue;
        const auto& from = stamp.from;
        if (is_trusted(from[0], from[1], from[2])) {
            heuristics.push_back(trusted_sender());
        } else if (!is_local(from[0], from[1])) {
            const auto text = boost::wformat(L"%1%.%2%.%3%.%4%") % unsigned(from[0]) %
                              unsigned(from[1]) % unsigned(from[2]) % unsigned(from[3]);
            sink.append({fingerprint_type::relay, from, text.str()});
        }
        return;
    }
}

// One fingerprint per link key; of keys that cover one another only the
// shortest stays.
void add_links(const context::record_type& record, fingerprint_list& fingerprints) {
    std::vector<std::wstring> keys;
    keys.reserve(record.uris.size());
    std::wstring buffer;
    for (const auto& link : record.uris) {
        // An empty key would stand for no link at all.
        if (auto key = uri::key(link, buffer); key && !key->empty())
            keys.push_back(std::move(*key));
    }
    for (const std::size_t kept : shortest_keys(keys))
        fingerprints.emplace_back(fingerprint_type::link, coding::to_utf8(keys[kept]),
                                  std::move(keys[kept]));
}

hashes::digest content_digest(const mime::source_pointer& source,
                              const mime::parts::generic_type& part) {
    hashes::stream_preprocessor md5;
    if (const auto content = mime::open(source, part)) {
        std::array<char, 16384> block;
        while (content->read(block.data(), block.size()) || content->gcount() > 0)
            md5.update_n(block.data(), static_cast<std::size_t>(content->gcount()));
    }
    return md5.end_message();
}

// Look-alike characters count as the letter they imitate.
constexpr wchar_t word_key_character(wchar_t c) noexcept {
    switch (c) {
    case L'$':
        return L's';
    case L'0':
        return L'o';
    case L'1':
    case L'l':
    case L'|':
        return L'i';
    case L'3':
    case L'\u20AC':
        return L'e';
    case L'4':
        return L'a';
    case L'7':
        return L't';
    case L'8':
        return L'b';
    default:
        return c;
    }
}

constexpr auto ascii_word_key_characters = [] {
    std::array<wchar_t, 128> table{};
    for (std::size_t c = 0; c < table.size(); ++c)
        table[c] = word_key_character(static_cast<wchar_t>(c));
    return table;
}();

// A word's characters mapped, sorted and each kept once: anagrams and
// look-alike spellings share a key.
void make_word_key(std::wstring_view word, std::wstring& key) {
    // A word of ASCII characters is a set of them, whose bits come out in
    // order.
    std::array<std::uint64_t, 2> bits{};
    bool ascii = true;
    for (const wchar_t c : word) {
        if (c < 0 || c >= 128) {
            ascii = false;
            break;
        }
        const wchar_t mapped = ascii_word_key_characters[static_cast<std::size_t>(c)];
        bits[static_cast<std::size_t>(mapped) >> 6] |= std::uint64_t{1} << (mapped & 63);
    }
    if (ascii) {
        std::array<wchar_t, 128> sorted;
        std::size_t size = 0;
        for (std::size_t half = 0; half < bits.size(); ++half)
            for (std::uint64_t rest = bits[half]; rest != 0; rest &= rest - 1)
                sorted[size++] = static_cast<wchar_t>(half * 64 + std::countr_zero(rest));
        key.assign(sorted.data(), size);
        return;
    }
    // Most other words are short too, and an insertion sort that drops
    // repeats as it goes beats the general sort there.
    constexpr std::size_t short_word = 16;
    if (word.size() > short_word) {
        key.assign(word);
        std::transform(key.begin(), key.end(), key.begin(), word_key_character);
        std::sort(key.begin(), key.end());
        key.erase(std::unique(key.begin(), key.end()), key.end());
        return;
    }
    std::array<wchar_t, short_word> sorted;
    std::size_t size = 0;
    for (const wchar_t c : word) {
        const wchar_t mapped = word_key_character(c);
        std::size_t at = size;
        while (at > 0 && sorted[at - 1] > mapped) --at;
        if (at > 0 && sorted[at - 1] == mapped) continue;
        std::copy_backward(sorted.begin() + at, sorted.begin() + size, sorted.begin() + size + 1);
        sorted[at] = mapped;
        ++size;
    }
    key.assign(sorted.data(), size);
}

// The distinct word keys of a text, numbered from 0 in the order they first
// appear. The keys' text lives in one arena and the table is open-addressed,
// so a new key costs no allocation of its own and a lookup no division.
class key_numbers_type {
public:
    explicit key_numbers_type(std::size_t words) {
        std::size_t capacity = 64;
        while (capacity < words / 2) capacity *= 2;
        slots_.assign(capacity, 0);
    }

    // The number of key; a key not met before gets the next one.
    std::uint32_t number(std::wstring_view key) {
        const std::uint64_t hash = hash_of(key);
        std::size_t slot = hash & (slots_.size() - 1);
        for (; slots_[slot] != 0; slot = (slot + 1) & (slots_.size() - 1)) {
            const entry_type& entry = entries_[slots_[slot] - 1];
            if (entry.hash == hash &&
                std::wstring_view(arena_).substr(entry.offset, entry.length) == key)
                return slots_[slot] - 1;
        }
        const auto number = static_cast<std::uint32_t>(entries_.size());
        entries_.push_back({hash, arena_.size(), key.size()});
        arena_ += key;
        slots_[slot] = number + 1;
        if (entries_.size() * 2 > slots_.size()) grow();
        return number;
    }

    std::size_t size() const noexcept { return entries_.size(); }

private:
    struct entry_type {
        std::uint64_t hash;
        std::size_t offset, length;  // in arena_
    };

    static std::uint64_t hash_of(std::wstring_view key) noexcept {
        std::uint64_t hash = 0x9E3779B97F4A7C15u ^ key.size();
        for (const wchar_t c : key) hash = (hash ^ static_cast<std::uint32_t>(c)) * 0x100000001B3u;
        return hash ^ (hash >> 29);
    }

    void grow() {
        slots_.assign(slots_.size() * 2, 0);
        for (std::size_t number = 0; number < entries_.size(); ++number) {
            std::size_t slot = entries_[number].hash & (slots_.size() - 1);
            while (slots_[slot] != 0) slot = (slot + 1) & (slots_.size() - 1);
            slots_[slot] = static_cast<std::uint32_t>(number + 1);
        }
    }

    std::vector<std::uint32_t> slots_;  // key number + 1; 0: empty
    std::vector<entry_type> entries_;   // per key number
    std::wstring arena_;
};

hashes::digest md5_of_text(std::wstring_view text) {
    const std::string utf8 = coding::to_utf8(text);
    return hashes::md5_of(utf8.data(), utf8.size());
}

constexpr std::size_t max_chunks = 4;
constexpr std::size_t chunk_length = 48;     // a chunk is cut beyond this
constexpr std::size_t min_short_chunk = 17;  // a lone short rest below this says nothing
constexpr std::uint32_t sequence_passes = 8;
constexpr std::uint64_t min_distinct = 8;  // more than 7 different words
constexpr std::uint64_t min_repeats = 10;

// Digests of chunks of the word keys, then of the order in which repeated
// words recur: pass p keeps the words met more than p times.
void add_text_digests(const std::wstring& folded, const context::word_index_type& words,
                      fingerprint_sink& sink) {
    std::wstring accumulator, key;
    std::size_t chunks = 0;
    const std::wstring_view text(folded);
    key_numbers_type key_numbers(words.size());
    std::vector<std::uint32_t> counts;    // per key number
    std::vector<std::uint32_t> sequence;  // key numbers in text order
    sequence.reserve(words.size());
    for (const auto& segment : words) {
        if (!context::is_word(segment) || segment.offset >= text.size()) continue;
        make_word_key(text.substr(segment.offset, segment.length), key);
        if (chunks < max_chunks) {
            accumulator += key;
            if (accumulator.size() > chunk_length) {
                sink.append(
                    digest_fingerprint(fingerprint_type::text_chunk, md5_of_text(accumulator)));
                accumulator.clear();
                ++chunks;
            }
        }
        const std::uint32_t number = key_numbers.number(key);
        if (number == counts.size()) counts.push_back(0);
        ++counts[number];
        sequence.push_back(number);
    }
    if (chunks == 0 && accumulator.size() >= min_short_chunk)
        sink.append(digest_fingerprint(fingerprint_type::text_chunk, md5_of_text(accumulator)));

    // Keys are numbered in the order they first appear, so a pass numbers the
    // keys it keeps by counting them in that order, and knows before writing
    // anything whether its text qualifies.
    struct label_type {
        std::array<char, 12> text;  // "." and the number
        std::uint8_t length;
    };
    std::vector<label_type> labels(counts.size());
    for (std::uint32_t pass = 0; pass < sequence_passes; ++pass) {
        std::uint64_t distinct = 0, written = 0;
        for (std::size_t key_number = 0; key_number < counts.size(); ++key_number) {
            if (counts[key_number] <= pass) continue;
            auto& label = labels[key_number];
            char* const text = label.text.data();
            text[0] = '.';
            const char* end = std::to_chars(text + 1, text + label.text.size(), distinct++).ptr;
            label.length = static_cast<std::uint8_t>(end - text);
            written += counts[key_number];
        }
        if (distinct < min_distinct || written - distinct < min_repeats) break;
        // The text "0.1.0.2..." goes through a small buffer into the digest;
        // the dot before the first number is left out. The sequence holds
        // only the words of this pass, and keeps those of the next one.
        hashes::stream_preprocessor md5;
        std::array<char, 4096> buffer;
        const char* from = buffer.data() + 1;
        char* out = buffer.data();
        std::size_t next_pass = 0;
        for (const auto key_number : sequence) {
            if (buffer.end() - out < 12) {
                md5.update_n(from, static_cast<std::size_t>(out - from));
                from = out = buffer.data();
            }
            const auto& label = labels[key_number];
            std::memcpy(out, label.text.data(), label.text.size());
            out += label.length;
            if (counts[key_number] > pass + 1) sequence[next_pass++] = key_number;
        }
        sequence.resize(next_pass);
        md5.update_n(from, static_cast<std::size_t>(out - from));
        sink.append(digest_fingerprint(fingerprint_type::word_sequence, md5.end_message()));
    }
}

// The text steps read the record's text, links and word index: the text of
// the displayable part.
void add_text_findings(const context::record_type& record, fingerprint_sink& sink,
                       heuristic_list& heuristics) {
    if (record.text.find(gtube) != std::wstring::npos) heuristics.push_back(test_pattern());
    for (const auto& link : record.uris)
        if (contains_ascii_caseless(link, redirect_label) &&
            contains_ascii_caseless(link, redirect_query))
            heuristics.push_back(search_engine_redirect());
    if (record.words) add_text_digests(record.folded, *record.words, sink);
}

// Attachments give their digests; the text steps run once, at the first text
// part met, however many text parts the message has.
void walk_parts(context::record_type& record, fingerprint_sink& sink) {
    namespace parts = mime::parts;
    bool text_done = false;
    std::vector<const parts::generic_type*> stack{record.message};
    while (!stack.empty()) {
        const parts::generic_type* part = stack.back();
        stack.pop_back();
        if (part == nullptr) continue;
        if (dynamic_cast<const parts::attachment_type*>(part) != nullptr) {
            sink.append(digest_fingerprint(fingerprint_type::attachment,
                                           content_digest(record.source, *part)));
        } else if (const auto* encapsulated = dynamic_cast<const parts::encapsulated_type*>(part)) {
            stack.push_back(encapsulated->message);
        } else if (const auto* multipart = dynamic_cast<const parts::multipart_type*>(part)) {
            // The last child comes off first.
            stack.insert(stack.end(), multipart->children.begin(), multipart->children.end());
        } else if (dynamic_cast<const parts::text_type*>(part) != nullptr && !text_done) {
            text_done = true;
            add_text_findings(record, sink, record.heuristics);
        }
    }
}

void report(const context::record_pointer& record) {
    context::trace::write(record, QVSE_TRACE_INFO, facility, 0, L"Generated fingerprints:");
    // A line nobody takes is not formatted: a message may have thousands.
    const bool traced = callbacks.context_trace != nullptr;
    for (const auto& fingerprint : record->fingerprints) {
        const std::wstring category = fingerprint.category();
        if (traced)
            context::trace::write(record, QVSE_TRACE_INFO, facility, 1,
                                  boost::wformat(L"%1% %2%") % category % fingerprint.text);
        if (const auto slot = callbacks.fingerprint_generated)
            slot(record->handle, category.c_str(), category.size(), fingerprint.text.c_str(),
                 fingerprint.text.size());
    }
}

// The weight of an answer that neither lists nor ignores the fingerprint:
// the share of reports among reports and (eight times heavier) revokes.
std::uint32_t answer_weight(const fingerprint_type& fingerprint) {
    const auto& match = *fingerprint.match;
    if (match.reports == 0 && match.revokes == 0) return 0;
    const double reports = static_cast<double>(match.reports);
    double p = 100.0 * reports / (reports + 8.0 * static_cast<double>(match.revokes));
    switch (fingerprint.category_value) {
    case fingerprint_type::relay:
        p = p < 80 ? 0 : p * 0.4;
        break;
    case fingerprint_type::link:
        p = p < 80 ? 0 : p;
        break;
    default:
        break;
    }
    return static_cast<std::uint32_t>(p);
}

// The answer heuristics are made anew on every call, so classifying twice
// gives the same result.
void make_answer_heuristics(const context::record_pointer& record) {
    auto& heuristics = record->heuristics;
    heuristics.remove_if([](const heuristic_type& h) { return h.name == answer_name; });
    context::trace::write(record, QVSE_TRACE_INFO, facility, 0, L"Matched fingerprints:");
    for (const auto& fingerprint : record->fingerprints) {
        if (!fingerprint.match) continue;
        const auto& match = *fingerprint.match;
        // A link matched by its prefix shows the prefix.
        const std::wstring shown =
            match.length < fingerprint.data.size()
                ? coding::to_wide(std::string_view(fingerprint.data).substr(0, match.length))
                : fingerprint.text;
        const std::wstring category = fingerprint.category();
        heuristic_type heuristic{
            answer_name, (boost::wformat(L"%1% %2%") % category % shown).str(), false, false, {}};
        const wchar_t* flags = L"None";
        if (match.whitelisted) {
            heuristic.whitelisted = true;
            flags = L"Whitelisted";
        } else if (match.blacklisted) {
            heuristic.blacklisted = true;
            flags = L"Blacklisted";
        } else if (!match.ignored) {
            heuristic.weight = answer_weight(fingerprint);
        }
        heuristics.push_back(std::move(heuristic));
        context::trace::write(
            record, QVSE_TRACE_INFO, facility, 1,
            boost::wformat(
                L"%1% %2% -- ID: %3%, Flags: %4%, Reports: %5%, Revokes: %6%, Touches: %7%") %
                category % shown % match.id % flags % match.reports % match.revokes %
                match.touches);
    }
}

struct verdict_type {
    bool whitelisted = false;
    bool blacklisted = false;
    unsigned score = 0;
};

verdict_type weigh(const context::record_pointer& record) {
    constexpr std::uint64_t max_score = 100;
    verdict_type verdict;
    std::uint64_t sum = 0;
    context::trace::write(record, QVSE_TRACE_INFO, facility, 0, L"Heuristics:");
    for (const auto& heuristic : record->heuristics) {
        if (heuristic.whitelisted) {
            context::trace::write(record, QVSE_TRACE_INFO, facility, 1,
                                  boost::wformat(L"%1% -- %2% (Whitelisted)") % heuristic.name %
                                      heuristic.description);
            verdict.whitelisted = true;
        } else if (heuristic.blacklisted) {
            context::trace::write(record, QVSE_TRACE_INFO, facility, 1,
                                  boost::wformat(L"%1% -- %2% (Blacklisted)") % heuristic.name %
                                      heuristic.description);
            verdict.blacklisted = true;
        } else if (heuristic.weight) {
            context::trace::write(record, QVSE_TRACE_INFO, facility, 1,
                                  boost::wformat(L"%1% -- %2% (Weight %3%)") % heuristic.name %
                                      heuristic.description % *heuristic.weight);
            sum += *heuristic.weight;
        } else {
            context::trace::write(
                record, QVSE_TRACE_INFO, facility, 1,
                boost::wformat(L"%1% -- %2% (Ignored)") % heuristic.name % heuristic.description);
        }
    }
    if (verdict.whitelisted) {
        verdict.blacklisted = false;
        verdict.score = 0;
    } else if (verdict.blacklisted) {
        verdict.score = max_score;
    } else {
        verdict.score = static_cast<unsigned>(std::min(sum, max_score));
    }
    return verdict;
}

}  // namespace

unsigned prepare(void* handle) {
    return frame(facility, [&]() -> unsigned {
        context::record_pointer record;
        if (const unsigned result = context::get(handle, record); result != QVSE_OK) return result;
        std::lock_guard lock(record->mutex);
        if (!record->source) return QVSE_E_NO_MESSAGE;
        // Once fingerprints exist a call only reports them. A message that
        // gave none is examined again: its heuristics are made anew, not
        // added a second time.
        if (record->fingerprints.empty()) {
            record->heuristics.clear();
            fingerprint_sink relay_sink(record->fingerprints);
            add_relay(*record, relay_sink, record->heuristics);
            // The parts' fingerprints follow the links' but are made first,
            // so that the memory their making takes is free again for the
            // links' (thousands in some messages). Categories differ, so no
            // fingerprint of one sink can equal one of the other.
            fingerprint_list parts;
            {
                fingerprint_sink sink(parts);
                walk_parts(*record, sink);
            }
            add_links(*record, record->fingerprints);
            record->fingerprints.splice(record->fingerprints.end(), parts);
        }
        report(record);
        return QVSE_OK;
    });
}

unsigned classify(void* handle, bool& whitelisted, bool& blacklisted, unsigned& score) {
    return frame(facility, [&]() -> unsigned {
        context::record_pointer record;
        if (const unsigned result = context::get(handle, record); result != QVSE_OK) return result;
        std::lock_guard lock(record->mutex);
        if (!record->source) return QVSE_E_NO_MESSAGE;
        make_answer_heuristics(record);
        const verdict_type verdict = weigh(record);
        whitelisted = verdict.whitelisted;
        blacklisted = verdict.blacklisted;
        score = verdict.score;
        return QVSE_OK;
    });
}

void set_trusted_relays(std::vector<relay_network_type> networks) {
    std::lock_guard lock(trusted_mutex);
    trusted_relays = std::move(networks);
}

}  // namespace quorvane::engine::spam
