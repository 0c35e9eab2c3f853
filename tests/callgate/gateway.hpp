// What the gateway tests share: a scratch engine directory holding a copy of
// a fake engine, the version the gateway reports, and a callback table that
// records trace lines and update_completed.
#pragma once

#include <dlfcn.h>
#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "callgate.h"
#include "support/recorder.hpp"

namespace quorvane::testing {

inline const std::filesystem::path fake_v1 = QV_FAKE_V1_DIR;
inline const std::filesystem::path fake_v2 = QV_FAKE_V2_DIR;

// A fresh directory, removed with everything in it.
class scratch_directory {
public:
    scratch_directory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qvcg-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~scratch_directory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }
    std::string string() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

// A directory holding the fake engine of the given build folder.
inline void install_engine(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::filesystem::copy_file(from / QVSE_ENGINE_LIBRARY_NAME, to / QVSE_ENGINE_LIBRARY_NAME,
                               std::filesystem::copy_options::overwrite_existing);
}

inline void touch_file(const std::filesystem::path& path, const std::string& content = "") {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return;
    std::fputs(content.c_str(), file);
    std::fclose(file);
}

struct version_type {
    unsigned result = 0;
    std::wstring name;
    unsigned reloads = 0;
};

inline version_type engine_version() {
    wchar_t name[32];
    wchar_t description[32];
    std::size_t name_length = 32, description_length = 32;
    version_type version;
    version.result = QVSE_Engine_GetVersion(name, &name_length, description, &description_length);
    if (version.result == QVSE_OK) {
        version.name.assign(name, name_length);
        version.reloads =
            static_cast<unsigned>(std::stoul(std::wstring(description, description_length)));
    }
    return version;
}

inline std::atomic<int> updates_completed{0};
inline std::atomic<bool> completed_on_caller{false};
inline std::atomic<std::thread::id> caller_thread;

inline qvse_callbacks_t gateway_table(const recorder& lines) {
    qvse_callbacks_t table = lines.table();
    table.update_completed = [] {
        if (std::this_thread::get_id() == caller_thread) completed_on_caller = true;
        ++updates_completed;
    };
    return table;
}

inline unsigned initialize(const std::filesystem::path& directory, const qvse_callbacks_t& table) {
    caller_thread = std::this_thread::get_id();
    const std::string text = directory.string();
    return QVSE_Engine_Initialize(text.data(), text.size(), &table);
}

inline unsigned update(const std::filesystem::path& directory) {
    const std::string text = directory.string();
    return QVSE_Engine_Update(text.data(), text.size());
}

}  // namespace quorvane::testing

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace quorvane::testing {

// Fails the whole test program when a test hangs (a deadlock).
class watchdog {
public:
    explicit watchdog(std::chrono::seconds limit)
        : thread_([this, limit] {
              std::unique_lock lock(mutex_);
              if (!done_condition_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "watchdog: no progress for %lld s, deadlock?\n",
                               static_cast<long long>(limit.count()));
                  std::abort();
              }
          }) {}
    ~watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        done_condition_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_condition_;
    bool done_ = false;
    std::thread thread_;
};

// Polls until the condition holds or the limit passes.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The loader still holds the library at path.
inline bool loaded(const std::filesystem::path& library) {
    void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    ::dlclose(handle);
    return true;
}

// The file at path is mapped in this process. Unlike loaded() this takes no
// reference, so it cannot race with the gateway's own unload.
inline bool mapped(const std::filesystem::path& library) {
    std::ifstream maps("/proc/self/maps");
    const std::string wanted = " " + library.string();
    for (std::string line; std::getline(maps, line);)
        if (line.size() >= wanted.size() &&
            line.compare(line.size() - wanted.size(), wanted.size(), wanted) == 0)
            return true;
    return false;
}

}  // namespace quorvane::testing
