// Untrusted message bytes through the whole binding: structure, decoding,
// HTML to text, links, NFC, folding and the word index, bound once from a
// buffer and once from a host stream that serves the bytes in small pieces.
// Both must agree, every text handed to the host must be valid and
// NUL-terminated, and the stages must come in their order.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "callbacks.hpp"
#include "context/context.hpp"
#include "entry_table.hpp"
#include "locale.hpp"

namespace {

namespace context = quorvane::engine::context;
namespace mime = quorvane::engine::mime;
using quorvane::engine::locale::is_valid;

void check_text(const wchar_t* text, std::size_t length) {
    if (text == nullptr || text[length] != L'\0') __builtin_trap();
    if (!is_valid(std::wstring_view(text, length))) __builtin_trap();
}

// What the host saw of one binding.
struct host_view {
    host_view(const std::uint8_t* data, std::size_t size, std::int64_t chunk)
        : data(data), size(static_cast<std::int64_t>(size)), chunk(chunk) {}

    const std::uint8_t* data;
    std::int64_t size;
    std::int64_t chunk;  // the most the host serves per read
    std::vector<std::uint32_t> stages;
    std::vector<std::wstring> uris;
};

host_view* view_of(void* handle) { return static_cast<host_view*>(handle); }

const qvse_callbacks_t table = [] {
    qvse_callbacks_t t{};
    t.size = sizeof t;
    t.trace = [](std::uint32_t, const wchar_t* facility, std::size_t facility_length, std::uint32_t,
                 const wchar_t* text, std::size_t length) {
        check_text(facility, facility_length);
        check_text(text, length);
    };
    t.context_trace = [](void*, std::uint32_t, const wchar_t* facility, std::size_t facility_length,
                         std::uint32_t, const wchar_t* text, std::size_t length) {
        check_text(facility, facility_length);
        check_text(text, length);
    };
    t.stream_read = [](void* handle, std::int64_t offset, std::int64_t max_length,
                       const char** data, std::int64_t* length) {
        const host_view* view = view_of(handle);
        if (offset < 0 || offset >= view->size) return false;
        std::int64_t n = std::min(view->size - offset, view->chunk);
        if (max_length >= 0) n = std::min(n, max_length);
        *data = reinterpret_cast<const char*>(view->data + offset);
        *length = n;
        return true;
    };
    t.text_stage = [](void* handle, std::uint32_t stage, const wchar_t* text, std::size_t length) {
        check_text(text, length);
        view_of(handle)->stages.push_back(stage);
    };
    t.uri_found = [](void* handle, std::uint32_t source, const wchar_t* uri, std::size_t length) {
        check_text(uri, length);
        if (source != QVSE_TEXT_HTML && source != QVSE_TEXT_PLAIN) __builtin_trap();
        view_of(handle)->uris.emplace_back(uri, length);
    };
    return t;
}();

struct bound_type {
    std::wstring text;
    std::wstring folded;
    std::set<std::wstring> uris;
    std::size_t words = 0;
    friend bool operator==(const bound_type&, const bound_type&) = default;
};

// Checks the record against what the host was told and returns it.
bound_type check_record(host_view& view) {
    context::record_pointer record;
    if (context::get(&view, record) != QVSE_OK) __builtin_trap();
    if (!record->source || !record->root) __builtin_trap();
    if (!is_valid(record->text) || !is_valid(record->folded)) __builtin_trap();
    if (record->words.has_value() == record->folded.empty()) __builtin_trap();

    // Stages: a tail of HTML, PLAIN, URIS_REMOVED, NORMALIZED, FOLDED, or none.
    static const std::vector<std::uint32_t> all{QVSE_TEXT_HTML, QVSE_TEXT_PLAIN,
                                                QVSE_TEXT_URIS_REMOVED, QVSE_TEXT_NORMALIZED,
                                                QVSE_TEXT_FOLDED};
    if (!view.stages.empty() && view.stages.size() != 4 && view.stages.size() != 5)
        __builtin_trap();
    if (!std::equal(view.stages.begin(), view.stages.end(), all.end() - view.stages.size()))
        __builtin_trap();
    if (view.stages.empty() && (record->displayable != nullptr || !record->uris.empty()))
        __builtin_trap();

    // Each link reported once, and every link kept was reported.
    const std::set<std::wstring> reported(view.uris.begin(), view.uris.end());
    if (reported.size() != view.uris.size() || reported != record->uris) __builtin_trap();

    std::size_t offset = 0, words = 0;
    if (record->words) {
        for (const auto& segment : *record->words) {
            if (segment.offset != offset || segment.length == 0) __builtin_trap();
            offset += segment.length;
            words += context::is_word(segment);
        }
        if (offset != record->folded.size()) __builtin_trap();
    }
    return {record->text, record->folded, record->uris, words};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    quorvane::engine::callbacks = table;

    host_view buffer(data, size, 0);
    if (context::create(&buffer) != QVSE_OK) __builtin_trap();
    // Empty input still needs a valid pointer: null data is refused.
    const char* bytes = size ? reinterpret_cast<const char*>(data) : "";
    if (mime::bind_buffer(&buffer, bytes, size) != QVSE_OK) __builtin_trap();
    const bound_type from_buffer = check_record(buffer);
    if (mime::bind_buffer(&buffer, bytes, size) != QVSE_E_MESSAGE_BOUND) __builtin_trap();
    if (context::destroy(&buffer) != QVSE_OK) __builtin_trap();

    // Small pieces for small inputs, so host reads split every construct.
    host_view stream(data, size,
                     size < 4096 ? std::int64_t(1 + size % 13) : std::int64_t(4096 + size % 1000));
    if (context::create(&stream) != QVSE_OK) __builtin_trap();
    if (mime::bind_stream(&stream) != QVSE_OK) __builtin_trap();
    if (!(check_record(stream) == from_buffer)) __builtin_trap();
    if (context::destroy(&stream) != QVSE_OK) __builtin_trap();
    return 0;
}
