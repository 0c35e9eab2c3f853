#include "language.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <type_traits>

#include <sys/mman.h>

#include <boost/format.hpp>
#include <unicode/utf8.h>

#include "../callbacks.hpp"
#include "../coding.hpp"
#include "../entry_table.hpp"
#include "../frame.hpp"
#include "../locale.hpp"
#include "../principal/trace.hpp"
#include "../lasting.hpp"

namespace quorvane::engine::language {

const std::wstring& facility = lasting::make<const std::wstring>(L"Language");

namespace {

constexpr script_range_type arabic[] = {
    {0x0600, 0x06FF}, {0x0750, 0x077F}, {0xFB50, 0xFDFF}, {0xFE70, 0xFEFE}};
constexpr script_range_type armenian[] = {{0x0530, 0x058F}, {0xFB13, 0xFB17}};
constexpr script_range_type simplified_chinese[] = {
    {0x2E80, 0x2EFF}, {0x3100, 0x312F}, {0x3190, 0x319F}, {0x31A0, 0x31BF}, {0x31C0, 0x31EF}};
constexpr script_range_type traditional_chinese[] = {{0x4E00, 0x9FCF}, {0x3400, 0x4DBF}};
constexpr script_range_type russian[] = {
    {0x0400, 0x04FF}, {0x0500, 0x052F}, {0x2DE0, 0x2DFF}, {0xA640, 0xA69F}};
constexpr script_range_type amharic[] = {{0x1200, 0x137F}, {0x1380, 0x139F}, {0x2D80, 0x2DDF}};
constexpr script_range_type greek[] = {{0x0370, 0x03FF}, {0x1F00, 0x1FFF}};
constexpr script_range_type hebrew[] = {{0x0590, 0x05FF}, {0xFB1D, 0xFB4F}};
constexpr script_range_type korean[] = {
    {0x1100, 0x111F}, {0x3130, 0x318F}, {0x3190, 0x319F}, {0xAC00, 0xD7AF}, {0xFFA0, 0xFFDC}};
constexpr script_range_type mongolian[] = {{0x1800, 0x18AF}};
constexpr script_range_type syriac[] = {{0x0700, 0x074F}};
constexpr script_range_type tibetan[] = {{0x0F00, 0x0FFF}};
constexpr script_range_type thai[] = {{0x0E00, 0x0E7F}};
constexpr script_range_type japanese[] = {{0x2E80, 0x2EFF}, {0x2F00, 0x2FDF}, {0x3040, 0x309F},
                                          {0x30A0, 0x30FF}, {0x31F0, 0x31FF}, {0x3190, 0x319F},
                                          {0x31C0, 0x31EF}, {0xFF65, 0xFF9F}};

constexpr script_type script_table[] = {{L"ar", arabic},
                                        {L"hy", armenian},
                                        {L"zh-CN", simplified_chinese},
                                        {L"zh-TW", traditional_chinese},
                                        {L"ru", russian},
                                        {L"am", amharic},
                                        {L"el", greek},
                                        {L"he", hebrew},
                                        {L"ko", korean},
                                        {L"mn", mongolian},
                                        {L"syr", syriac},
                                        {L"bo", tibetan},
                                        {L"th", thai},
                                        {L"ja", japanese}};

// Fewer matched characters than this say nothing about the language.
constexpr std::uint64_t least_total = 32;

std::uint32_t saturated(std::uint64_t value) {
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

std::once_flag initialization_flag;
const data_type* engine_data = nullptr;

void initialize() {
    principal::trace::write(QVSE_TRACE_DETAIL, facility, 0, L"Decompressing dictionary");
    static const data_type& built = lasting::make<const data_type>(dictionary::chunks, scripts);
    engine_data = &built;
    principal::trace::write(
        QVSE_TRACE_INFO, facility, 0,
        boost::wformat(L"Coverage: %1% languages in %2% codepoints and %3% words") %
            built.languages().size() % built.codepoint_entries() % built.word_entries());
}

}  // namespace

const std::span<const script_type> scripts{script_table};

namespace {

// FNV-1a over the UTF-16 units; text of the Basic Multilingual Plane gives the
// same hash in wide characters.
template <typename Char>
std::size_t hash_of(std::basic_string_view<Char> word) noexcept {
    std::uint64_t hash = 0xcbf29ce484222325;
    for (const Char c : word) hash = (hash ^ static_cast<std::uint32_t>(c)) * 0x100000001b3;
    return static_cast<std::size_t>(hash ^ (hash >> 29));
}

// The index is filled once, at random places: on huge pages it costs a few
// page faults instead of one for every 4 KiB.
constexpr std::size_t huge_page = std::size_t{2} << 20;

void prefer_huge_pages(const void* data, std::size_t bytes) noexcept {
    const auto start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + huge_page - 1) & ~(huge_page - 1);
    const std::uintptr_t last = (start + bytes) & ~(huge_page - 1);
    // Only advice: where the system has no huge pages nothing changes.
    if (first < last) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// Zeroed memory for std::free, starting on a huge page when it fills one or
// more, so that all but its tail can be on huge pages.
void* allocate_zeroed(std::size_t bytes) {
    void* memory = nullptr;
    if (bytes < huge_page) {
        memory = std::calloc(bytes, 1);
    } else if (::posix_memalign(&memory, huge_page, bytes) == 0) {
        prefer_huge_pages(memory, bytes);
        std::memset(memory, 0, bytes);
    } else {
        memory = nullptr;
    }
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

// How many records the lists hold and how many bytes their words take, for
// sizing the structures before they are filled.
struct extent_type {
    std::size_t records = 0, bytes = 0;
};

extent_type measure(std::span<const dictionary::chunk_type> chunks) {
    extent_type extent;
    for (const auto& chunk : chunks)
        for (const char* at = chunk.words; *at != 0; ++extent.records) {
            const auto header = static_cast<unsigned char>(*at++);
            const std::size_t appended = header & 0x0F;
            extent.bytes += (header >> 4) + appended;
            for (std::size_t i = 0; i < appended && *at != 0; ++i) ++at;
        }
    return extent;
}

// The slot comes from the low bits of the hash, the tag from the high ones.
std::uint8_t tag_of(std::size_t hash) noexcept {
    return static_cast<std::uint8_t>(hash >> (sizeof(std::size_t) * 8 - 8));
}

// Writes the UTF-16 form of the word, units that are not scalar values as
// U+FFFD; returns the units written.
std::size_t append_utf16(std::wstring_view word, char16_t* out) noexcept {
    std::size_t length = 0;
    for (const wchar_t unit : word) {
        const auto c = static_cast<char32_t>(
            locale::is_scalar_value(unit) ? unit : locale::replacement_character);
        if (c > 0xFFFF) {
            out[length++] = static_cast<char16_t>(0xD7C0 + (c >> 10));
            out[length++] = static_cast<char16_t>(0xDC00 | (c & 0x3FF));
        } else {
            out[length++] = static_cast<char16_t>(c);
        }
    }
    return length;
}

// Which characters of the Basic Multilingual Plane folding leaves as they
// are, learnt from the folding itself as the lists meet them. Folding maps
// each character on its own, so a word of such characters is its own folded
// form.
class fold_invariants_type {
public:
    fold_invariants_type() : known_(0x10000, unknown) {}

    bool contains(char32_t c) {
        if (c > 0xFFFF) return false;
        auto& known = known_[c];
        if (known == unknown) {
            const auto unit = static_cast<wchar_t>(c);
            const std::wstring folded = locale::fold_case(std::wstring_view(&unit, 1));
            known = folded.size() == 1 && folded[0] == unit ? invariant : changed;
        }
        return known == invariant;
    }

private:
    static constexpr std::uint8_t unknown = 0, invariant = 1, changed = 2;
    std::vector<std::uint8_t> known_;
};

// Decodes a word of the lists and folds it into UTF-16 units at out (room for
// one unit a byte), as decoding to wide text, folding and append_utf16 would.
// Returns the units written, or nothing when a character changes under
// folding and the word needs the general path.
std::optional<std::size_t> decode_folded(std::string_view utf8, char16_t* out,
                                         fold_invariants_type& invariants) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(utf8.data());
    const auto size = static_cast<std::int32_t>(utf8.size());
    std::size_t length = 0;
    for (std::int32_t i = 0; i < size;) {
        if (bytes[i] < 0x80) {
            const auto c = static_cast<char16_t>(bytes[i++]);
            out[length++] = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 0x20) : c;
            continue;
        }
        UChar32 c;
        U8_NEXT(bytes, i, size, c);
        if (c < 0) continue;  // ill-formed parts are dropped, as in decoding
        if (!invariants.contains(static_cast<char32_t>(c))) return std::nullopt;
        out[length++] = static_cast<char16_t>(c);
    }
    return length;
}

}  // namespace

// Building takes three steps: the words of the packed lists go into the
// index, each word's languages are laid out as one run, and the script ranges
// are cut into disjoint intervals.
data_type::data_type(std::span<const dictionary::chunk_type> chunks,
                     std::span<const script_type> script_list) {
    group_languages(index_words(chunks));
    cut_script_ranges(script_list);
}

// Decodes, folds and hashes every word of the lists into the index; each
// occurrence of a word (its slot and its language) in list order.
data_type::occurrence_list data_type::index_words(std::span<const dictionary::chunk_type> chunks) {
    const extent_type extent = measure(chunks);
    std::size_t table_size = 16;
    // At most 70% full (less, since words repeat across lists): short probes
    // in a table small enough to stay in the cache.
    while (table_size * 7 < extent.records * 10) table_size *= 2;
    static_assert(std::is_trivial_v<slot_type>, "an all-zero slot is an empty one");
    slots_.reset(static_cast<slot_type*>(allocate_zeroed(table_size * sizeof(slot_type))));
    slot_count_ = table_size;
    characters_.reserve(extent.bytes);
    prefer_huge_pages(characters_.data(), characters_.capacity() * sizeof(char16_t));
    // Each occurrence of a word: its word and its language, in list order.
    occurrence_list occurrences;
    occurrences.reserve(extent.records);
    prefer_huge_pages(occurrences.data(), occurrences.capacity() * sizeof(occurrences[0]));
    // Words are decoded a few at a time and their slots fetched ahead, so
    // that the inserts do not wait on memory one after another.
    struct pending_type {
        std::size_t hash;
        std::size_t offset, length;  // in batch_units
        language_index language;
    };
    constexpr std::size_t batch_size = 16;
    std::vector<pending_type> batch;
    batch.reserve(batch_size);
    std::u16string batch_units;
    const auto insert_batch = [&] {
        for (const auto& pending : batch) {
            const std::u16string_view units =
                std::u16string_view(batch_units).substr(pending.offset, pending.length);
            const std::size_t slot = slot_of(units, pending.hash);
            auto& entry = slots_[slot];
            if (entry.count == 0) {
                if (characters_.size() + units.size() > std::numeric_limits<std::uint32_t>::max() ||
                    units.size() > std::numeric_limits<std::uint16_t>::max())
                    throw std::runtime_error("dictionary too large");
                entry = {static_cast<std::uint32_t>(characters_.size()), 0,
                         static_cast<std::uint16_t>(units.size()), 0, tag_of(pending.hash)};
                characters_ += units;
                longest_ = std::max(longest_, units.size());
            }
            if (entry.count == std::numeric_limits<std::uint8_t>::max())
                throw std::runtime_error("a word listed too often");
            ++entry.count;
            occurrences.emplace_back(static_cast<std::uint32_t>(slot), pending.language);
        }
        batch.clear();
        batch_units.clear();
    };
    const std::size_t mask = slot_count_ - 1;
    language_index current = 0;
    bool started = false;
    std::string previous;
    std::wstring word;
    fold_invariants_type invariants;
    for (const auto& chunk : chunks) {
        if (chunk.code != nullptr) {
            current = add_language(chunk.code);
            started = true;
            previous.clear();
        }
        if (!started) throw std::runtime_error("dictionary chunk without a language");
        for (const char* at = chunk.words; *at != 0;) {
            const auto header = static_cast<unsigned char>(*at++);
            const std::size_t kept = header >> 4, appended = header & 0x0F;
            if (kept > previous.size() || appended == 0)
                throw std::runtime_error("malformed dictionary record");
            previous.resize(kept);
            for (std::size_t i = 0; i < appended; ++i, ++at) {
                if (*at == 0) throw std::runtime_error("truncated dictionary record");
                previous.push_back(*at);
            }
            const std::size_t offset = batch_units.size();
            batch_units.resize(offset + previous.size());
            std::size_t length = 0;
            if (const auto folded =
                    decode_folded(previous, batch_units.data() + offset, invariants)) {
                length = *folded;
            } else {
                word = locale::fold_case(coding::to_wide(previous));
                batch_units.resize(offset + 2 * word.size());
                length = append_utf16(word, batch_units.data() + offset);
            }
            batch_units.resize(offset + length);
            const std::size_t hash =
                hash_of(std::u16string_view(batch_units).substr(offset, length));
            __builtin_prefetch(&slots_[hash & mask]);
            batch.push_back({hash, offset, length, current});
            ++words_[current];
            ++word_entries_;
            if (batch.size() == batch_size) insert_batch();
        }
    }
    insert_batch();
    return occurrences;
}

// Each word's languages become one run of word_languages_, in list order.
void data_type::group_languages(const occurrence_list& occurrences) {
    std::uint32_t first = 0;
    for (auto& entry : std::span(slots_.get(), slot_count_)) {
        entry.first = first;
        first += entry.count;
        entry.count = 0;
    }
    word_languages_.resize(occurrences.size());
    for (const auto& [slot, language] : occurrences) {
        auto& entry = slots_[slot];
        word_languages_[entry.first + entry.count++] = language;
    }
}

// The script ranges overlap (a character may belong to several scripts):
// they are cut into disjoint intervals, each with its languages.
void data_type::cut_script_ranges(std::span<const script_type> script_list) {
    struct edge_type {
        char32_t first, last;
        language_index language;
    };
    std::vector<edge_type> edges;
    std::vector<char32_t> cuts;
    for (const auto& script : script_list) {
        const language_index language = add_language(script.code);
        for (const auto& range : script.ranges) {
            edges.push_back({range.first, range.last, language});
            cuts.push_back(range.first);
            cuts.push_back(range.last + 1);
            codepoints_[language] += range.last - range.first + 1;
            codepoint_entries_ += range.last - range.first + 1;
        }
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
        interval_type interval{cuts[i], cuts[i + 1] - 1, {}};
        for (const auto& edge : edges)
            if (edge.first <= interval.first && interval.last <= edge.last)
                interval.languages.push_back(edge.language);
        if (!interval.languages.empty()) intervals_.push_back(std::move(interval));
    }
}

language_index data_type::add_language(const wchar_t* code) {
    if (languages_.size() > std::numeric_limits<language_index>::max())
        throw std::runtime_error("too many languages");
    languages_.emplace_back(code);
    words_.push_back(0);
    codepoints_.push_back(0);
    return static_cast<language_index>(languages_.size() - 1);
}

template <typename Char>
std::size_t data_type::slot_of(std::basic_string_view<Char> word, std::size_t hash) const noexcept {
    const std::size_t mask = slot_count_ - 1;
    const std::uint8_t tag = tag_of(hash);
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const slot_type& entry = slots_[slot];
        if (entry.count == 0) return slot;
        if (entry.tag != tag || entry.length != word.size()) continue;
        const std::u16string_view text = text_of(entry);
        if (std::equal(text.begin(), text.end(), word.begin(), word.end(),
                       [](char16_t a, Char b) { return a == static_cast<char32_t>(b); }))
            return slot;
    }
}

