#include "recorder.hpp"

#include <atomic>
#include <cwchar>

#include <gtest/gtest.h>

namespace quorvane::testing {

namespace {
std::atomic<recorder*> active{nullptr};

// Callbacks get valid, NUL-terminated text; check that promise while
// recording.
std::wstring terminated(const wchar_t* text, std::size_t length) {
    if (text[length] != L'\0') ADD_FAILURE() << "callback text is not NUL-terminated";
    for (std::size_t i = 0; i < length; ++i) {
        const auto unit = static_cast<char32_t>(text[i]);
        if ((unit >= 0xD800 && unit <= 0xDFFF) || unit > 0x10FFFF) {
            ADD_FAILURE() << "callback text holds a unit that is no Unicode scalar value";
            break;
        }
    }
    return std::wstring(text, length);
}
}  // namespace

recorder::recorder() { active = this; }
recorder::~recorder() { active = nullptr; }

qvse_callbacks_t recorder::table() const {
    qvse_callbacks_t table{};
    table.size = sizeof table;
    table.trace = &on_trace;
    table.context_trace = &on_context_trace;
    table.text_stage = &on_text_stage;
    table.uri_found = &on_uri_found;
    return table;
}

std::vector<trace_line> recorder::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<stage_report> recorder::stages() const {
    std::lock_guard lock(mutex_);
    return stages_;
}

std::vector<uri_report> recorder::uris() const {
    std::lock_guard lock(mutex_);
    return uris_;
}

void recorder::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
    stages_.clear();
    uris_.clear();
    reports_ = 0;
}

void recorder::add(trace_line line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
}

void recorder::on_trace(std::uint32_t level, const wchar_t* facility, std::size_t facility_length,
                        std::uint32_t indent, const wchar_t* text, std::size_t text_length) {
    if (auto* self = active.load())
        self->add({false, nullptr, level, terminated(facility, facility_length), indent,
                   terminated(text, text_length)});
}

void recorder::on_context_trace(void* context, std::uint32_t level, const wchar_t* facility,
                                std::size_t facility_length, std::uint32_t indent,
                                const wchar_t* text, std::size_t text_length) {
    if (auto* self = active.load())
        self->add({true, context, level, terminated(facility, facility_length), indent,
                   terminated(text, text_length)});
}

void recorder::on_text_stage(void* context, std::uint32_t stage, const wchar_t* text,
                             std::size_t length) {
    if (auto* self = active.load()) {
        stage_report report{0, context, stage, terminated(text, length)};
        std::lock_guard lock(self->mutex_);
        report.order = self->reports_++;
        self->stages_.push_back(std::move(report));
    }
}

void recorder::on_uri_found(void* context, std::uint32_t source, const wchar_t* uri,
                            std::size_t length) {
    if (auto* self = active.load()) {
        uri_report report{0, context, source, terminated(uri, length)};
        std::lock_guard lock(self->mutex_);
        report.order = self->reports_++;
        self->uris_.push_back(std::move(report));
    }
}

}  // namespace quorvane::testing
