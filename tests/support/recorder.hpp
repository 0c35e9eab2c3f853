// A callback table that records what the engine hands to the host.
#pragma once

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
    void clear();

private:
    static void on_trace(std::uint32_t, const wchar_t*, std::size_t, std::uint32_t,
                         const wchar_t*, std::size_t);
    static void on_context_trace(void*, std::uint32_t, const wchar_t*, std::size_t,
                                 std::uint32_t, const wchar_t*, std::size_t);
    void add(trace_line line);

    mutable std::mutex mutex_;
    std::vector<trace_line> lines_;
};

}  // namespace quorvane::testing
