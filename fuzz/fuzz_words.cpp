// Word segments of message text: the engine cuts ASCII stretches itself and
// hands the rest to ICU, and must find the segments ICU finds in the whole.
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/locale/boundary.hpp>

#include "coding.hpp"
#include "context/context.hpp"
#include "locale.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace engine = quorvane::engine;
    namespace boundary = boost::locale::boundary;
    const std::wstring text = engine::coding::to_wide({reinterpret_cast<const char*>(data), size});
    const auto index = engine::locale::index_words(text);
    const boundary::wssegment_index segments(boundary::word, text.begin(), text.end(),
                                             engine::locale::generate());
    std::size_t i = 0;
    for (const auto& segment : segments) {
        if (i == index.size()) __builtin_trap();
        const auto& found = index[i++];
        if (found.offset != static_cast<std::size_t>(segment.begin() - text.begin()) ||
            found.length != static_cast<std::size_t>(segment.end() - segment.begin()) ||
            found.rule != static_cast<std::uint32_t>(segment.rule()))
            __builtin_trap();
    }
    if (i != index.size()) __builtin_trap();
    return 0;
}
