// A stand-in for the engine library, built in two versions. It keeps its
// contexts in a set, reports its version and a reload counter (the version
// entry's description) that travels in the state buffer and rises by one on
// each resume. Switches are files next to the library: "fail-initialize",
// "fail-suspend", "fail-shutdown", "fail-resume", and "missing-<entry name>"
// to make resolve answer null for that entry.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "qvse_types.h"

namespace {

qvse_callbacks_t host{};
std::mutex mutex;
std::set<void*> contexts;
std::set<void*> bound;
unsigned reloads = 0;

std::string own_directory() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<const void*>(&own_directory), &info) == 0 || !info.dli_fname)
        return ".";
    const std::string path = info.dli_fname;
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool switched(std::string_view name) {
    struct ::stat entry {};
    return ::stat((own_directory() + "/" + std::string(name)).c_str(), &entry) == 0;
}

void trace(const std::wstring& text) {
    static const std::wstring facility = L"Principal";
    if (host.trace)
        host.trace(QVSE_TRACE_INFO, facility.c_str(), facility.size(), 0, text.c_str(),
                   text.size());
}

unsigned initialize(const char* directory, std::size_t, const qvse_callbacks_t& callbacks) {
    if (directory == nullptr || callbacks.size != sizeof callbacks) return QVSE_E_INVALID_ARGUMENT;
    host = callbacks;
    trace(L"Fake engine " FAKE_ENGINE_VERSION " initialised");
    return switched("fail-initialize") ? QVSE_E_FAILED : QVSE_OK;
}

unsigned shutdown() {
    if (switched("fail-shutdown")) return QVSE_E_FAILED;
    host = {};
    return QVSE_OK;
}

unsigned suspend(void*& state, std::size_t& size) {
    if (switched("fail-suspend")) return QVSE_E_FAILED;
    const std::string text = std::to_string(reloads);
    size = text.size();
    state = std::malloc(size);
    if (state == nullptr) return QVSE_E_OUT_OF_MEMORY;
    std::memcpy(state, text.data(), size);
    return QVSE_OK;
}

unsigned resume(void* state, std::size_t size) {
    if (state == nullptr || size == 0) return QVSE_OK;
    const std::string text(static_cast<const char*>(state), size);
    std::free(state);
    reloads = static_cast<unsigned>(std::stoul(text)) + 1;
    return switched("fail-resume") ? QVSE_E_FAILED : QVSE_OK;
}

unsigned version(wchar_t* version, std::size_t& version_length, wchar_t* description,
                 std::size_t& description_length) {
    if ((version == nullptr && version_length != 0) ||
        (description == nullptr && description_length != 0))
        return QVSE_E_INVALID_ARGUMENT;
    const std::wstring_view name = FAKE_ENGINE_VERSION;
    const std::wstring counter = std::to_wstring(reloads);
    const bool fits = version_length >= name.size() && description_length >= counter.size();
    version_length = name.size();
    description_length = counter.size();
    if (!fits) return QVSE_E_BUFFER_TOO_SMALL;
    name.copy(version, name.size());
    counter.copy(description, counter.size());
    return QVSE_OK;
}

bool drained() {
    std::lock_guard lock(mutex);
    return contexts.empty();
}

unsigned create(void* handle) {
    std::lock_guard lock(mutex);
    return contexts.insert(handle).second ? QVSE_OK : QVSE_E_IN_USE;
}

unsigned destroy(void* handle) {
    std::lock_guard lock(mutex);
    bound.erase(handle);
    return contexts.erase(handle) != 0 ? QVSE_OK : QVSE_E_UNKNOWN_CONTEXT;
}

unsigned known(void* handle) {
    std::lock_guard lock(mutex);
    return contexts.count(handle) != 0 ? QVSE_OK : QVSE_E_UNKNOWN_CONTEXT;
}

unsigned bind(void* handle) {
    std::lock_guard lock(mutex);
    if (contexts.count(handle) == 0) return QVSE_E_UNKNOWN_CONTEXT;
    return bound.insert(handle).second ? QVSE_OK : QVSE_E_MESSAGE_BOUND;
}

unsigned with_message(void* handle) {
    std::lock_guard lock(mutex);
    if (contexts.count(handle) == 0) return QVSE_E_UNKNOWN_CONTEXT;
    return bound.count(handle) != 0 ? QVSE_OK : QVSE_E_NO_MESSAGE;
}

