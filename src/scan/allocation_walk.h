#pragma once
// Pieces shared by the per-file-system walks of markAllocatedSpace: reading the source,
// cancellation and progress, clipped marking, and the walk of an allocation bitmap stored
// in one or more extents. Internal to the scan engine.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "scan/front_end.h"
#include "scan/scan_state.h"

namespace vellumark::allocation {

// Allocation tables are read in pieces of this size: a multiple of every sector size up to
// 4096 and of 3 bytes, so FAT12 entry pairs never straddle two pieces.
inline constexpr std::size_t kTableChunkBytes = 48 * 1024;

enum class Outcome { Done, Failed, Cancelled };

// One walk over the detected geometry of the opened source, or of a volume inside it (a
// partition of a disk): then reads and marks are moved by the volume's position.
struct Walk {
  Walk(ScanState& s, FrontEnd& f, const VolumeGeometry& g) : state(s), frontEnd(f), geo(g) {}
  ScanState& state;
  FrontEnd& frontEnd;
  VolumeGeometry geo;            // detectedGeometry, never the user's working copy
  std::uint64_t byteBase = 0;    // where the volume begins on the source
  std::int64_t sectorBase = 0;   // the same, in sectors of geo.bytesPerSector
  std::int64_t tableTotal = 0;   // bytes of allocation table to read
  std::int64_t tableDone = 0;    // bytes of it read so far
  std::int64_t cursor = 0;       // sector the next table entry stands for (for progress)
  std::string_view failure;

  [[nodiscard]] Outcome fail(std::string_view why) {
    failure = why;
    return Outcome::Failed;
  }
  [[nodiscard]] bool cancelRequested() const { return state.scanCancelled.load(std::memory_order_relaxed); }
  // Reports progress and lets the front end handle events, when the display tick has moved.
  void refresh();
  // Reads exactly out.size() bytes at offset; false on a failed or short read.
  [[nodiscard]] bool readExact(std::uint64_t offset, std::span<std::uint8_t> out);
  void noteUnreadable(std::uint64_t offset, std::size_t length);
  // Marks count sectors from first, never past the volume's last sector.
  void markSectors(std::int64_t first, std::int64_t count);
};

// A piece of an allocation bitmap on the source; a sparse piece reads as zeros.
struct Extent {
  std::uint64_t offset = 0;
  std::uint64_t bytes = 0;
  bool sparse = false;
};

// Turns allocation-bitmap bytes into marks. Each byte stands for 8 clusters, each cluster
// for spc sectors from the cursor.
class BitmapMarker {
 public:
  // Sectors are counted within the volume; the map is marked sectorBase further on.
  BitmapMarker(UsedSectorMap& map, std::int64_t startSector, std::int64_t lastSector, std::uint32_t spc,
               bool mostSignificantFirst, std::int64_t sectorBase)
      : map_(map), cursor_(startSector), last_(lastSector), spc_(spc), msbFirst_(mostSignificantFirst),
        base_(sectorBase) {}

  void consume(std::span<const std::uint8_t> bytes);
  void skipZeroBytes(std::uint64_t count);
  // True once every sector of the volume has been accounted for.
  [[nodiscard]] bool finished() const { return cursor_ > last_; }
  // Bitmap bytes that can still stand for sectors of the volume.
  [[nodiscard]] std::uint64_t usefulBytesLeft() const;
  [[nodiscard]] std::int64_t cursor() const { return cursor_; }

 private:
  // Marks count sectors from first, never past the last sector.
  void markRun(std::int64_t first, std::int64_t count);
  UsedSectorMap& map_;
  std::int64_t cursor_;
  std::int64_t last_;
  std::int64_t spc_;
  bool msbFirst_;
  std::int64_t base_;
};

// Walks a bitmap of `bitmapBytes` bytes laid out in `extents`, stopping early once the
// volume is covered. Done only when the whole bitmap (or the whole volume) was covered.
[[nodiscard]] Outcome walkBitmap(Walk& walk, std::span<const Extent> extents, std::uint64_t bitmapBytes,
                                 BitmapMarker& marker);

// The walks of each file system.
[[nodiscard]] Outcome markFat(Walk& walk);
[[nodiscard]] Outcome markExfat(Walk& walk);
[[nodiscard]] Outcome markNtfs(Walk& walk);
[[nodiscard]] Outcome markHfs(Walk& walk);
[[nodiscard]] Outcome markHfsPlus(Walk& walk);

}  // namespace vellumark::allocation
