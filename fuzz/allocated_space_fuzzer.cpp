// The allocation walks (FAT12/16/32, exFAT, NTFS, HFS, HFS+) over an in-memory volume.
//
// Input: a little-endian 32-bit volume length in 512-byte sectors (at most 8192), then runs
// of sectors, each a little-endian 32-bit first sector, a 16-bit sector count and the
// sectors' bytes (the last run may be cut short); the rest of the volume reads as zeros.
// So a real volume made by mkfs keeps its length and layout while the seed stores only the
// sectors that hold something.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "scan/allocated_space.h"
#include "scan/front_end.h"
#include "util/byte_reader.h"

namespace {

constexpr std::uint64_t kMaxSectors = 8192;  // 4 MiB

// The volume's memory, kept from one input to the next: mapping megabytes afresh for every
// input would cost more than walking them.
std::vector<std::uint8_t> gSpareImage;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vellumark;
  if (size < 4) return 0;
  const std::span<const std::uint8_t> input(data, size);
  const std::uint64_t declared = std::min<std::uint64_t>(le32(input, 0), kMaxSectors);
  std::vector<std::uint8_t> image = std::move(gSpareImage);
  image.assign(std::max<std::uint64_t>(declared, 1) * 512, 0);
  for (std::size_t at = 4; at + 6 <= size;) {
    const std::uint64_t first = le32(input, at);
    const std::size_t length = std::min<std::size_t>(std::size_t{le16(input, at + 4)} * 512, size - at - 6);
    at += 6;
    if (first < kMaxSectors) {
      const std::size_t end = static_cast<std::size_t>(first) * 512 + length;
      if (end > image.size()) image.resize(std::min<std::size_t>((end + 511) / 512 * 512, kMaxSectors * 512), 0);
      const std::size_t fit = std::min(length, image.size() - static_cast<std::size_t>(first) * 512);
      std::copy_n(data + at, fit, image.begin() + static_cast<std::ptrdiff_t>(first * 512));
    }
    at += length;
  }

  ScanState state;
  auto source = std::make_unique<MemorySource>(std::move(image));
  MemorySource& volume = *source;
  openScanSource(state, std::move(source), "fuzz");
  if (state.usedSectorMap.allocate(state.geometry.lastSector)) {
    SilentFrontEnd frontEnd;
    const AllocatedSpaceResult result = markAllocatedSpace(state, frontEnd);
    if (result.ok && result.cancelled) std::abort();
  }
  gSpareImage = std::move(volume.bytes());
  return 0;
}
