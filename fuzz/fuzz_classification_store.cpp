// The stand-in classification server reads lookups from any client and its
// store file from disk: both go through its store, whose link index splits
// and merges on hostile keys, with a small cap so forgetting runs too.
//
// The first byte chooses: odd, the rest is a store file's text; even, it is
// lookup payloads separated by 0xFF bytes, each looked up and then reported
// (or revoked).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>

#include "store.hpp"
#include "wire.hpp"

namespace stand_in = quorvane::standins::classification_server;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    constexpr std::size_t capacity = 16;
    stand_in::learning_store store(capacity);
    if (data[0] & 1) {
        std::istringstream in(input);
        try {
            store.restore(stand_in::parse_store(in, "fuzz"));
        } catch (const std::runtime_error&) {
            return 0;
        }
    } else {
        std::size_t from = 0;
        while (from <= input.size()) {
            std::size_t to = input.find('\xFF', from);
            if (to == std::string::npos) to = input.size();
            if (const auto fingerprints =
                    stand_in::wire::read_lookup(input.substr(from, to - from))) {
                if (store.look_up(*fingerprints).size() != fingerprints->size()) std::abort();
                store.learn(*fingerprints, (to - from) % 2 == 1);
            }
            from = to + 1;
        }
    }
    if (store.size() > capacity) std::abort();
    for (const auto& record : store.records())
        if (record.category == 64) (void)store.look_up({{64, record.data + "/more"}});
    return 0;
}
