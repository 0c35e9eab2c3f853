// The exported functions. Fourteen are forwarded unchanged through the common
// wrapper, generated from the engine's entry table; the five that differ are
// written out at the end.
#include "callgate.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <new>
#include <system_error>
#include <thread>

#include "callbacks.hpp"
#include "engine.hpp"
#include "facility.hpp"
#include "trace.hpp"
#include "update.hpp"

namespace quorvane::callgate {

namespace {

using namespace std::chrono_literals;

// The gateway's state is never destroyed: a host may return from main while
// another of its threads is inside a call, which holds these.
// Exclusive only for Initialize and Shutdown.
shared_mutex_type& loader_mutex = *new shared_mutex_type;
engine_type& engine = *new engine_type;

// How long a new context waits for an update that drains the engine before
// it goes ahead anyway: the caller's own thread may hold the last context.
constexpr auto context_hold_back = 2s;

// No exception leaves the library.
template <class Body>
unsigned guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return QVSE_E_OUT_OF_MEMORY;
    } catch (...) {
        trace::gateway_exception();
        return QVSE_E_FAILED;
    }
}

// Inside a callback of another gateway call, or on the update monitor.
bool nested() {
    return thread_holds.loader != 0 || thread_holds.engine != 0 || thread_holds.monitor;
}

// The loader lock shared and, when asked, the engine lock shared; a lock the
// thread already holds (a call from a callback) is not taken again.
class call_scope {
public:
    explicit call_scope(bool with_engine = true) {
        takes_loader_ = thread_holds.loader == 0;
        if (takes_loader_) loader_mutex.lock_shared();
        ++thread_holds.loader;
        if (with_engine) {
            takes_engine_ = thread_holds.engine == 0;
            if (takes_engine_) engine.lock.lock_shared();
            ++thread_holds.engine;
        }
        with_engine_ = with_engine;
    }
    ~call_scope() {
        if (with_engine_) {
            --thread_holds.engine;
            if (takes_engine_) engine.lock.unlock_shared();
        }
        --thread_holds.loader;
        if (takes_loader_) loader_mutex.unlock_shared();
    }
    call_scope(const call_scope&) = delete;
    call_scope& operator=(const call_scope&) = delete;

    // While an update waits for the contexts to drain, a new one waits too,
    // without the engine lock, so that the update can go ahead.
    void hold_back_new_context() {
        if (!takes_engine_ || !engine.draining()) return;
        engine.lock.unlock_shared();
        engine.wait_while_draining(context_hold_back);
        engine.lock.lock_shared();
    }

private:
    bool takes_loader_ = false;
    bool takes_engine_ = false;
    bool with_engine_ = false;
};

class exclusive_scope {
public:
    exclusive_scope() {
        loader_mutex.lock();
        ++thread_holds.loader;
    }
    ~exclusive_scope() {
        --thread_holds.loader;
        loader_mutex.unlock();
    }
    exclusive_scope(const exclusive_scope&) = delete;
    exclusive_scope& operator=(const exclusive_scope&) = delete;
};

// The engine lock shared, unless the update monitor holds it with the engine
// unloaded; the monitor holds it loaded only for the moment of an unload.
class shared_attempt {
public:
    shared_attempt() {
        for (;;) {
            if (engine.lock.try_lock_shared()) {
                held_ = true;
                ++thread_holds.engine;
                return;
            }
            if (!engine.valid()) return;
            std::this_thread::sleep_for(1ms);
        }
    }
    ~shared_attempt() {
        if (!held_) return;
        --thread_holds.engine;
        engine.lock.unlock_shared();
    }
    shared_attempt(const shared_attempt&) = delete;
    shared_attempt& operator=(const shared_attempt&) = delete;
    bool held() const { return held_; }

private:
    bool held_ = false;
};

enum class wrapper_type { plain, create, destroy };

