#pragma once
// One document the rescue wrote.

#include <cstdint>
#include <string>

namespace vellumark {

struct RecoveredFile {
  std::string path;
  std::uint64_t sizeBytes = 0;
  std::int64_t startSector = 0;
  std::uint8_t typeCode = 0;
};

}  // namespace vellumark
