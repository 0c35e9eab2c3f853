// Fuzz input as wide text: UTF-8 usually, or, behind a leading 0xFF word,
// raw 32-bit units (surrogates and all) for parsers that take wide text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "coding.hpp"

inline std::wstring wide_input(const std::uint8_t* data, std::size_t size) {
    if (size % 4 == 0 && size > 0 && data[0] == 0xFF) {
        std::wstring wide((size - 4) / 4, L'\0');
        std::memcpy(wide.data(), data + 4, size - 4);
        return wide;
    }
    return quorvane::engine::coding::to_wide({reinterpret_cast<const char*>(data), size});
}
