// The library's one export: maps an entry's name to its address.
#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

#include "counted.hpp"
#include "lasting.hpp"

namespace quorvane::engine {

namespace {

// What an entry answers when the engine's objects are gone (the process is
// ending): it fails without touching anything.
template <class Result>
constexpr Result refused() noexcept {
    if constexpr (std::is_same_v<Result, bool>)
        return false;
    else
        return QVSE_E_FAILED;
}

}  // namespace

#define QVSE_DEFINE_COUNTED_ENTRY(component, name, result, parameters, arguments) \
    result counted::component##_##name parameters noexcept {                      \
        const lasting::call_scope scope;                                          \
        if (!scope) return refused<result>();                                     \
        return component::name arguments;                                         \
    }
QVSE_ENGINE_ENTRIES(QVSE_DEFINE_COUNTED_ENTRY)
#undef QVSE_DEFINE_COUNTED_ENTRY

namespace {

struct entry_type {
    std::string_view name;
    const void* address;
};

#define QVSE_ENGINE_TABLE_ROW(component, name, result, parameters, arguments) \
    entry_type{#component "::" #name, reinterpret_cast<const void*>(&counted::component##_##name)},

const std::array entries{QVSE_ENGINE_ENTRIES(QVSE_ENGINE_TABLE_ROW)};

#undef QVSE_ENGINE_TABLE_ROW

static_assert(entries.size() == 21);

}  // namespace

}  // namespace quorvane::engine

// The name is taken as length bytes and compared whole; non-zero flags match
// nothing.
extern "C" [[gnu::visibility("default")]] const void* resolve(const char* name, std::size_t length,
                                                              unsigned int flags) noexcept {
    if (name == nullptr || flags != 0) return nullptr;
    const std::string_view wanted(name, length);
    for (const auto& entry : quorvane::engine::entries)
        if (entry.name == wanted) return entry.address;
    return nullptr;
}