std::span<const language_index> data_type::languages_of(std::wstring_view folded_word) const {
    // A word of n characters takes at least n units.
    if (folded_word.empty() || folded_word.size() > longest_) return {};
    if (std::all_of(folded_word.begin(), folded_word.end(), [](wchar_t c) {
            return static_cast<char32_t>(c) < 0xD800 ||
                   (static_cast<char32_t>(c) > 0xDFFF && static_cast<char32_t>(c) <= 0xFFFF);
        })) {
        const slot_type& found = slots_[slot_of(folded_word, hash_of(folded_word))];
        return {word_languages_.data() + found.first, found.count};
    }
    constexpr std::size_t inline_units = 64;
    std::array<char16_t, inline_units> buffer;
    std::u16string long_word;
    char16_t* units = buffer.data();
    if (2 * folded_word.size() > inline_units) {
        long_word.resize(2 * folded_word.size());
        units = long_word.data();
    }
    const std::u16string_view word(units, append_utf16(folded_word, units));
    const slot_type& found = slots_[slot_of(word, hash_of(word))];
    return {word_languages_.data() + found.first, found.count};
}

const void* data_type::lookup_start(std::wstring_view folded_word) const noexcept {
    // Words beyond the Basic Multilingual Plane, which are rare, are looked
    // up elsewhere: any place will do for them.
    if (folded_word.empty() || folded_word.size() > longest_ || slot_count_ == 0) return nullptr;
    return &slots_[hash_of(folded_word) & (slot_count_ - 1)];
}

