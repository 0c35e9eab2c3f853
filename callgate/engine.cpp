#include "engine.hpp"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <string_view>
#include <system_error>

#include "facility.hpp"
#include "trace.hpp"

namespace quorvane::callgate {

namespace {

// The dynamic loader orders its own work; taking this around every open and
// close makes that order visible to thread checkers too, which otherwise
// see one library's initialisers write where an unloaded one lay.
std::mutex loader_calls;

void* open_library(const std::string& path) {
    std::lock_guard lock(loader_calls);
    return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

int close_handle(void* library) {
    std::lock_guard lock(loader_calls);
    return ::dlclose(library);
}

// The loader's error text is read before any line goes out: a trace callback
// that opens a library would replace it.
std::wstring loader_error() {
    const char* error = ::dlerror();
    return trace::widened(error ? error : "");
}

void trace_loader_error(const std::wstring& heading, const std::wstring& error) {
    trace::write(QVSE_TRACE_FAILURE, facility, 0, heading);
    trace::write(QVSE_TRACE_FAILURE, facility, 1, error);
}

// Closes and clears before the line goes out: a trace callback may call the
// engine. The handle stays when dlclose fails.
unsigned close_library(void*& library) {
    if (close_handle(library) != 0) {
        trace_loader_error(L"dlclose() failed:", loader_error());
        return QVSE_E_FAILED;
    }
    library = nullptr;
    trace::write(QVSE_TRACE_DETAIL, facility, 0, std::wstring(L"dlclose() succeeded"));
    return QVSE_OK;
}

}  // namespace

unsigned engine_type::directory(const char* data, std::size_t length) {
    if (data == nullptr) return QVSE_E_INVALID_ARGUMENT;
    namespace fs = std::filesystem;
    const std::string text(data, length);
    if (text.find('\0') != std::string::npos) return QVSE_E_INVALID_ARGUMENT;
    directory_ =
        (text.empty() ? fs::current_path() : fs::absolute(text)).lexically_normal().string();
    while (directory_.size() > 1 && directory_.back() == '/') directory_.pop_back();
    std::error_code error;
    const auto status = fs::status(directory_, error);
    if (error || !fs::exists(status)) {
        trace::write(
            QVSE_TRACE_FAILURE, facility, 0,
            boost::wformat(L"Directory \"%1%\" does not exist") % trace::from_utf8(directory_));
        return QVSE_E_NOT_FOUND;
    }
    if (!fs::is_directory(status)) {
        trace::write(QVSE_TRACE_FAILURE, facility, 0,
                     boost::wformat(L"\"%1%\" is not a directory") % trace::from_utf8(directory_));
        return QVSE_E_NOT_FOUND;
    }
    return QVSE_OK;
}

std::string engine_type::library_path() const {
    return directory_ + "/" + QVSE_ENGINE_LIBRARY_NAME;
}

unsigned engine_type::load() {
    const std::string path = library_path();
    struct ::stat file {};
    if (::stat(path.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) return QVSE_E_NOT_FOUND;

    // The engine counts as loaded only once every entry is bound, so that a
    // call made from a trace callback meanwhile finds it not loaded.
    void* library = open_library(path);
    if (library == nullptr) {
        const std::wstring error = loader_error();
        trace_loader_error(
            (boost::wformat(L"dlopen(\"%1%\") failed:") % trace::from_utf8(path)).str(), error);
        return QVSE_E_FAILED;
    }
    trace::write(QVSE_TRACE_DETAIL, facility, 0,
                 boost::wformat(L"dlopen(\"%1%\") succeeded") % trace::from_utf8(path));

    const auto resolve = reinterpret_cast<resolve_function>(::dlsym(library, "resolve"));
    if (resolve != nullptr)
        trace::write(QVSE_TRACE_DETAIL, facility, 0, std::wstring(L"dlsym(\"resolve\") succeeded"));
    else
        trace_loader_error(L"dlsym(\"resolve\") failed:", loader_error());

    bool complete = resolve != nullptr;
    entries_type bound;
    if (complete) {
        // A library without network::touch still loads; the forwarder checks.
#define QVCG_BIND_ENTRY(component, name, result, parameters, arguments)                  \
    {                                                                                    \
        constexpr std::string_view entry_name = #component "::" #name;                   \
        bound.component##_##name = reinterpret_cast<decltype(bound.component##_##name)>( \
            const_cast<void*>(resolve(entry_name.data(), entry_name.size(), 0)));        \
        if (bound.component##_##name == nullptr && entry_name != "network::touch")       \
            complete = false;                                                            \
    }
        QVSE_ENGINE_ENTRIES(QVCG_BIND_ENTRY)
#undef QVCG_BIND_ENTRY
    }
    if (complete) {
        entries = bound;
        device_ = file.st_dev;
        inode_ = file.st_ino;
        library_ = library;
        return QVSE_OK;
    }

    trace::write(QVSE_TRACE_FAILURE, facility, 0, std::wstring(L"resolve() function failed"));
    close_library(library);
    return QVSE_E_FAILED;
}

unsigned engine_type::unload() {
    void* library = library_;
    library_ = nullptr;
    const entries_type bound = entries;
    entries = {};
    if (const unsigned result = close_library(library)) {
        library_ = library;
        entries = bound;
        return result;
    }
    return QVSE_OK;
}

bool engine_type::replaced() const {
    struct ::stat file {};
    if (::stat(library_path().c_str(), &file) != 0 || !S_ISREG(file.st_mode)) return false;
    return file.st_dev != device_ || file.st_ino != inode_;
}

}  // namespace quorvane::callgate
