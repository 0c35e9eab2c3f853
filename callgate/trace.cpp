#include "trace.hpp"

#include <cwchar>
#include <locale>

#include <boost/exception/diagnostic_information.hpp>

#include "callbacks.hpp"

namespace quorvane::callgate::trace {

void write(unsigned level, const std::wstring& facility, unsigned indent,
           const std::wstring& text) {
    const auto slot = callbacks.trace;
    if (slot == nullptr) return;
    slot(level, facility.c_str(), facility.size(), indent, text.c_str(), text.size());
}

void write(unsigned level, const std::wstring& facility, unsigned indent,
           const boost::wformat& line) {
    if (callbacks.trace == nullptr) return;
    write(level, facility, indent, line.str());
}

void current_exception(unsigned level, const std::wstring& facility, unsigned indent) {
    write(level, facility, indent, std::wstring(L"An exception has occured:"));
    const std::string report = boost::current_exception_diagnostic_information(true);
    std::string_view rest(report);
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        write(level, facility, indent + 1, widened(rest.substr(0, end)));
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
}

std::wstring widened(std::string_view text) {
    const auto& facet = std::use_facet<std::ctype<wchar_t>>(std::locale());
    std::wstring wide;
    wide.reserve(text.size());
    for (const char byte : text) {
        const wchar_t character = facet.widen(byte);
        wide.push_back(character == static_cast<wchar_t>(WEOF) ? L'\uFFFD' : character);
    }
    return wide;
}

}  // namespace quorvane::callgate::trace
