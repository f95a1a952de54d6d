#pragma once
// Why the scan driver would not start a scan, or the backup a backup. Each front end shows
// its own text for these.

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
  // Backup to an image file:
  ImageIsSource,     // the image would replace the source itself
  ImageNotAFile,     // the image path names a folder, a device or something else that is no file
  ImageExists,       // a file of that name (or its map file) exists and replacing it was not asked for
  NoSpace,           // the image cannot fit in the space left where it goes
};

}  // namespace vellumark
