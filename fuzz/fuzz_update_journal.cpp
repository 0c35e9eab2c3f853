// The journal in an engine directory's lock file is written by whichever
// process updates the engine, and read back when one died: whatever it
// holds, every name read from it is a plain file name of that directory.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "update.hpp"

namespace update = quorvane::callgate::update;

namespace {

void check(std::string_view name) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto journal = update::parse_journal({reinterpret_cast<const char*>(data), size});
    for (const auto& name : journal.staged) check(name);
    for (const auto& name : journal.added) check(name);
    for (const auto& [name, backup] : journal.aside) {
        check(name);
        check(backup);
    }
    return 0;
}
