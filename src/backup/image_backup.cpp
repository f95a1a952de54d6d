#include "backup/image_backup.h"

#include <algorithm>
#include <cstring>

#include "platform/output_file.h"
#include "platform/storage_topology.h"
#include "scan/allocated_space.h"
#include "source/output_placement.h"

namespace vellumark {

namespace {

// Copies sectors of the source into a block buffer. What cannot be read becomes zeros and
// is recorded; a failed block is read again sector by sector, so one bad sector costs one
// sector of the image, not the whole block.
class BlockReader {
 public:
  BlockReader(SectorSource& source, std::uint32_t bytesPerSector, BackupSummary& summary)
      : source_(source), bps_(bytesPerSector), summary_(summary) {}

  void read(std::int64_t first, std::int64_t count, std::span<std::uint8_t> out) {
    const std::size_t good = readAsFarAsPossible(first, out);
    for (std::int64_t k = static_cast<std::int64_t>(good / bps_); k < count; ++k) {
      auto sector = out.subspan(static_cast<std::size_t>(k) * bps_, bps_);
      if (readWhole(first + k, sector)) continue;
      std::memset(sector.data(), 0, sector.size());
      noteUnreadable(first + k);
    }
  }

 private:
  // Reads forward until a read fails or returns nothing; the bytes delivered so far.
  std::size_t readAsFarAsPossible(std::int64_t first, std::span<std::uint8_t> out) {
    std::size_t done = 0;
    const auto offset = static_cast<std::uint64_t>(first) * bps_;
    while (done < out.size()) {
      auto got = source_.readAt(offset + done, out.subspan(done));
      if (!got || *got == 0) break;
      done += *got;
    }
    return done;
  }

  bool readWhole(std::int64_t s, std::span<std::uint8_t> sector) {
    return readAsFarAsPossible(s, sector) == sector.size();
  }

  void noteUnreadable(std::int64_t s) {
    ++summary_.sectorsUnreadable;
    auto& runs = summary_.unreadableRuns;
    if (!runs.empty() && runs.back().first + runs.back().count == s)
      ++runs.back().count;
    else
      runs.push_back({s, 1});
  }

