// The stand-in's store as it grows: a lookup of a message's fingerprints
// (twenty digests and links, half of them known) and a report of one, in a
// store of 10,000 to 1,000,000 records. The time per call should not grow
// with the store; at the cap, the forgetting it pays for is included.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "store.hpp"

namespace {

namespace stand_in = quorvane::standins::classification_server;

std::string random_bytes(std::mt19937_64& random, std::size_t size) {
    std::string out(size, '\0');
    for (auto& c : out) c = static_cast<char>(random());
    return out;
}

std::vector<stand_in::fingerprint_type> message(std::mt19937_64& random) {
    std::vector<stand_in::fingerprint_type> out;
    for (int k = 0; k < 14; ++k) out.push_back({2, random_bytes(random, 16)});
    for (int k = 0; k < 6; ++k)
        out.push_back({64, "http://host" + std::to_string(random() % 5000) + ".example/path/" +
                               std::to_string(random() % 100000)});
    return out;
}

void LookUpAndReport(benchmark::State& state) {
    const auto records = static_cast<std::size_t>(state.range(0));
    stand_in::learning_store store(records);
    std::mt19937_64 random(1);
    std::vector<std::vector<stand_in::fingerprint_type>> known;
    while (store.size() + 20 < records) {
        auto fingerprints = message(random);
        store.look_up(fingerprints);
        if (random() % 4 == 0) store.learn(fingerprints, false);
        if (known.size() < 1000) known.push_back(std::move(fingerprints));
    }
    std::size_t k = 0;
    for (auto _ : state) {
        auto fingerprints = message(random);
        // Half known: fingerprints of an earlier message.
        for (std::size_t f = 0; f < fingerprints.size(); f += 2)
            fingerprints[f] = known[k % known.size()][f];
        benchmark::DoNotOptimize(store.look_up(fingerprints));
        if (++k % 4 == 0) store.learn(fingerprints, false);
    }
    state.counters["records"] = static_cast<double>(store.size());
}
BENCHMARK(LookUpAndReport)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
