// Language identification: dictionary words and script ranges counted over
// the words of a message.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../context/context.hpp"
#include "dictionary.hpp"

namespace quorvane::engine::language {

extern const std::wstring& facility;

// Languages with scripts of their own: each code point of the ranges (first
// and last included) counts for the language.
struct script_range_type {
    char32_t first;
    char32_t last;
};
struct script_type {
    const wchar_t* code;
    std::span<const script_range_type> ranges;
};

extern const std::span<const script_type> scripts;

using language_index = std::uint8_t;

// The lookup structures: built once, then only read.
class data_type {
public:
    // Throws std::runtime_error on a malformed packed list.
    data_type(std::span<const dictionary::chunk_type> chunks, std::span<const script_type> scripts);

    // Dictionary languages in chunk order, then script languages.
    const std::vector<std::wstring>& languages() const noexcept { return languages_; }
    std::uint32_t words_of(language_index language) const { return words_[language]; }
    std::uint32_t codepoints_of(language_index language) const { return codepoints_[language]; }
    std::size_t word_entries() const noexcept { return word_entries_; }
    std::size_t codepoint_entries() const noexcept { return codepoint_entries_; }
    // Heap bytes the lookup structures hold.
    std::size_t bytes() const noexcept;

    // One language per entry: a word listed twice counts twice.
    std::span<const language_index> languages_of(std::wstring_view folded_word) const;
    std::span<const language_index> languages_of(char32_t code_point) const;
    // Where in the index languages_of(folded_word) begins to look, or null.
    // The index is too large for the caches: a caller that prefetches it for
    // the words ahead has them wait for memory together, not one by one.
    const void* lookup_start(std::wstring_view folded_word) const noexcept;

private:
    // Disjoint ranges, ascending, with the languages of each.
    struct interval_type {
        char32_t first;
        char32_t last;
        std::vector<language_index> languages;
    };
    // A distinct word, kept in its slot of the index: its characters in the
    // arena, the run of its languages in word_languages_, and bits of its
    // hash, so that a probe of another word rarely reads the arena. A slot
    // whose count is 0 is empty.
    struct slot_type {
        std::uint32_t offset;
        std::uint32_t first;
        std::uint16_t length;
        std::uint8_t count;
        std::uint8_t tag;
    };

    // Each occurrence of a word in the lists: its slot and its language.
    using occurrence_list = std::vector<std::pair<std::uint32_t, language_index>>;
    // The steps of building, in order.
    occurrence_list index_words(std::span<const dictionary::chunk_type> chunks);
    void group_languages(const occurrence_list& occurrences);
    void cut_script_ranges(std::span<const script_type> scripts);

    language_index add_language(const wchar_t* code);
    // The slot that holds the word, or the empty slot where it would go.
    // Wide words of the Basic Multilingual Plane are looked up as they are.
    template <typename Char>
    std::size_t slot_of(std::basic_string_view<Char> word, std::size_t hash) const noexcept;
    std::u16string_view text_of(const slot_type& word) const noexcept {
        return std::u16string_view(characters_).substr(word.offset, word.length);
    }

    std::vector<std::wstring> languages_;
    std::vector<std::uint32_t> words_, codepoints_;
    // A hundred thousand words and more: one arena of characters (UTF-16,
    // half the size of wide text, and the lists are Latin), one table of
    // words and an open-addressed index into it keep them in a few
    // allocations and a few megabytes.
    std::u16string characters_;
    std::size_t longest_ = 0;  // UTF-16 units of the longest word
    // Zeroed by the allocator (all slots empty) without a pass over them.
    struct free_type {
        void operator()(slot_type* slots) const noexcept { std::free(slots); }
    };
    std::unique_ptr<slot_type[], free_type> slots_;
    std::size_t slot_count_ = 0;
    std::vector<language_index> word_languages_;
    std::vector<interval_type> intervals_;
    std::size_t word_entries_ = 0, codepoint_entries_ = 0;
};

// The engine's data from the built-in lists and script table, built on first
// use.
const data_type& data();

// Per-language character counts of the words of folded text; 64 bits, since
// a word in several lists counts once for each.
struct counts_type {
    std::uint64_t total = 0;
    std::vector<std::uint64_t> coverage;  // by language index
};
counts_type count(const std::wstring& folded, const context::word_index_type& words,
                  const data_type& data);

// Stores counts in the record (saturated to 32 bits), keeping only the
// languages that matched.
void store(const counts_type& counts, const data_type& data, context::record_type& record);

// What the counts say: too little matched, no language stands out, or the
// languages at or above the threshold in the order they are reported, the
// order of their codes.
struct decision_type {
    enum class outcome_type { insufficient, ambiguous, leading };
    outcome_type outcome = outcome_type::insufficient;
    std::uint64_t best = 0;
    std::vector<std::pair<std::wstring, std::uint32_t>> leading;
};
decision_type decide(std::uint64_t total, const std::map<std::wstring, std::uint32_t>& coverage);

// Decides from the record's counts and reports the leading languages through
// the language_classified slot, tracing to the record's context.
void report(const context::record_pointer& record);

}  // namespace quorvane::engine::language
