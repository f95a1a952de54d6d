#pragma once
// One document the rescue wrote.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vellumark {

// A stretch of the source a recovered file was assembled from: `length` bytes of the file
// read from byte `offset` of the source, in file order.
struct ByteRun {
  std::int64_t offset = 0;
  std::int64_t length = 0;
};

struct RecoveredFile {
  std::string path;
  std::uint64_t sizeBytes = 0;
  std::int64_t startSector = 0;
  std::uint8_t typeCode = 0;
  // What the document says of itself, when it says it.
  std::string title;
  std::string author;
  std::optional<std::int64_t> lastSaved;  // seconds since 1970-01-01 UTC
  // Where its bytes came from, and their SHA-256 (lower-case hex), for the rescue report.
  std::vector<ByteRun> byteRuns;
  std::string sha256;
};

}  // namespace vellumark
