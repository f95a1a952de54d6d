#pragma once
// One document the rescue wrote.

#include <cstdint>
#include <optional>
#include <string>

namespace vellumark {

struct RecoveredFile {
  std::string path;
  std::uint64_t sizeBytes = 0;
  std::int64_t startSector = 0;
  std::uint8_t typeCode = 0;
  // What the document says of itself, when it says it.
  std::string title;
  std::string author;
  std::optional<std::int64_t> lastSaved;  // seconds since 1970-01-01 UTC
};

}  // namespace vellumark
