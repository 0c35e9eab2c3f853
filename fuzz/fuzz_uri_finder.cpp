// Plain text of a message part, as wide text decoded from UTF-8.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "coding.hpp"
#include "uri/finder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace engine = quorvane::engine;
    const std::wstring input =
        engine::coding::to_wide({reinterpret_cast<const char*>(data), size});
    std::wstring text = input;
    std::set<std::wstring> found;
    if (!engine::uri::extract(text, found)) __builtin_trap();
    // Cutting only removes: what is kept plus what was cut is never more.
    if (text.size() > input.size()) __builtin_trap();
    if (!found.empty() && text.size() == input.size()) __builtin_trap();
    return 0;
}
