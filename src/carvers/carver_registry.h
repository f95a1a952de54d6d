#pragma once
// The one table from type code to carver. The scan driver knows no format: it asks here.

#include <cstdint>

#include "carvers/carve_context.h"

namespace vellumark {

// Carver for a candidate of this code in the second pass; null when none acts on it.
[[nodiscard]] CarverFn mainPassCarver(std::uint8_t code);

// Carver for a candidate of this code in the final sweep; null when none acts on it.
[[nodiscard]] CarverFn finalSweepCarver(std::uint8_t code);

// Carver for a candidate of this code in the pass before the second one, which claims only
// files whose own checks confirm them whole; null when none acts on it.
[[nodiscard]] CarverFn confirmedPassCarver(std::uint8_t code);

}  // namespace vellumark
