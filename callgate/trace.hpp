// The gateway's own log lines, delivered to the host's trace slot.
#pragma once

#include <string>
#include <string_view>

#include <boost/format.hpp>

namespace quorvane::callgate::trace {

// Dropped when the table has no trace slot.
void write(unsigned level, const std::wstring& facility, unsigned indent, const std::wstring& text);
void write(unsigned level, const std::wstring& facility, unsigned indent,
           const boost::wformat& line);

// Inside an exception handler: "An exception has occured:" at indent, then
// each line of the exception's diagnostic text at indent + 1.
void current_exception(unsigned level, const std::wstring& facility, unsigned indent);

// The gateway's report of the exception being handled: at QVSE_TRACE_ERROR,
// facility "Callgate", indent 0. A report that fails itself is dropped.
void gateway_exception() noexcept;

// Narrow text as wide, one character per byte through the global locale's
// facet; a byte the locale cannot widen becomes U+FFFD.
std::wstring widened(std::string_view text);

// Paths and file names, which are UTF-8, as wide text; an invalid sequence
// becomes U+FFFD.
std::wstring from_utf8(std::string_view text);

}  // namespace quorvane::callgate::trace
