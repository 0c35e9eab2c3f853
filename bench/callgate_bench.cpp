// What the gateway adds to a forwarded call, alone and with 8 threads calling
// at once. The engine is the tests' fake, whose network::connect does nothing,
// so the time is the gateway's; "direct" calls that entry without the gateway.
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <stdlib.h>

#include <filesystem>
#include <shared_mutex>
#include <string>

#include "callgate.h"

namespace {

namespace fs = std::filesystem;

using connect_function = unsigned (*)(const wchar_t*, std::size_t);

// The gateway, loaded once for all benchmarks from a scratch copy of the fake.
struct gateway_type {
    gateway_type() {
        std::string pattern = (fs::temp_directory_path() / "qvcg-bench-XXXXXX").string();
        directory = ::mkdtemp(pattern.data());
        fs::copy_file(fs::path(QV_FAKE_V1_DIR) / QVSE_ENGINE_LIBRARY_NAME,
                      directory / QVSE_ENGINE_LIBRARY_NAME);
        qvse_callbacks_t table{};
        table.size = sizeof table;
        const std::string text = directory.string();
        if (QVSE_Engine_Initialize(text.data(), text.size(), &table) != QVSE_OK) std::abort();
        // The same mapping the gateway uses, for the direct calls.
        library = ::dlopen((directory / QVSE_ENGINE_LIBRARY_NAME).c_str(), RTLD_NOW | RTLD_NOLOAD);
        using resolve_function = const void* (*)(const char*, std::size_t, unsigned);
        const auto resolve = reinterpret_cast<resolve_function>(::dlsym(library, "resolve"));
        connect = reinterpret_cast<connect_function>(
            const_cast<void*>(resolve("network::connect", 16, 0)));
    }
    ~gateway_type() {
        ::dlclose(library);
        QVSE_Engine_Shutdown();
        fs::remove_all(directory);
    }

    fs::path directory;
    void* library = nullptr;
    connect_function connect = nullptr;
};

gateway_type& gateway() {
    static gateway_type instance;
    return instance;
}

void direct(benchmark::State& state) {
    const auto connect = gateway().connect;
    for (auto _ : state) benchmark::DoNotOptimize(connect(L"x", 1));
}

void forwarded(benchmark::State& state) {
    gateway();
    for (auto _ : state) benchmark::DoNotOptimize(QVSE_Network_Connect(L"x", 1));
}

// For comparison: the same two shared locks as std::shared_mutex.
void std_shared_mutex(benchmark::State& state) {
    static std::shared_mutex loader, engine;
    const auto connect = gateway().connect;
    for (auto _ : state) {
        std::shared_lock first(loader);
        std::shared_lock second(engine);
        benchmark::DoNotOptimize(connect(L"x", 1));
    }
}

BENCHMARK(direct)->ThreadRange(1, 8)->UseRealTime();
BENCHMARK(forwarded)->ThreadRange(1, 8)->UseRealTime();
BENCHMARK(std_shared_mutex)->ThreadRange(1, 8)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
