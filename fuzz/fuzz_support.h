#pragma once
// What the fuzz targets share: a scan state over an in-memory image laid out from the
// fuzzer's bytes, and an output folder under /tmp that is emptied before every input.

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "carvers/gap_search.h"
#include "scan/scan_state.h"
#include "source/sector_source.h"

namespace vellumark::fuzz {

// `bytes` zero-padded to a whole number of sectors (at least one).
inline std::vector<std::uint8_t> sectorImage(std::span<const std::uint8_t> bytes, std::uint32_t sectorBytes) {
  std::size_t size = (bytes.size() + sectorBytes - 1) / sectorBytes * sectorBytes;
  if (size == 0) size = sectorBytes;
  std::vector<std::uint8_t> image(size, 0);
  std::copy(bytes.begin(), bytes.end(), image.begin());
  return image;
}

// Opens `image` in `state` as a carve sees it: geometry of the sector size given, the whole
// image as scan range, used-sector map allocated. (Detection runs too, but its geometry is
// replaced.) When `unreadableSector` is not negative, every read that touches that sector fails.
inline void openForCarving(ScanState& state, std::vector<std::uint8_t> image, std::uint32_t sectorBytes,
                           std::uint32_t sectorsPerCluster, std::int64_t unreadableSector = -1) {
  auto source = std::make_unique<MemorySource>(std::move(image), sectorBytes);
  if (unreadableSector >= 0) source->failReadsIn(static_cast<std::uint64_t>(unreadableSector) * sectorBytes, sectorBytes);
  const std::uint64_t size = source->sizeBytes();
  openScanSource(state, std::move(source), "fuzz");
  state.geometry.bytesPerSector = sectorBytes;
  state.geometry.sectorsPerCluster = sectorsPerCluster;
  state.geometry.lastSector = static_cast<std::int64_t>(size / sectorBytes) - 1;
  state.scanStartSector = 0;
  state.scanEndSector = state.geometry.lastSector;
  state.clusterPhase = 0;
  if (!state.usedSectorMap.allocate(state.geometry.lastSector)) throw std::bad_alloc();
}

// Fragment searches bounded to a few hundred milliseconds even under the sanitizers: an input
// whose package or compound file cannot be assembled tries 300 clusters, not 20,000 (every
// branch of the search is met within that; the time bound stays a safety net only).
inline bool lowerSearchLimits() {
  GapSearchLimits limits = defaultPackageSearchLimits();
  limits.maxClustersTried = 300;
  limits.maxTime = std::chrono::milliseconds(500);
  setPackageSearchLimits(limits);
  GapSearchLimits compound;
  compound.maxClustersTried = 300;
  compound.maxTime = std::chrono::milliseconds(500);
  setCompoundSearchLimits(compound);
  return true;
}

// An output folder of this process for this target, emptied by empty(). The folder itself
// stays: making a directory for every input would cost more than the input.
class OutputFolder {
 public:
  explicit OutputFolder(const std::string& target)
      : path_(std::filesystem::temp_directory_path() /
              ("vellumark-fuzz-" + target + "-" + std::to_string(::getpid()))) {
    std::error_code ec;
    std::filesystem::create_directories(path_, ec);
  }
  // Removes what the last input wrote and returns the folder path, ending in '/'.
  std::string empty() const {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(path_, ec), end; !ec && it != end; it.increment(ec))
      std::filesystem::remove_all(it->path(), ec);
    return path_.string() + "/";
  }

 private:
  std::filesystem::path path_;
};

}  // namespace vellumark::fuzz
