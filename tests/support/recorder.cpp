#include "recorder.hpp"

#include <atomic>
#include <cwchar>

#include <gtest/gtest.h>

namespace quorvane::testing {

namespace {
std::atomic<recorder*> active{nullptr};

// Callbacks get NUL-terminated text; check that promise while recording.
std::wstring terminated(const wchar_t* text, std::size_t length) {
    if (text[length] != L'\0') ADD_FAILURE() << "callback text is not NUL-terminated";
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
    return table;
}

std::vector<trace_line> recorder::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

void recorder::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
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

}  // namespace quorvane::testing