// The common wrapper: both locks shared, the entry called with the caller's
// arguments, its code returned unchanged.
template <wrapper_type wrapper, class Call>
unsigned forward(Call&& call) noexcept {
    return guarded([&]() -> unsigned {
        call_scope scope;
        if constexpr (wrapper == wrapper_type::create) scope.hold_back_new_context();
        if (!engine.valid()) return QVSE_E_NOT_LOADED;
        // The drain's waiter re-checks once this destroy is done with the lock.
        if constexpr (wrapper == wrapper_type::destroy)
            if (engine.draining()) engine.drain.notify_one();
        return call(engine.entries);
    });
}

}  // namespace

}  // namespace quorvane::callgate

using namespace quorvane::callgate;

// Each engine entry mapped to its exported function and wrapper; entries
// mapped to nothing are not exported or are written out below.
#define QVCG_EXPORT_principal_initialize(X, ...)
#define QVCG_EXPORT_principal_shutdown(X, ...)
#define QVCG_EXPORT_principal_resume(X, ...)
#define QVCG_EXPORT_principal_suspend(X, ...)
#define QVCG_EXPORT_principal_version(X, ...)
#define QVCG_EXPORT_context_drained(X, ...)
#define QVCG_EXPORT_context_create(X, ...) X(QVSE_Context_Create, create, __VA_ARGS__)
#define QVCG_EXPORT_context_destroy(X, ...) X(QVSE_Context_Destroy, destroy, __VA_ARGS__)
#define QVCG_EXPORT_mime_bind_stream(X, ...) X(QVSE_MIME_BindStream, plain, __VA_ARGS__)
#define QVCG_EXPORT_mime_bind_buffer(X, ...) X(QVSE_MIME_BindBuffer, plain, __VA_ARGS__)
#define QVCG_EXPORT_mime_bind_file(X, ...) X(QVSE_MIME_BindFile, plain, __VA_ARGS__)
#define QVCG_EXPORT_network_connect(X, ...) X(QVSE_Network_Connect, plain, __VA_ARGS__)
#define QVCG_EXPORT_network_authenticate(X, ...) X(QVSE_Network_Authenticate, plain, __VA_ARGS__)
#define QVCG_EXPORT_network_lookup(X, ...) X(QVSE_Network_Lookup, plain, __VA_ARGS__)
#define QVCG_EXPORT_network_touch(X, ...) X(QVSE_Network_Touch, plain, __VA_ARGS__)
#define QVCG_EXPORT_network_report(X, ...) X(QVSE_Network_Report, plain, __VA_ARGS__)
#define QVCG_EXPORT_network_revoke(X, ...) X(QVSE_Network_Revoke, plain, __VA_ARGS__)
#define QVCG_EXPORT_spam_prepare(X, ...) X(QVSE_Spam_Prepare, plain, __VA_ARGS__)
#define QVCG_EXPORT_spam_classify(X, ...)
#define QVCG_EXPORT_language_enumerate(X, ...) X(QVSE_Language_GetCapabilities, plain, __VA_ARGS__)
#define QVCG_EXPORT_language_classify(X, ...) X(QVSE_Language_GetClassification, plain, __VA_ARGS__)

// An entry the loaded library lacks (only network::touch may) fails.
#define QVCG_FORWARDER(exported, wrapper, component, name, parameters, arguments)            \
    extern "C" std::uint32_t exported parameters noexcept {                                  \
        return forward<wrapper_type::wrapper>([&](const entries_type& entries) -> unsigned { \
            const auto entry = entries.component##_##name;                                   \
            return entry != nullptr ? entry arguments : unsigned(QVSE_E_FAILED);             \
        });                                                                                  \
    }
#define QVCG_EXPORT_ENTRY(component, name, result, parameters, arguments) \
    QVCG_EXPORT_##component##_##name(QVCG_FORWARDER, component, name, parameters, arguments)

QVSE_ENGINE_ENTRIES(QVCG_EXPORT_ENTRY)

