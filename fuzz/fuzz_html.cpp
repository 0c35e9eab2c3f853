// HTML of a message part, as wide text decoded from UTF-8.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "coding.hpp"
#include "html/html.hpp"
#include "locale.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace engine = quorvane::engine;
    const std::wstring input = engine::coding::to_wide({reinterpret_cast<const char*>(data), size});
    std::wstring output;
    std::set<std::wstring> links;
    if (!engine::html::convert(input, output, links)) __builtin_trap();
    // References never bring in what is not a character.
    if (!engine::locale::is_valid(output)) __builtin_trap();
    for (const auto& link : links)
        if (!engine::locale::is_valid(link) || link.size() > input.size()) __builtin_trap();
    return 0;
}
