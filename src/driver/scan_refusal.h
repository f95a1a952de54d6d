#pragma once
// Why the scan driver would not start a scan. Each front end shows its own text for these.

#include <cstdint>

namespace vellumark {

enum class ScanRefusal : std::uint8_t {
  None,
  NoSource,          // nothing is open
  NoFamilies,        // no document family chosen
  NoOutputFolder,    // the output folder does not exist or is not a folder
  OutputOnSource,    // the output folder lies on the source (or that cannot be ruled out)
  BadSectorSize,     // the geometry's sector size is 0 or larger than 4096
  BadRange,          // first > last, or outside the source
  NoMemory,          // the used-sector map cannot be allocated
};

}  // namespace vellumark