#undef QVCG_EXPORT_ENTRY
#undef QVCG_FORWARDER

extern "C" std::uint32_t QVSE_Engine_Initialize(const char* directory, std::size_t directory_length,
                                                const qvse_callbacks_t* table) noexcept {
    // From a callback the engine is running already.
    if (nested()) return QVSE_E_ALREADY_INITIALIZED;
    return guarded([&]() -> unsigned {
        exclusive_scope scope;
        // A running monitor means initialised, even while it holds the
        // engine unloaded.
        if (update::running() || engine.valid()) return QVSE_E_ALREADY_INITIALIZED;
        if (table == nullptr || table->size != sizeof(qvse_callbacks_t))
            return QVSE_E_INVALID_ARGUMENT;
        callbacks = *table;
        if (const unsigned result = engine.directory(directory, directory_length)) return result;
        return update::monitor(engine);
    });
}

extern "C" std::uint32_t QVSE_Engine_Shutdown() noexcept {
    // From a callback: the calling thread would wait for itself.
    if (nested()) return QVSE_E_IN_USE;
    return guarded([&]() -> unsigned {
        exclusive_scope scope;
        bool loaded = false;
        {
            // An update holds the engine lock for as long as its writer,
            // perhaps another process, takes: while it keeps the engine
            // unloaded the answer comes at once.
            shared_attempt engine_scope;
            if (!engine_scope.held()) return QVSE_E_NOT_LOADED;
            loaded = engine.valid();
            if (loaded && !engine.entries.context_drained()) return QVSE_E_IN_USE;
        }
        if (!loaded && !update::running()) return QVSE_E_NOT_LOADED;
        // A monitor that holds no engine (a reload failed) is stopped all the
        // same, so that Initialize can start again.
        const unsigned result = update::interrupt(engine);
        if (result == QVSE_OK || result == QVSE_E_NOT_LOADED) callbacks = {};
        return result;
    });
}

extern "C" std::uint32_t QVSE_Engine_Update(const char* directory,
                                            std::size_t directory_length) noexcept {
    // From a callback: the reload would wait for this very call.
    if (nested()) return QVSE_E_IN_USE;
    return guarded([&]() -> unsigned {
        std::uint64_t ticket = 0;
        {
            call_scope scope(false);
            if (!update::running()) return QVSE_E_NOT_LOADED;
            engine_type candidate;
            if (const unsigned result = candidate.directory(directory, directory_length))
                return result;
            std::error_code error;
            if (std::filesystem::equivalent(candidate.directory(), engine.directory(), error))
                return QVSE_E_INVALID_ARGUMENT;
            // A trial load: only an update whose library resolves is applied.
            if (const unsigned result = candidate.load()) return result;
            if (const unsigned result = candidate.unload()) return result;
            if (const unsigned result = update::apply(candidate, engine, ticket)) return result;
        }
        // Without locks: Shutdown may stop the monitor meanwhile.
        return update::completion(ticket);
    });
}

extern "C" std::uint32_t QVSE_Engine_GetVersion(wchar_t* version, std::size_t* version_length,
                                                wchar_t* description,
                                                std::size_t* description_length) noexcept {
    if (version_length == nullptr || description_length == nullptr) return QVSE_E_INVALID_ARGUMENT;
    return forward<wrapper_type::plain>([&](const entries_type& entries) {
        return entries.principal_version(version, *version_length, description,
                                         *description_length);
    });
}

extern "C" std::uint32_t QVSE_Spam_GetClassification(void* context, bool* whitelisted,
                                                     bool* blacklisted,
                                                     std::uint32_t* score) noexcept {
    if (whitelisted == nullptr || blacklisted == nullptr || score == nullptr)
        return QVSE_E_INVALID_ARGUMENT;
    return forward<wrapper_type::plain>([&](const entries_type& entries) {
        return entries.spam_classify(context, *whitelisted, *blacklisted, *score);
    });
}
