#include "carvers/carver_registry.h"

namespace vellumark {

CarverFn mainPassCarver(std::uint8_t) { return nullptr; }
CarverFn finalSweepCarver(std::uint8_t) { return nullptr; }

}  // namespace vellumark
