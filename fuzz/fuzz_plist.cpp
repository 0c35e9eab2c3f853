// List files read from the user's data folder: any bytes must parse or be
// refused cleanly, and what parses must write back to a fixed point.
#include <cstddef>
#include <cstdint>

#include "PropertyList.h"

// Each run allocates many small blocks; a smaller quarantine keeps the
// process well below the fuzzing memory limit.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=32"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<QVariant> value = PropertyList::fromXml(bytes);
    if (!value) return 0;
    const std::optional<QByteArray> written = PropertyList::toXml(*value);
    if (!written) return 0;  // a type the writer does not store (data, date)
    const std::optional<QVariant> again = PropertyList::fromXml(*written);
    if (!again) __builtin_trap();
    const std::optional<QByteArray> rewritten = PropertyList::toXml(*again);
    if (!rewritten || *rewritten != *written) __builtin_trap();
    return 0;
}
