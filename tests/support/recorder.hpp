// A callback table that records what the engine hands to the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "qvse_types.h"

namespace quorvane::testing {

struct trace_line {
    bool has_context = false;
    void* context = nullptr;
    std::uint32_t level = 0;
    std::wstring facility;
    std::uint32_t indent = 0;
    std::wstring text;
};

// One text_stage report.
struct stage_report {
    std::size_t order = 0;  // among all stage and URI reports
    void* context = nullptr;
    std::uint32_t stage = 0;
    std::wstring text;
};

// One uri_found report.
struct uri_report {
    std::size_t order = 0;  // among all stage and URI reports
    void* context = nullptr;
    std::uint32_t source = 0;
    std::wstring uri;
};

// One recorder is active at a time; the table's slots write into it.
class recorder {
public:
    recorder();
    ~recorder();
    recorder(const recorder&) = delete;
    recorder& operator=(const recorder&) = delete;

    // A table with every slot this recorder knows set.
    qvse_callbacks_t table() const;

    std::vector<trace_line> lines() const;
    std::vector<stage_report> stages() const;
    std::vector<uri_report> uris() const;
    // Forgets everything recorded.
    void clear();

private:
    static void on_trace(std::uint32_t, const wchar_t*, std::size_t, std::uint32_t, const wchar_t*,
                         std::size_t);
    static void on_context_trace(void*, std::uint32_t, const wchar_t*, std::size_t, std::uint32_t,
                                 const wchar_t*, std::size_t);
    static void on_text_stage(void*, std::uint32_t, const wchar_t*, std::size_t);
    static void on_uri_found(void*, std::uint32_t, const wchar_t*, std::size_t);
    void add(trace_line line);

    mutable std::mutex mutex_;
    std::vector<trace_line> lines_;
    std::vector<stage_report> stages_;
    std::vector<uri_report> uris_;
    std::size_t reports_ = 0;
};

}  // namespace quorvane::testing