unsigned bind_stream(void* handle) {
    return host.stream_read ? bind(handle) : unsigned(QVSE_E_INVALID_ARGUMENT);
}
unsigned bind_buffer(void* handle, const char* data, std::size_t) {
    return data ? bind(handle) : unsigned(QVSE_E_INVALID_ARGUMENT);
}
unsigned bind_file(void* handle, const char* path, std::size_t) {
    return path ? bind(handle) : unsigned(QVSE_E_INVALID_ARGUMENT);
}
unsigned connect(const wchar_t* host_name, std::size_t) {
    return host_name ? unsigned(QVSE_OK) : unsigned(QVSE_E_INVALID_ARGUMENT);
}
unsigned authenticate(void* handle, unsigned, unsigned, const wchar_t* key, std::size_t) {
    return key ? known(handle) : unsigned(QVSE_E_INVALID_ARGUMENT);
}
unsigned lookup(void* handle, unsigned timeout, bool) {
    return timeout ? known(handle) : unsigned(QVSE_E_INVALID_ARGUMENT);
}
unsigned touch(void* handle, unsigned value, unsigned timeout, bool) {
    return timeout && value <= 100 ? known(handle) : unsigned(QVSE_E_INVALID_ARGUMENT);
}
unsigned report(void* handle, bool, unsigned timeout, bool) {
    return timeout ? with_message(handle) : unsigned(QVSE_E_INVALID_ARGUMENT);
}
unsigned prepare(void* handle) { return with_message(handle); }
unsigned classify(void* handle, bool& whitelisted, bool& blacklisted, unsigned& score) {
    const unsigned result = with_message(handle);
    if (result != QVSE_OK) return result;
    whitelisted = false;
    blacklisted = true;
    score = 42;
    return QVSE_OK;
}
unsigned enumerate() {
    if (!host.language_enumerated) return QVSE_E_INVALID_ARGUMENT;
    host.language_enumerated(L"en", 2, 1, 1);
    return QVSE_OK;
}
unsigned classify_language(void* handle) {
    if (!host.language_classified) return QVSE_E_INVALID_ARGUMENT;
    const unsigned result = with_message(handle);
    if (result == QVSE_OK) host.language_classified(handle, L"en", 2, 1, 1);
    return result;
}

struct entry_type {
    std::string_view name;
    const void* address;
};

#define FAKE_ENTRY(name, function) \
    entry_type { name, reinterpret_cast<const void*>(&function) }

const entry_type entries[] = {
    FAKE_ENTRY("principal::initialize", initialize),
    FAKE_ENTRY("principal::shutdown", shutdown),
    FAKE_ENTRY("principal::resume", resume),
    FAKE_ENTRY("principal::suspend", suspend),
    FAKE_ENTRY("principal::version", version),
    FAKE_ENTRY("context::drained", drained),
    FAKE_ENTRY("context::create", create),
    FAKE_ENTRY("context::destroy", destroy),
    FAKE_ENTRY("mime::bind_stream", bind_stream),
    FAKE_ENTRY("mime::bind_buffer", bind_buffer),
    FAKE_ENTRY("mime::bind_file", bind_file),
    FAKE_ENTRY("network::connect", connect),
    FAKE_ENTRY("network::authenticate", authenticate),
    FAKE_ENTRY("network::lookup", lookup),
    FAKE_ENTRY("network::touch", touch),
    FAKE_ENTRY("network::report", report),
    FAKE_ENTRY("network::revoke", report),
    FAKE_ENTRY("spam::prepare", prepare),
    FAKE_ENTRY("spam::classify", classify),
    FAKE_ENTRY("language::enumerate", enumerate),
    FAKE_ENTRY("language::classify", classify_language),
};

}  // namespace

extern "C" [[gnu::visibility("default")]] const void* resolve(const char* name, std::size_t length,
                                                              unsigned flags) noexcept {
    if (name == nullptr || flags != 0) return nullptr;
    const std::string_view wanted(name, length);
    for (const auto& entry : entries)
        if (entry.name == wanted)
            return switched("missing-" + std::string(wanted)) ? nullptr : entry.address;
    return nullptr;
}
