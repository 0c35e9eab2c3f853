// Message contexts: the engine's state for one message, named by the host's
// handle, from create to destroy.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <boost/format.hpp>

#include "../mime/forward.hpp"
#include "../spam/records.hpp"

namespace quorvane::engine::context {

extern const std::wstring& facility;

// One segment of the word-boundary segmentation of a record's folded text:
// words and the white space and punctuation between them, in order. A long
// message has tens of thousands of them, so they are kept small: 32-bit
// offsets, which index_words checks the text fits.
struct segment_type {
    std::uint32_t offset = 0;  // into folded
    std::uint32_t length = 0;
    // The boundary rule value: 0xF white space and punctuation, 0xF0 numbers,
    // 0xF00 letters, 0xF000 kana, 0xF0000 ideographs.
    std::uint32_t rule = 0;
};

// A segment is a word unless its rule value is 0xF.
inline constexpr std::uint32_t no_word_rule = 0xF;
constexpr bool is_word(const segment_type& segment) noexcept {
    return segment.rule != no_word_rule;
}

using word_index_type = std::vector<segment_type>;

// One per live handle, shared: the map holds one reference, each running
// entry and each network request in flight another.
struct record_type {
    explicit record_type(void* handle) : handle(handle) {}

    void* const handle;  // never dereferenced
    // Held by every per-message entry for its whole call (network requests
    // only while they build their request).
    std::mutex mutex;

    mime::source_pointer source;                    // the bound message; empty: none bound
    mime::tree_pointer root;                        // the part tree, freed without recursion
    mime::parts::generic_type* message = nullptr;   // into root: the unwrapped message
    mime::parts::text_type* displayable = nullptr;  // into root: the scanned part, if any

    std::wstring text;                     // the displayable text, URIs cut out, NFC
    std::wstring folded;                   // text, case-folded
    std::optional<word_index_type> words;  // absent when folded is empty
    std::set<std::wstring> uris;

    std::uint32_t identity_kind = 0;
    std::uint32_t user_id = 0;
    std::wstring secret_key;

    std::list<spam::fingerprint_type> fingerprints;
    std::list<spam::heuristic_type> heuristics;

    std::uint32_t total = 0;
    std::map<std::wstring, std::uint32_t> coverage;
};

using record_pointer = std::shared_ptr<record_type>;

// QVSE_OK with the record in out, or QVSE_E_UNKNOWN_CONTEXT. Not an entry:
// every per-message entry calls it first, then takes the record's mutex.
unsigned get(void* handle, record_pointer& out);

namespace trace {

// A line about one context goes to context_trace only; with no record it is
// an engine line and goes to trace.
// Whether a line about the record would reach the host: callers skip
// composing lines that would be dropped.
bool enabled(const record_pointer& record) noexcept;

void write(const record_pointer& record, unsigned level, const std::wstring& facility,
           unsigned indent, const std::wstring& text);
void write(const record_pointer& record, unsigned level, const std::wstring& facility,
           unsigned indent, const boost::wformat& line);

}  // namespace trace

}  // namespace quorvane::engine::context
