// Spam preparation (fingerprints and built-in heuristics of a bound message)
// and spam classification (answers and heuristics weighed into two flags and
// a score). The entries are declared by the engine's entry table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "records.hpp"

namespace quorvane::engine::spam {

extern const std::wstring& facility;

// A network of the service's own mail relays: fixed first and second bytes,
// the third in a range. A message first received by one of them is trusted.
struct relay_network_type {
    std::uint8_t first, second, third_low, third_high;
};

// The trusted relay networks; none by default, since the service's real
// relay prefixes are not known here, and a placeholder would whitelist any
// message whose Received line is forged to name it.
void set_trusted_relays(std::vector<relay_network_type> networks);

}  // namespace quorvane::engine::spam
