// Links from messages to keys: any text must give a valid key or none.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "locale.hpp"
#include "uri/normalize.hpp"
#include "wide_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace engine = quorvane::engine;
    // Links arrive as wide text; feed raw 32-bit units too, surrogates and all.
    const std::wstring wide = wide_input(data, size);
    const auto key = engine::uri::key(wide);
    if (key && !engine::locale::is_valid(*key)) __builtin_trap();
    const auto transformed = engine::uri::transform(wide);
    if (key.has_value() != transformed.has_value()) __builtin_trap();
    return 0;
}
