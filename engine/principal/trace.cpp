#include "trace.hpp"

#include <string_view>

#include <boost/exception/diagnostic_information.hpp>

#include "../callbacks.hpp"
#include "../coding.hpp"
#include "../locale.hpp"

namespace quorvane::engine::principal {

namespace trace {

bool enabled() noexcept { return callbacks.trace != nullptr; }

void write(unsigned level, const std::wstring& facility, unsigned indent,
           const std::wstring& text) {
    const auto slot = callbacks.trace;
    if (slot == nullptr) return;
    locale::with_valid(text, [&](const std::wstring& valid) {
        slot(level, facility.c_str(), facility.size(), indent, valid.c_str(), valid.size());
    });
}

void write(unsigned level, const std::wstring& facility, unsigned indent,
           const boost::wformat& line) {
    write(level, facility, indent, line.str());
}

void current_exception(unsigned level, const std::wstring& facility, unsigned indent) {
    write(level, facility, indent, std::wstring(L"An exception has occured:"));
    const std::string report = boost::current_exception_diagnostic_information(true);
    std::string_view rest(report);
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        write(level, facility, indent + 1, coding::to_wide(line));
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
}

}  // namespace trace

}  // namespace quorvane::engine::principal
