// The stand-in classification server reads lookups from any client and its
// store file and journal from disk: all go through its store, whose link
// index finds the keys that cover hostile ones, with a small cap so
// forgetting runs too.
//
// The first byte chooses: 1 (mod 4), the rest is a store file's text; 3, a
// journal's; even, it is lookup payloads separated by 0xFF bytes, each
// looked up and then reported (or revoked).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>

#include "store.hpp"
#include "store_file.hpp"
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
            if (data[0] & 2) {
                for (const auto& record : stand_in::parse_journal(in, "fuzz")) store.merge(record);
            } else {
                store.restore(stand_in::parse_store(in, "fuzz"));
            }
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
    for (const auto& record : store.records()) {
        // What was read back is written alike.
        std::string line;
        stand_in::append_record_line(line, record);
        std::istringstream again(line + "\n");
        const auto read = stand_in::parse_journal(again, "fuzz");
        if (read.size() != 1 || read[0].data != record.data || read[0].reports != record.reports)
            std::abort();
        if (record.category == 64) (void)store.look_up({{64, record.data + "/more"}});
    }
    return 0;
}
