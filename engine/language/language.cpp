#include "language.hpp"

#include <algorithm>
#include <limits>
#include <mutex>
#include <stdexcept>

#include <boost/format.hpp>

#include "../callbacks.hpp"
#include "../coding.hpp"
#include "../entry_table.hpp"
#include "../frame.hpp"
#include "../locale.hpp"
#include "../principal/trace.hpp"

namespace quorvane::engine::language {

const std::wstring facility{L"Language"};

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

constexpr script_type script_table[] = {
    {L"ar", arabic},   {L"hy", armenian},  {L"zh-CN", simplified_chinese},
    {L"zh-TW", traditional_chinese},       {L"ru", russian},
    {L"am", amharic},  {L"el", greek},     {L"he", hebrew},
    {L"ko", korean},   {L"mn", mongolian}, {L"syr", syriac},
    {L"bo", tibetan},  {L"th", thai},      {L"ja", japanese}};

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
    static const data_type built(dictionary::chunks, scripts);
    engine_data = &built;
    principal::trace::write(
        QVSE_TRACE_INFO, facility, 0,
        boost::wformat(L"Coverage: %1% languages in %2% codepoints and %3% words") %
            built.languages().size() % built.codepoint_entries() % built.word_entries());
}

}  // namespace

const std::span<const script_type> scripts{script_table};

data_type::data_type(std::span<const dictionary::chunk_type> chunks,
                     std::span<const script_type> script_list) {
    std::vector<std::pair<std::wstring, language_index>> entries;
    language_index current = 0;
    bool started = false;
    std::string previous;
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
            std::wstring word = coding::to_wide(previous);
            // Folded as message text is, so that the two always meet.
            word = locale::fold_case(word);
            entries.emplace_back(std::move(word), current);
            ++words_[current];
            ++word_entries_;
        }
    }
    // Group the entries by word; a word keeps its languages in list order.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    word_languages_.reserve(entries.size());
    word_map_.reserve(entries.size());
    for (auto& [word, language] : entries) {
        const auto position = static_cast<std::uint32_t>(word_languages_.size());
        word_languages_.push_back(language);
        const auto [found, added] = word_map_.try_emplace(std::move(word), run_type{position, 0});
        ++found->second.count;
    }

    // Cut the overlapping ranges into disjoint intervals.
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

std::span<const language_index> data_type::languages_of(std::wstring_view folded_word) const {
    const auto found = word_map_.find(folded_word);
    if (found == word_map_.end()) return {};
    return {word_languages_.data() + found->second.first, found->second.count};
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
    for (const auto& segment : words) {
        if (!context::is_word(segment) || segment.offset > folded.size()) continue;
        const std::wstring_view word =
            std::wstring_view(folded).substr(segment.offset, segment.length);
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

decision_type decide(std::uint64_t total,
                     const std::map<std::wstring, std::uint32_t>& coverage) {
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
        if (const unsigned result = context::get(handle, record); result != QVSE_OK)
            return result;
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