std::size_t data_type::bytes() const noexcept {
    std::size_t total = characters_.capacity() * sizeof(char16_t) +
                        slot_count_ * sizeof(slot_type) + word_languages_.capacity();
    for (const auto& interval : intervals_)
        total += sizeof interval + interval.languages.capacity();
    for (const auto& code : languages_) total += sizeof code + code.capacity() * sizeof(wchar_t);
    return total;
}

std::span<const language_index> data_type::languages_of(char32_t code_point) const {
    // Latin text never reaches the first script range.
    if (intervals_.empty() || code_point < intervals_.front().first) return {};
    const auto after = std::upper_bound(
        intervals_.begin(), intervals_.end(), code_point,
        [](char32_t c, const interval_type& interval) { return c < interval.first; });
    if (after == intervals_.begin()) return {};
    const auto& interval = *std::prev(after);
    if (code_point > interval.last) return {};
    return interval.languages;
}

const data_type& data() {
    std::call_once(initialization_flag, initialize);
    return *engine_data;
}

counts_type count(const std::wstring& folded, const context::word_index_type& words,
                  const data_type& data) {
    counts_type counts;
    counts.coverage.assign(data.languages().size(), 0);
    const auto word_at = [&](const context::segment_type& segment) {
        return std::wstring_view(folded).substr(segment.offset, segment.length);
    };
    const auto counted = [&](const context::segment_type& segment) {
        return context::is_word(segment) && segment.offset <= folded.size();
    };
    // The words some segments ahead are fetched while these are looked up.
    constexpr std::ptrdiff_t lookahead = 16;
    auto fetched = words.begin();
    for (auto segment = words.begin(); segment != words.end(); ++segment) {
        for (; fetched != words.end() && fetched - segment < lookahead; ++fetched)
            if (counted(*fetched)) __builtin_prefetch(data.lookup_start(word_at(*fetched)));
        if (!counted(*segment)) continue;
        const std::wstring_view word = word_at(*segment);
        const std::uint64_t length = word.size();
        bool matched = false;
        for (const language_index language : data.languages_of(word)) {
            counts.coverage[language] += length;
            matched = true;
        }
        for (const wchar_t c : word) {
            for (const language_index language : data.languages_of(static_cast<char32_t>(c))) {
                ++counts.coverage[language];
                matched = true;
            }
        }
        if (matched) counts.total += length;
    }
    return counts;
}

