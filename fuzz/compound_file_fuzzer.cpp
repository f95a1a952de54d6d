// The compound-file reader on a file held in memory: header, FAT and DIFAT, directory,
// the consistency checks and the reading of every stream.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "carvers/compound_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vellumark;
  // An exact-size heap copy, so that AddressSanitizer catches a read past the file.
  const std::vector<std::uint8_t> bytes(data, data + size);
  const Bytes file(bytes);
  const std::optional<cfb::Header> header = cfb::readHeader(file);
  if (!header) return 0;
  cfb::WholeFile supply(file);
  cfb::Fat fat;
  if (!cfb::collectFat(supply, *header, fat).empty()) return 0;
  const std::int64_t length = cfb::describedLength(*header, fat);
  if (length < 0 || static_cast<std::uint64_t>(length) > file.size()) return 0;
  const std::int64_t sectorLimit = static_cast<std::int64_t>(file.size()) / header->sectorBytes - 2;
  std::vector<std::uint8_t> directory;
  if (!cfb::collectDirectory(supply, *header, fat, sectorLimit, directory).empty()) return 0;
  const std::vector<cfb::DirEntry> entries = cfb::parseDirectory(directory);
  (void)cfb::checkStructure(file.first(static_cast<std::size_t>(length)), length, *header, fat, entries);
  for (const cfb::DirEntry& entry : entries)
    if (entry.type == ole2::kEntryStream) (void)cfb::readStream(file, *header, fat, entries, entry);
  return 0;
}
