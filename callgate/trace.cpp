#include "trace.hpp"

#include <cwchar>
#include <locale>

#include <boost/exception/diagnostic_information.hpp>

#include "callbacks.hpp"
#include "facility.hpp"

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

void gateway_exception() noexcept {
    try {
        current_exception(QVSE_TRACE_ERROR, facility, 0);
    } catch (...) {
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

std::wstring from_utf8(std::string_view text) {
    std::wstring wide;
    wide.reserve(text.size());
    const auto* byte = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = byte + text.size();
    while (byte != end) {
        const unsigned lead = *byte++;
        unsigned count = 0;
        char32_t code = lead;
        char32_t least = 0;
        if (lead >= 0xF0 && lead <= 0xF4)
            count = 3, code = lead & 0x07, least = 0x10000;
        else if (lead >= 0xE0 && lead <= 0xEF)
            count = 2, code = lead & 0x0F, least = 0x800;
        else if (lead >= 0xC2 && lead <= 0xDF)
            count = 1, code = lead & 0x1F, least = 0x80;
        else if (lead >= 0x80)
            code = 0xFFFD;
        for (; count != 0; --count) {
            if (byte == end || (*byte & 0xC0) != 0x80) {
                code = 0xFFFD;
                break;
            }
            code = (code << 6) | (*byte++ & 0x3F);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
        wide.push_back(static_cast<wchar_t>(code));
    }
    return wide;
}

}  // namespace quorvane::callgate::trace