void store(const counts_type& counts, const data_type& data, context::record_type& record) {
    record.total = saturated(counts.total);
    record.coverage.clear();
    for (std::size_t language = 0; language < counts.coverage.size(); ++language)
        if (counts.coverage[language] != 0)
            record.coverage[data.languages()[language]] = saturated(counts.coverage[language]);
}

decision_type decide(std::uint64_t total, const std::map<std::wstring, std::uint32_t>& coverage) {
    decision_type decision;
    if (total < least_total) return decision;
    std::uint64_t sum = 0;
    for (const auto& [code, value] : coverage) {
        decision.best = std::max<std::uint64_t>(decision.best, value);
        sum += value;
    }
    // Ten times in 64 bits: no overflow for any 32-bit count.
    if (decision.best * 10 < total) {
        decision.outcome = decision_type::outcome_type::ambiguous;
        return decision;
    }
    decision.outcome = decision_type::outcome_type::leading;
    const std::uint64_t average = sum / coverage.size();
    const std::uint64_t threshold = average + (decision.best - average) / 2;
    // In the order of their codes; a host tells the best by its count.
    for (const auto& [code, value] : coverage)
        if (value >= threshold) decision.leading.emplace_back(code, value);
    return decision;
}

void report(const context::record_pointer& record) {
    const std::uint32_t total = record->total;
    const decision_type decision = decide(total, record->coverage);
    switch (decision.outcome) {
    case decision_type::outcome_type::insufficient:
        context::trace::write(record, QVSE_TRACE_INFO, facility, 0,
                              boost::wformat(L"Insufficient input data: %1% characters") % total);
        return;
    case decision_type::outcome_type::ambiguous:
        context::trace::write(
            record, QVSE_TRACE_INFO, facility, 0,
            boost::wformat(L"Ambiguous input data: Best match is %1% characters of %2% total") %
                decision.best % total);
        return;
    case decision_type::outcome_type::leading:
        break;
    }
    context::trace::write(record, QVSE_TRACE_INFO, facility, 0, L"Language coverages:");
    for (const auto& [code, value] : decision.leading) {
        context::trace::write(
            record, QVSE_TRACE_INFO, facility, 1,
            boost::wformat(L"\"%1%\" matches %2% of %3% characters") % code % value % total);
        if (const auto slot = callbacks.language_classified)
            slot(record->handle, code.c_str(), code.size(), value, total);
    }
}

