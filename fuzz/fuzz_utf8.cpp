// Narrow text from outside (trace reports, later message bytes) to wide text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "coding.hpp"
#include "locale.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace engine = quorvane::engine;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::wstring wide = engine::coding::to_wide(bytes);
    if (!engine::locale::is_valid(wide)) __builtin_trap();
    const std::string back = engine::coding::to_utf8(wide);
    if (engine::coding::to_wide(back) != wide) __builtin_trap();
    return 0;
}
