// The engine's entry points in the order resolve compares them and the gateway
// binds them. This one list drives the declarations, resolve's table and the
// gateway's bindings, so names, order and signatures cannot drift apart.
//
// X(component, name, result, (parameters), (arguments))
#pragma once

#include <cstddef>

#include "qvse_types.h"

#define QVSE_ENGINE_ENTRIES(X)                                                                  \
    X(principal, initialize, unsigned,                                                          \
      (const char* directory, std::size_t directory_length, const qvse_callbacks_t& callbacks), \
      (directory, directory_length, callbacks))                                                 \
    X(principal, shutdown, unsigned, (), ())                                                    \
    X(principal, resume, unsigned, (void* state, std::size_t size), (state, size))              \
    X(principal, suspend, unsigned, (void*& state, std::size_t& size), (state, size))           \
    X(principal, version, unsigned,                                                             \
      (wchar_t * version, std::size_t & version_length, wchar_t * description,                  \
       std::size_t & description_length),                                                       \
      (version, version_length, description, description_length))                               \
    X(context, drained, bool, (), ())                                                           \
    X(context, create, unsigned, (void* handle), (handle))                                      \
    X(context, destroy, unsigned, (void* handle), (handle))                                     \
    X(mime, bind_stream, unsigned, (void* handle), (handle))                                    \
    X(mime, bind_buffer, unsigned, (void* handle, const char* data, std::size_t length),        \
      (handle, data, length))                                                                   \
    X(mime, bind_file, unsigned, (void* handle, const char* path, std::size_t path_length),     \
      (handle, path, path_length))                                                              \
    X(network, connect, unsigned, (const wchar_t* host, std::size_t host_length),               \
      (host, host_length))                                                                      \
    X(network, authenticate, unsigned,                                                          \
      (void* handle, unsigned identity_kind, unsigned user_id, const wchar_t* secret_key,       \
       std::size_t secret_key_length),                                                          \
      (handle, identity_kind, user_id, secret_key, secret_key_length))                          \
    X(network, lookup, unsigned, (void* handle, unsigned timeout_ms, bool asynchronous),        \
      (handle, timeout_ms, asynchronous))                                                       \
    X(network, touch, unsigned,                                                                 \
      (void* handle, unsigned value, unsigned timeout_ms, bool asynchronous),                   \
      (handle, value, timeout_ms, asynchronous))                                                \
    X(network, report, unsigned,                                                                \
      (void* handle, bool flag, unsigned timeout_ms, bool asynchronous),                        \
      (handle, flag, timeout_ms, asynchronous))                                                 \
    X(network, revoke, unsigned,                                                                \
      (void* handle, bool flag, unsigned timeout_ms, bool asynchronous),                        \
      (handle, flag, timeout_ms, asynchronous))                                                 \
    X(spam, prepare, unsigned, (void* handle), (handle))                                        \
    X(spam, classify, unsigned,                                                                 \
      (void* handle, bool& whitelisted, bool& blacklisted, unsigned& score),                    \
      (handle, whitelisted, blacklisted, score))                                                \
    X(language, enumerate, unsigned, (), ())                                                    \
    X(language, classify, unsigned, (void* handle), (handle))

#define QVSE_DECLARE_ENGINE_ENTRY(component, name, result, parameters, arguments) \
    namespace quorvane::engine::component {                                       \
    [[gnu::visibility("hidden")]] result name parameters;                         \
    }
QVSE_ENGINE_ENTRIES(QVSE_DECLARE_ENGINE_ENTRY)
#undef QVSE_DECLARE_ENGINE_ENTRY
