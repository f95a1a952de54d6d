// The sector classifier over one sector of each size it is given (512 to 4096 bytes).

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "scan/sector_classifier.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t sectorBytes = 512;
  while (sectorBytes < size && sectorBytes < 4096) sectorBytes *= 2;
  // An exact-size heap copy, so that AddressSanitizer catches a read past the sector.
  std::vector<std::uint8_t> sector(sectorBytes, 0);
  std::copy_n(data, std::min(size, sectorBytes), sector.begin());
  (void)vellumark::classifySector(sector);
  (void)vellumark::mpeg1PackClock(sector);
  (void)vellumark::mpeg2PackClock(sector);
  if (size > 0) (void)vellumark::isNameChar(data[0]);
  return 0;
}
