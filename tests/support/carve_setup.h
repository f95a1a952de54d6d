#pragma once
// A scan state ready for carving, over an in-memory image: source opened, geometry set to
// the sector size asked for, used-sector map allocated, scan range the whole image, and an
// output folder. Plus builders for small compound files and ZIP packages.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "carvers/carve_context.h"
#include "driver/carve_services.h"
#include "scan/scan_state.h"
#include "support/recording_front_end.h"

namespace vellumark::test {

struct CarveSetup {
  ScanState state;
  RecordingFrontEnd frontEnd;
  ScanCarveServices services{state, frontEnd};
  CarveContext& ctx = services.context();
  MemorySource* source = nullptr;  // owned by state

  // outputFolder gets a trailing '/' when it lacks one.
  CarveSetup(std::vector<std::uint8_t> image, std::uint32_t bytesPerSector, const std::string& outputFolder);
};

// A small compound file with 512-byte sectors: header, FAT in sector 0, directory in sector 1
// with one entry per name (the first the root, the others streams below it), then
// dataSectors sectors chained as the stream of the last entry named like a document's main
// stream (the other streams are empty). Whole when that stream is at least 4096 bytes
// (8 sectors), the mini stream cutoff. Total length 512 * (3 + dataSectors).
std::vector<std::uint8_t> makeCompoundFile(const std::vector<std::string>& names, std::uint32_t dataSectors);

// A stored (uncompressed) ZIP package with the given entries, in order, and an archive
// comment; CRC-32 and sizes in both headers.
struct ZipEntry {
  std::string name;
  std::string content;
};
std::vector<std::uint8_t> makeZip(const std::vector<ZipEntry>& entries, const std::string& comment = "");

}  // namespace vellumark::test
