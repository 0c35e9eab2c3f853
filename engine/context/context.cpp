#include "context.hpp"

#include <shared_mutex>

#include "../callbacks.hpp"
#include "../entry_table.hpp"
#include "../frame.hpp"
#include "../locale.hpp"
#include "../principal/trace.hpp"
#include "../lasting.hpp"

namespace quorvane::engine::context {

const std::wstring& facility = lasting::make<const std::wstring>(L"Context");

namespace {

// Lock order: handle_mutex before any record's mutex. Nobody waits for
// handle_mutex while holding a record's mutex.
std::shared_mutex& handle_mutex = lasting::make<std::shared_mutex>();
using handle_map_type = std::map<void*, record_pointer, std::less<>>;
handle_map_type& handle_map = lasting::make<handle_map_type>();

}  // namespace

unsigned create(void* handle) {
    return frame(facility, [&]() -> unsigned {
        auto record = std::make_shared<record_type>(handle);
        std::unique_lock lock(handle_mutex);
        return handle_map.try_emplace(handle, std::move(record)).second ? QVSE_OK : QVSE_E_IN_USE;
    });
}

unsigned destroy(void* handle) {
    return frame(facility, [&]() -> unsigned {
        record_pointer doomed;
        {
            std::unique_lock lock(handle_mutex);
            const auto found = handle_map.find(handle);
            if (found == handle_map.end()) return QVSE_E_UNKNOWN_CONTEXT;
            // Never wait for a busy record: the host retries.
            std::unique_lock record_lock(found->second->mutex, std::try_to_lock);
            if (!record_lock.owns_lock() || found->second.use_count() != 1) return QVSE_E_IN_USE;
            record_lock.unlock();
            doomed = std::move(found->second);
            handle_map.erase(found);
        }
        // The record (part tree, lists, source) is freed outside the map lock.
        doomed.reset();
        return QVSE_OK;
    });
}

bool drained() {
    std::unique_lock lock(handle_mutex);
    return handle_map.empty();
}

unsigned get(void* handle, record_pointer& out) {
    return frame(facility, [&]() -> unsigned {
        std::shared_lock lock(handle_mutex);
        const auto found = handle_map.find(handle);
        if (found == handle_map.end()) return QVSE_E_UNKNOWN_CONTEXT;
        out = found->second;
        return QVSE_OK;
    });
}

namespace trace {

bool enabled(const record_pointer& record) noexcept {
    return record ? callbacks.context_trace != nullptr : principal::trace::enabled();
}

void write(const record_pointer& record, unsigned level, const std::wstring& facility,
           unsigned indent, const std::wstring& text) {
    if (!record) {
        principal::trace::write(level, facility, indent, text);
        return;
    }
    const auto slot = callbacks.context_trace;
    if (slot == nullptr) return;
    locale::with_valid(text, [&](const std::wstring& valid) {
        slot(record->handle, level, facility.c_str(), facility.size(), indent, valid.c_str(),
             valid.size());
    });
}

void write(const record_pointer& record, unsigned level, const std::wstring& facility,
           unsigned indent, const boost::wformat& line) {
    write(record, level, facility, indent, line.str());
}

}  // namespace trace

}  // namespace quorvane::engine::context
