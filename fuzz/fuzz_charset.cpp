// Bytes of a message part in a charset named by the first input byte.
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "coding.hpp"
#include "locale.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace engine = quorvane::engine;
    static constexpr std::string_view charsets[] = {
        "utf-8",     "iso-8859-1", "windows-1252", "koi8-r", "gbk",   "gb18030",   "big5",
        "shift_jis", "euc-kr",     "iso-2022-jp",  "utf-16", "utf-7", "x-unknown", ""};
    if (size == 0) return 0;
    const auto charset = charsets[data[0] % std::size(charsets)];
    const auto decoded =
        engine::coding::decode({reinterpret_cast<const char*>(data + 1), size - 1}, charset);
    if (!engine::locale::is_valid(decoded.text)) __builtin_trap();
    return 0;
}