unsigned enumerate() {
    return frame(facility, [&]() -> unsigned {
        if (callbacks.language_enumerated == nullptr) return QVSE_E_INVALID_ARGUMENT;
        const data_type& known = data();
        for (std::size_t i = 0; i < known.languages().size(); ++i) {
            const auto language = static_cast<language_index>(i);
            const std::wstring& code = known.languages()[i];
            if (const auto slot = callbacks.language_enumerated)
                slot(code.c_str(), code.size(), known.words_of(language),
                     known.codepoints_of(language));
        }
        return QVSE_OK;
    });
}

unsigned classify(void* handle) {
    return frame(facility, [&]() -> unsigned {
        if (callbacks.language_classified == nullptr) return QVSE_E_INVALID_ARGUMENT;
        context::record_pointer record;
        if (const unsigned result = context::get(handle, record); result != QVSE_OK) return result;
        std::lock_guard lock(record->mutex);
        if (!record->source) return QVSE_E_NO_MESSAGE;
        if (record->displayable == nullptr) {
            context::trace::write(record, QVSE_TRACE_INFO, facility, 0,
                                  L"No displayable part(s) found");
            return QVSE_OK;
        }
        // Counted once; a message in which nothing matched is counted again.
        if (record->total == 0 && record->words) {
            const data_type& known = data();
            store(count(record->folded, *record->words, known), known, *record);
        }
        report(record);
        return QVSE_OK;
    });
}

}  // namespace quorvane::engine::language
