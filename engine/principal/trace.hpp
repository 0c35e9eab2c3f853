// Trace lines about the engine as a whole, delivered to the host's trace slot.
#pragma once

#include <string>

#include <boost/format.hpp>

namespace quorvane::engine::principal {

extern const std::wstring& facility;

namespace trace {

// Whether an engine line would reach the host: callers skip composing lines
// that would be dropped.
bool enabled() noexcept;

void write(unsigned level, const std::wstring& facility, unsigned indent, const std::wstring& text);
void write(unsigned level, const std::wstring& facility, unsigned indent,
           const boost::wformat& line);

// Inside an exception handler: the heading "An exception has occured:" and
// the exception's diagnostic lines one level deeper, always to trace.
void current_exception(unsigned level, const std::wstring& facility, unsigned indent);

}  // namespace trace

}  // namespace quorvane::engine::principal
