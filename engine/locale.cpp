#include "locale.hpp"

#include <algorithm>

#include <boost/locale/generator.hpp>
#include <boost/locale/localization_backend.hpp>

namespace quorvane::engine::locale {

namespace {

const std::locale& engine_locale() {
    static const std::locale instance = [] {
        auto manager = boost::locale::localization_backend_manager::global();
        manager.select("icu");
        boost::locale::generator generator(manager);
        return generator("en_US.UTF-8");
    }();
    return instance;
}

}  // namespace

std::locale generate() { return engine_locale(); }

bool is_valid(std::wstring_view text) noexcept {
    return std::all_of(text.begin(), text.end(), is_scalar_value);
}

std::wstring& sanitize(std::wstring& text) noexcept {
    std::replace_if(
        text.begin(), text.end(), [](wchar_t c) { return !is_scalar_value(c); },
        replacement_character);
    return text;
}

std::wstring sanitized(std::wstring_view text) {
    std::wstring copy(text);
    sanitize(copy);
    return copy;
}

}  // namespace quorvane::engine::locale
