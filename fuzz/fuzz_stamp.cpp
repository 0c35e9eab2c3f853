// "received" values from messages: any text parses to two addresses of four
// bytes or not at all, without a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <string>

#include "mime/grammars/stamp_grammar.hpp"
#include "wide_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace engine = quorvane::engine;
    // Values arrive decoded from UTF-8; feed raw 32-bit units too.
    const std::wstring wide = wide_input(data, size);
    engine::mime::stamp_type stamp;
    if (engine::mime::grammars::parse_stamp(wide, stamp) &&
        (stamp.from.size() != 4 || stamp.by.size() != 4))
        __builtin_trap();
    return 0;
}
