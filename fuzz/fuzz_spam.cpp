// Untrusted messages bound, prepared and classified: every fingerprint is
// listed once with valid text, a second preparation changes nothing, and the
// classification is the same however often it is asked for.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <utility>

#include "callbacks.hpp"
#include "context/context.hpp"
#include "entry_table.hpp"
#include "locale.hpp"

namespace {

namespace context = quorvane::engine::context;
namespace mime = quorvane::engine::mime;
namespace spam = quorvane::engine::spam;

void check_text(const wchar_t* text, std::size_t length) {
    if (text == nullptr || text[length] != L'\0') __builtin_trap();
    if (!quorvane::engine::locale::is_valid(std::wstring_view(text, length))) __builtin_trap();
}

const qvse_callbacks_t table = [] {
    qvse_callbacks_t t{};
    t.size = sizeof t;
    t.context_trace = [](void*, std::uint32_t, const wchar_t* facility, std::size_t facility_length,
                         std::uint32_t, const wchar_t* text, std::size_t length) {
        check_text(facility, facility_length);
        check_text(text, length);
    };
    t.fingerprint_generated = [](void*, const wchar_t* category, std::size_t category_length,
                                 const wchar_t* value, std::size_t value_length) {
        check_text(category, category_length);
        check_text(value, value_length);
    };
    return t;
}();

struct verdict_type {
    bool whitelisted = false, blacklisted = false;
    unsigned score = 0;
    bool operator==(const verdict_type&) const = default;
};

verdict_type classify(void* handle) {
    verdict_type verdict;
    if (spam::classify(handle, verdict.whitelisted, verdict.blacklisted, verdict.score) != QVSE_OK)
        __builtin_trap();
    if (verdict.score > 100 || (verdict.whitelisted && (verdict.blacklisted || verdict.score)))
        __builtin_trap();
    return verdict;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    quorvane::engine::callbacks = table;
    std::uint64_t cell = 0;
    if (context::create(&cell) != QVSE_OK) __builtin_trap();
    // A message that binding refuses is still prepared on what was bound.
    mime::bind_buffer(&cell, reinterpret_cast<const char*>(data), size);
    context::record_pointer record;
    context::get(&cell, record);
    const unsigned prepared = spam::prepare(&cell);
    if (prepared == QVSE_OK) {
        std::set<std::pair<std::uint32_t, std::string>> seen;
        for (const auto& fingerprint : record->fingerprints)
            if (!seen.emplace(fingerprint.category_value, fingerprint.data).second)
                __builtin_trap();
        const auto fingerprints = record->fingerprints.size();
        const auto heuristics = record->heuristics.size();
        if (spam::prepare(&cell) != QVSE_OK || record->fingerprints.size() != fingerprints ||
            record->heuristics.size() != heuristics)
            __builtin_trap();
        // Every answer the servers could give, on every fingerprint.
        std::uint64_t id = 0;
        for (auto& fingerprint : record->fingerprints) {
            fingerprint.match = spam::fingerprint_type::match_type{};
            auto& match = *fingerprint.match;
            match.id = ++id;
            match.length = size > 0 ? data[id % size] : 0;
            match.ignored = id % 3 == 0;
            match.whitelisted = id % 11 == 0;
            match.blacklisted = id % 7 == 0;
            match.reports = size > 0 ? data[(id * 7) % size] : 0;
            match.revokes = size > 0 ? data[(id * 13) % size] : 0;
        }
        if (classify(&cell) != classify(&cell)) __builtin_trap();
    } else if (prepared != QVSE_E_NO_MESSAGE && prepared != QVSE_E_FAILED) {
        __builtin_trap();
    }
    record.reset();
    if (context::destroy(&cell) != QVSE_OK) __builtin_trap();
    quorvane::engine::callbacks = qvse_callbacks_t{};
    return 0;
}
