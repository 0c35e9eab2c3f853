// Links from messages to keys: any text must give a valid key or none.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "coding.hpp"
#include "locale.hpp"
#include "uri/normalize.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace engine = quorvane::engine;
    // Links arrive as wide text; feed raw 32-bit units too, surrogates and all.
    std::wstring wide;
    if (size % 4 == 0 && size > 0 && data[0] == 0xFF) {
        wide.resize((size - 4) / 4);
        std::memcpy(wide.data(), data + 4, size - 4);
    } else {
        wide = engine::coding::to_wide({reinterpret_cast<const char*>(data), size});
    }
    const auto key = engine::uri::key(wide);
    if (key && !engine::locale::is_valid(*key)) __builtin_trap();
    const auto transformed = engine::uri::transform(wide);
    if (key.has_value() != transformed.has_value()) __builtin_trap();
    return 0;
}