  SectorSource& source_;
  std::uint32_t bps_;
  BackupSummary& summary_;
};

bool defaultFolderOnSource(const ScanState& state, const std::string& folder, std::string* detail) {
  const platform::PlacementCheck check = checkOutputFolder(*state.sourceHandle, state.sourceName, folder);
  if (check.placement == platform::Placement::Elsewhere) return false;
  if (detail != nullptr) *detail = check.detail;
  return true;
}

void setDetail(std::string* detail, std::string text) {
  if (detail != nullptr) *detail = std::move(text);
}

// The image path itself: a folder that exists, no folder, device or the source under that
// name, and nothing to replace unless replacing was asked for.
ScanRefusal checkImagePath(const ScanState& state, const BackupRequest& request, std::string* detail) {
  const std::string& path = request.imagePath;
  if (path.empty() || path.back() == '/') {
    setDetail(detail, "no image file name was given");
    return ScanRefusal::ImageNotAFile;
  }
  const std::string folder = platform::folderOf(path);
  if (!platform::isDirectory(folder)) {
    setDetail(detail, "the folder '" + folder + "' does not exist");
    return ScanRefusal::NoOutputFolder;
  }
  // The map file beside the image is checked as strictly as the image.
  const SectorSource& source = *state.sourceHandle;
  for (const std::string& name : {path, mapFilePathFor(path)}) {
    const platform::ExistingPath existing = platform::inspectPath(name);
    if (!existing.exists) continue;
    if (existing.regularFile && source.fileInode() != 0 && existing.inode == source.fileInode() &&
        existing.device == source.fileDevice()) {
      setDetail(detail, "'" + name + "' is the source being copied");
      return ScanRefusal::ImageIsSource;
    }
    if (!existing.regularFile) {
      setDetail(detail, "'" + name + "' exists and is not a regular file");
      return ScanRefusal::ImageNotAFile;
    }
    if (!request.replaceExisting) {
      setDetail(detail, "'" + name + "' exists");
      return ScanRefusal::ImageExists;
    }
  }
  return ScanRefusal::None;
}

ProgressReport copyReport(const ScanState& state, std::int64_t cur, const BackupSummary& summary) {
  ProgressReport r;
  r.phase = ScanPhase::Backup;
  r.sector = cur;
  r.done = cur - state.scanStartSector;
  r.total = state.scanLength;
  r.unreadable = summary.sectorsUnreadable;
  return r;
}

// Sectors from cur that go into the next block: free ones (all of them without the option),
// at most one block, never past the range.
std::int64_t blockLength(const ScanState& state, std::int64_t cur, std::int64_t maxSectors) {
  const std::int64_t n = std::min(maxSectors, state.scanEndSector + 1 - cur);
  if (!state.freeSpaceOnly) return n;
  std::int64_t k = 1;
  while (k < n && !state.usedSectorMap.isSectorUsed(cur + k)) ++k;
  return k;
}

void noteWriteError(BackupSummary& summary, platform::OsError error) {
  summary.outputFull = platform::isOutOfSpace(error);
  summary.writeFailed = !summary.outputFull;
  summary.writeError = std::move(error);
}

void forgetUnreadableFrom(BackupSummary& summary, std::int64_t s) {
  auto& runs = summary.unreadableRuns;
  while (!runs.empty() && runs.back().first + runs.back().count > s) {
    const std::int64_t keep = std::max<std::int64_t>(0, s - runs.back().first);
    summary.sectorsUnreadable -= runs.back().count - keep;
    if (keep > 0) {
      runs.back().count = keep;
      break;
    }
    runs.pop_back();
  }
}

// The copy loop. Returns the bytes written to the image.
std::uint64_t copyRange(ScanState& state, FrontEnd& frontEnd, platform::PendingOutputFile& image,
                        BackupSummary& summary) {
  const std::uint32_t bps = state.geometry.bytesPerSector;
  const std::int64_t maxSectors = static_cast<std::int64_t>(kBackupBlockBytes / bps);
  std::vector<std::uint8_t> block(static_cast<std::size_t>(maxSectors) * bps);
  BlockReader reader(*state.sourceHandle, bps, summary);
  std::uint64_t written = 0;
  std::int64_t cur = state.scanStartSector;
  frontEnd.pump();
  while (cur <= state.scanEndSector) {
    if (state.scanCancelled.load(std::memory_order_relaxed)) {
      summary.cancelled = true;
      break;
    }
    if (state.freeSpaceOnly && state.usedSectorMap.isSectorUsed(cur)) {
      const std::int64_t next = state.usedSectorMap.nextFreeSector(cur, state.scanEndSector);
      cur = next < 0 ? state.scanEndSector + 1 : next;
      continue;
    }
    const std::int64_t n = blockLength(state, cur, maxSectors);
    const auto bytes = std::span(block).first(static_cast<std::size_t>(n) * bps);
    reader.read(cur, n, bytes);
    if (auto ok = image.write(bytes); !ok) {
      noteWriteError(summary, ok.error());
      forgetUnreadableFrom(summary, cur);  // that block is not in the image
      break;
    }
    written += bytes.size();
    summary.sectorsCopied += n;
    cur += n;
    if (state.refreshDue()) {
      frontEnd.progress(copyReport(state, cur, summary));
      frontEnd.pump();
    }
  }
  summary.copiedUntil = std::min(cur, state.scanEndSector + 1);
  return written;
}

// Writes (or, when the image needs none, removes a stale) mapfile beside the image.
void writeMapFile(const ScanState& state, const BackupRequest& request, BackupSummary& summary) {
  const std::string path = mapFilePathFor(request.imagePath);
  const bool wanted = !state.freeSpaceOnly && (summary.sectorsUnreadable > 0 || summary.partial);
  if (!wanted) {
    if (auto removed = platform::removeFile(path); !removed) summary.mapFileError = removed.error();
    return;
  }
  const std::string description = "Backup of " + state.sourceName + " sectors " + std::to_string(state.scanStartSector) +
                                  " to " + std::to_string(state.scanEndSector) + " into " + request.imagePath +
                                  "\n(image position 0 is source position " +
                                  std::to_string(state.scanStartSector * state.geometry.bytesPerSector) + ")";
  const std::string text = ddrescueMapText(state.scanStartSector, state.scanEndSector, summary.copiedUntil,
                                           summary.unreadableRuns, state.geometry.bytesPerSector, description);
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
  if (auto ok = platform::writeWholeFile(path, std::span(data, text.size())); !ok) {
    summary.mapFileError = ok.error();
    return;
  }
  summary.mapFilePath = path;
}

// Puts the image under its name, or throws it away.
void finishImage(ScanState& state, FrontEnd& frontEnd, const BackupRequest& request,
                 platform::PendingOutputFile& image, std::uint64_t written, BackupSummary& summary) {
  const bool complete = !summary.cancelled && !summary.outputFull && !summary.writeFailed;
  if (!complete) {
    if (summary.writeFailed || frontEnd.deletePartialImage(request.imagePath)) {
      image.discard();
      return;
    }
    // A failed write may have left part of a block: keep only whole blocks.
    if (auto cut = image.truncate(written); !cut) {
      noteWriteError(summary, cut.error());
      image.discard();
      return;
    }
    summary.partial = true;
  }
  if (auto committed = image.commitAs(request.imagePath); !committed) {
    noteWriteError(summary, committed.error());
    summary.partial = false;
    return;
  }
  summary.imageKept = true;
  writeMapFile(state, request, summary);
}

// Marks allocated space for the free-space option. False when the backup cannot go on.
bool markForFreeSpace(ScanState& state, FrontEnd& frontEnd, BackupSummary& summary) {
  state.phase = ScanPhase::MarkingAllocated;
  const AllocatedSpaceResult result = markAllocatedSpace(state, frontEnd);
  if (result.ok) {
    summary.sectorsSkipped = state.usedSectorMap.countUsed();
    return true;
  }
  summary.cancelled = result.cancelled;
  summary.freeSpaceMarkingFailed = !result.cancelled;
  summary.disableFreeSpace = !result.cancelled;
  summary.markingFailure = std::string(result.failure);
  return false;
}

// Refuses a backup that cannot fit where the image goes (an existing image being replaced
// still takes its space until the new one is complete).
bool fitsInFolder(const ScanState& state, const BackupRequest& request, BackupSummary& summary) {
  const std::uint64_t needed =
      static_cast<std::uint64_t>(state.scanLength - summary.sectorsSkipped) * state.geometry.bytesPerSector;
  const std::string folder = platform::folderOf(request.imagePath);
  const auto available = platform::availableBytes(folder);
  if (!available || *available >= needed) return true;
  summary.refusal = ScanRefusal::NoSpace;
  summary.refusalDetail = "the image needs " + std::to_string(needed) + " bytes, " + std::to_string(*available) +
                          " are free in '" + folder + "'";
  return false;
}

}  // namespace

ScanRefusal validateBackup(ScanState& state, const BackupRequest& request, std::string* refusalDetail) {
  if (!state.isOpen()) return ScanRefusal::NoSource;
  const std::uint32_t bps = state.geometry.bytesPerSector;
  if (bps == 0 || bps > kMaxSectorSize) return ScanRefusal::BadSectorSize;
  if (request.startSector < 0 || request.startSector > request.endSector ||
      request.endSector > state.geometry.lastSector)
    return ScanRefusal::BadRange;
  if (ScanRefusal r = checkImagePath(state, request, refusalDetail); r != ScanRefusal::None) return r;
  const std::string folder = platform::folderOf(request.imagePath);
  const bool onSource = request.folderOnSource ? request.folderOnSource(folder)
                                               : defaultFolderOnSource(state, folder, refusalDetail);
  if (onSource) return ScanRefusal::OutputOnSource;
  state.scanStartSector = request.startSector;
  state.scanEndSector = request.endSector;
  state.scanLength = request.endSector - request.startSector + 1;
  state.freeSpaceOnly = request.freeSpaceOnly;
  state.usedSectorMap.release();
  // Without the option nothing is ever marked: the map is not needed.
  if (request.freeSpaceOnly && !state.usedSectorMap.allocate(state.scanStartSector, state.scanEndSector))
    return ScanRefusal::NoMemory;
  return ScanRefusal::None;
}

BackupSummary runBackup(ScanState& state, FrontEnd& frontEnd, const BackupRequest& request) {
  BackupSummary summary;
  summary.refusal = validateBackup(state, request, &summary.refusalDetail);
  if (summary.refusal != ScanRefusal::None) return summary;
  state.scanCancelled = false;
  summary.copiedUntil = state.scanStartSector;

  if ((!state.freeSpaceOnly || markForFreeSpace(state, frontEnd, summary)) && fitsInFolder(state, request, summary)) {
    state.phase = ScanPhase::Backup;
    auto image = platform::createPendingOutputFile(request.imagePath);
    if (!image) {
      noteWriteError(summary, image.error());
    } else {
      const std::uint64_t written = copyRange(state, frontEnd, *image, summary);
      finishImage(state, frontEnd, request, *image, written, summary);
    }
  }
  state.scanCancelled = true;
  state.phase = ScanPhase::Done;
  state.usedSectorMap.release();
  ProgressReport done;
  done.phase = ScanPhase::Done;
  done.unreadable = summary.sectorsUnreadable;
  frontEnd.progress(done);
  return summary;
}

}  // namespace vellumark
