#include "scan/sector_classifier.h"

namespace vellumark {

std::uint8_t classifySector(std::span<const std::uint8_t>) { return 0; }
std::int64_t mpeg1PackClock(std::span<const std::uint8_t>) { return 0; }
std::int64_t mpeg2PackClock(std::span<const std::uint8_t>) { return 0; }
bool isNameChar(std::uint8_t) { return true; }

}  // namespace vellumark
