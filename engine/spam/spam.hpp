// Spam preparation (fingerprints and built-in heuristics of a bound message)
// and spam classification (answers and heuristics weighed into two flags and
// a score). The entries are declared by the engine's entry table.
#pragma once

#include <string>

#include "records.hpp"

namespace quorvane::engine::spam {

extern const std::wstring facility;

}  // namespace quorvane::engine::spam
