// The library's one export: maps an entry's name to its address.
#include <array>
#include <cstddef>
#include <string_view>

#include "entry_table.hpp"

namespace quorvane::engine {

namespace {

struct entry_type {
    std::string_view name;
    const void* address;
};

#define QVSE_ENGINE_TABLE_ROW(component, name, result, parameters, arguments) \
    entry_type{#component "::" #name, reinterpret_cast<const void*>(&component::name)},

const std::array entries{QVSE_ENGINE_ENTRIES(QVSE_ENGINE_TABLE_ROW)};

#undef QVSE_ENGINE_TABLE_ROW

static_assert(entries.size() == 21);

}  // namespace

}  // namespace quorvane::engine

// The name is taken as length bytes and compared whole; non-zero flags match
// nothing.
extern "C" [[gnu::visibility("default")]] const void* resolve(const char* name,
                                                              std::size_t length,
                                                              unsigned int flags) noexcept {
    if (name == nullptr || flags != 0) return nullptr;
    const std::string_view wanted(name, length);
    for (const auto& entry : quorvane::engine::entries)
        if (entry.name == wanted) return entry.address;
    return nullptr;
}
