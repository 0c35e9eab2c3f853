// The network layer over loopback against the stand-in server:
//   LookupThroughput   asynchronous lookups per second on the one strand, and
//                      the worker's CPU time per lookup (worker_us_per_lookup)
//   AddedLatency       end-to-end lookup latency minus the stand-in's bare UDP
//                      round trip, with 100 other requests in flight
//   Report1MB          one synchronous 1 MB report (by TCP)
//   ManyAnswers        one synchronous lookup of 50,000 fingerprints, each
//                      answered (a reply of about 400 KB of tiny answers)
#include <benchmark/benchmark.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include "callbacks.hpp"
#include "classification_server.hpp"
#include "coding.hpp"
#include "context/context.hpp"
#include "entry_table.hpp"
#include "network/network.hpp"
#include "network/protocol.hpp"

namespace {

namespace engine = quorvane::engine;
namespace network = quorvane::engine::network;
namespace stand_in = quorvane::standins::classification_server;
using clock_type = std::chrono::steady_clock;

constexpr wchar_t secret[] = L"bench-secret";

std::mutex done_mutex;
std::condition_variable done_changed;
std::size_t done = 0;
std::map<void*, clock_type::time_point> finished;

void on_completed(void* handle, std::uint32_t) {
    {
        std::lock_guard lock(done_mutex);
        ++done;
        finished[handle] = clock_type::now();
    }
    done_changed.notify_all();
}

void wait_done(std::size_t count) {
    std::unique_lock lock(done_mutex);
    done_changed.wait(lock, [&] { return done >= count; });
}

// CPU time of the network worker thread, from the scheduler's statistics.
std::chrono::nanoseconds worker_cpu() {
    DIR* tasks = opendir("/proc/self/task");
    std::chrono::nanoseconds total{0};
    if (tasks == nullptr) return total;
    while (dirent* entry = readdir(tasks)) {
        const std::string base = std::string("/proc/self/task/") + entry->d_name;
        std::ifstream comm(base + "/comm");
        std::string name;
        if (!std::getline(comm, name) || name != "qvse-network") continue;
        std::ifstream schedstat(base + "/schedstat");
        long long on_cpu = 0;
        schedstat >> on_cpu;
        total = std::chrono::nanoseconds(on_cpu);
    }
    closedir(tasks);
    return total;
}

struct engine_setup {
    engine_setup(std::size_t contexts) {
        engine::callbacks = qvse_callbacks_t{};
        engine::callbacks.size = sizeof(qvse_callbacks_t);
        engine::callbacks.network_completed = &on_completed;
        network::initialize();
        stand_in::options_type options;
        options.address = "127.0.0.1";
        server = std::make_unique<stand_in::server>(options);
        server->add_credential(1, 42, "bench-secret");
        server->add_record({2, std::string(16, '\x11'), 5, 0, 4, 1, 0, 0});
        slow = std::make_unique<stand_in::server>([] {
            stand_in::options_type slow_options;
            slow_options.address = "127.0.0.2";
            return slow_options;
        }());
        slow->add_credential(1, 42, "bench-secret");
        stand_in::faults_type parked;
        parked.delay = std::chrono::milliseconds(2000);
        slow->set_faults(parked);
        cells.resize(contexts);
        for (auto& cell : cells) {
            engine::context::create(&cell);
            network::authenticate(&cell, 1, 42, secret, std::wcslen(secret));
            engine::context::record_pointer record;
            engine::context::get(&cell, record);
            for (int k = 0; k < 5; ++k) {
                engine::hashes::digest digest;
                digest.bytes.fill(static_cast<std::uint8_t>(0x11 + k));
                record->fingerprints.emplace_back(engine::spam::fingerprint_type::text_chunk,
                                                  digest, L"d");
            }
        }
    }
    ~engine_setup() {
        network::shutdown();
        for (auto& cell : cells) engine::context::destroy(&cell);
        engine::callbacks = qvse_callbacks_t{};
    }
    void use(const stand_in::server& target, std::int64_t latency_ns = 100'000) {
        network::shutdown();
        network::initialize();
        network::restore_servers(stand_in::server_list({{&target, latency_ns}}));
    }
    std::unique_ptr<stand_in::server> server, slow;
    std::vector<long> cells;
};

void LookupThroughput(benchmark::State& state) {
    constexpr std::size_t window = 512, contexts = 1024;
    engine_setup setup(contexts);
    setup.use(*setup.server);
    std::size_t issued = 0;
    std::chrono::nanoseconds cpu{0};
    for (auto _ : state) {
        {
            std::lock_guard lock(done_mutex);
            done = 0;
        }
        const std::size_t count = 20000;
        const auto cpu_before = worker_cpu();
        for (std::size_t k = 0; k < count; ++k) {
            if (k >= window) wait_done(k - window + 1);
            network::lookup(&setup.cells[k % contexts], 5000, true);
        }
        wait_done(count);
        cpu += worker_cpu() - cpu_before;
        issued += count;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(issued));
    state.counters["lookups_per_s"] =
        benchmark::Counter(static_cast<double>(issued), benchmark::Counter::kIsRate);
    state.counters["worker_us_per_lookup"] =
        static_cast<double>(cpu.count()) / 1000.0 / static_cast<double>(issued);
}
BENCHMARK(LookupThroughput)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The bare round trip of one prebuilt lookup to the stand-in over UDP.
std::vector<double> raw_round_trips(const stand_in::server& target, int count) {
    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket(
        io, boost::asio::ip::udp::endpoint(boost::asio::ip::udp::v4(), 0));
    const boost::asio::ip::udp::endpoint to(boost::asio::ip::make_address(target.address()),
                                            target.port());
    std::vector<double> times;
    char reply[2048];
    for (int k = 0; k < count; ++k) {
        namespace protocol = network::protocol;
        protocol::header_type header;
        header.initialize(protocol::header_type::lookup, true);
        std::string payload, authentication, out;
        protocol::encode(payload, 5ull);
        for (int f = 0; f < 5; ++f) {
            protocol::encode(payload, 2u);
            payload.append(16, static_cast<char>(0x11 + f));
        }
        protocol::seal(header, "bench-secret", 1, 42, payload, authentication);
        protocol::encode(out, header);
        out += authentication + payload;
        const auto start = clock_type::now();
        socket.send_to(boost::asio::buffer(out), to);
        socket.receive(boost::asio::buffer(reply));
        times.push_back(
            std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
    }
    return times;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1,
                           static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

void AddedLatency(benchmark::State& state) {
    constexpr std::size_t parked = 100, measured = 2000;
    engine_setup setup(parked + 1);
    std::vector<double> engine_times, raw_times;
    for (auto _ : state) {
        // 100 requests wait at the slow server while the fast one is measured.
        setup.use(*setup.slow, 2'900'000'000);  // retry after 3 s: they stay in flight
        {
            std::lock_guard lock(done_mutex);
            done = 0;
        }
        for (std::size_t k = 0; k < parked; ++k) network::lookup(&setup.cells[k], 10000, true);
        network::restore_servers(stand_in::server_list({{setup.server.get(), 1}}));
        // The fast server is now first in every plan.
        void* handle = &setup.cells[parked];
        for (std::size_t k = 0; k < measured; ++k) {
            const auto start = clock_type::now();
            network::lookup(handle, 5000, false);
            engine_times.push_back(
                std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
        }
        raw_times = raw_round_trips(*setup.server, static_cast<int>(measured));
        wait_done(parked);
    }
    const double raw50 = percentile(raw_times, 0.5);
    state.counters["engine_p50_us"] = percentile(engine_times, 0.5);
    state.counters["engine_p99_us"] = percentile(engine_times, 0.99);
    state.counters["raw_p50_us"] = raw50;
    state.counters["added_p50_us"] = percentile(engine_times, 0.5) - raw50;
    state.counters["added_p99_us"] = percentile(engine_times, 0.99) - raw50;
}
BENCHMARK(AddedLatency)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void Report1MB(benchmark::State& state) {
    engine_setup setup(1);
    setup.use(*setup.server);
    void* handle = &setup.cells[0];
    const std::string message = "Subject: big\r\n\r\n" + std::string(1 << 20, 'r');
    {
        engine::context::record_pointer record;
        engine::context::get(handle, record);
        std::lock_guard lock(record->mutex);
        record->source = std::make_shared<std::istringstream>(message);
    }
    for (auto _ : state) {
        if (network::report(handle, true, 5000, false) != QVSE_OK)
            state.SkipWithError("report failed");
    }
}
BENCHMARK(Report1MB)->Unit(benchmark::kMillisecond)->UseRealTime();

void ManyAnswers(benchmark::State& state) {
    constexpr std::uint32_t count = 50'000;
    engine_setup setup(1);
    void* handle = &setup.cells[0];
    {
        engine::context::record_pointer record;
        engine::context::get(handle, record);
        std::lock_guard lock(record->mutex);
        record->fingerprints.clear();
        for (std::uint32_t k = 0; k < count; ++k) {
            engine::hashes::digest digest{};
            std::memcpy(digest.bytes.data(), &k, sizeof k);
            record->fingerprints.emplace_back(engine::spam::fingerprint_type::text_chunk, digest,
                                              L"d");
            setup.server->add_record(
                {2,
                 std::string(reinterpret_cast<const char*>(digest.bytes.data()),
                             digest.bytes.size()),
                 k + 1, 0, 0, 0, 0, 0});
        }
    }
    // A slow server as far as retries go: one attempt carries the whole reply.
    setup.use(*setup.server, 2'900'000'000);
    std::chrono::nanoseconds cpu{0};
    for (auto _ : state) {
        const auto cpu_before = worker_cpu();
        if (const unsigned result = network::lookup(handle, 30000, false); result != QVSE_OK)
            state.SkipWithError(("lookup failed: " + std::to_string(result)).c_str());
        cpu += worker_cpu() - cpu_before;
    }
    state.counters["worker_ms_per_lookup"] =
        static_cast<double>(cpu.count()) / 1e6 / static_cast<double>(state.iterations());
}
BENCHMARK(ManyAnswers)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
