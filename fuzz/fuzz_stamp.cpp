// "received" values from messages: any text parses to two addresses of four
// bytes or not at all, without a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "coding.hpp"
#include "mime/grammars/stamp_grammar.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace engine = quorvane::engine;
    // Values arrive decoded from UTF-8; feed raw 32-bit units too.
    std::wstring wide;
    if (size % 4 == 0 && size > 0 && data[0] == 0xFF) {
        wide.resize((size - 4) / 4);
        std::memcpy(wide.data(), data + 4, size - 4);
    } else {
        wide = engine::coding::to_wide({reinterpret_cast<const char*>(data), size});
    }
    engine::mime::stamp_type stamp;
    if (engine::mime::grammars::parse_stamp(wide, stamp) &&
        (stamp.from.size() != 4 || stamp.by.size() != 4))
        __builtin_trap();
    return 0;
}
