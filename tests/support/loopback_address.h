// Loopback addresses for stand-in servers on the engine's fixed port. Each
// comes from the process id, a name (the test's) and an attempt number, so
// that suites running at the same time on one machine meet only by chance;
// a server that cannot bind one tries the next attempt's.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvane::testing {

inline std::string loopback_address(std::string_view name, unsigned attempt = 0) {
    std::uint64_t hash = 0xcbf29ce484222325;
    const auto mix = [&hash](std::uint64_t value) { hash = (hash ^ value) * 0x100000001b3; };
    mix(static_cast<std::uint64_t>(::getpid()));
    for (const char c : name) mix(static_cast<unsigned char>(c));
    mix(attempt);
    hash ^= hash >> 29;
    // 127.0.0.0/8 is loopback on Linux; each octet 1 to 254, away from 127.0.0.1.
    const auto octet = [hash](int shift) {
        return std::to_string(1 + (hash >> shift & 0xFFFF) % 254);
    };
    return "127." + octet(0) + "." + octet(16) + "." + octet(32);
}

inline constexpr unsigned loopback_attempts = 8;

}  // namespace quorvane::testing
