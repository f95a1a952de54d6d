#pragma once
// Backup to an image file: a sector range of the opened source copied into a file that can
// be opened later as a source, either byte for byte or (the "free space" option) only the
// sectors the file system says are free, one after the other.
//
// The image is written under a temporary name in its folder and renamed when complete, so
// an interrupted backup never leaves a partial image under the final name unless the user
// chose to keep it. Sectors that cannot be read go into the image as zeros and are listed;
// for a plain copy they are also written to a GNU ddrescue mapfile beside the image, so the
// user can retry exactly those sectors with ddrescue.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "driver/scan_refusal.h"
#include "platform/os_error.h"
#include "scan/front_end.h"
#include "scan/scan_state.h"

namespace vellumark {

// Largest block read from the source and written to the image at once.
inline constexpr std::size_t kBackupBlockBytes = 1 << 20;

struct BackupRequest {
  std::string imagePath;
  std::int64_t startSector = 0;   // -1 when what was typed is not a number
  std::int64_t endSector = -1;    // inclusive; -1 when not a number
  bool freeSpaceOnly = false;
  bool replaceExisting = false;   // an existing image (and its map file) may be replaced
  // Decides whether the image's folder lies on the source. Empty: checkOutputFolder, where a
  // folder whose storage cannot be found out counts as "on the source".
  std::function<bool(const std::string& folder)> folderOnSource;
};

// Sectors first .. first + count - 1 of the source.
struct SectorRun {
  std::int64_t first = 0;
  std::int64_t count = 0;
};

struct BackupSummary {
  ScanRefusal refusal = ScanRefusal::None;  // why nothing was written
  std::string refusalDetail;                // what the refusal was based on
  std::int64_t sectorsCopied = 0;           // sectors in the image, unreadable ones included
  std::int64_t sectorsSkipped = 0;          // allocated sectors left out (free-space option)
  std::int64_t sectorsUnreadable = 0;       // written as zeros
  std::vector<SectorRun> unreadableRuns;    // in ascending order
  std::int64_t copiedUntil = 0;             // one past the last sector of the range dealt with
  bool cancelled = false;                   // Cancel during the marking or the copy
  bool outputFull = false;                  // the output file system ran out of space
  bool writeFailed = false;                 // the image could not be created or written
  platform::OsError writeError;             // when outputFull or writeFailed
  bool freeSpaceMarkingFailed = false;      // the allocation data could not be used: nothing written
  bool disableFreeSpace = false;            // ... on its own (not cancelled): offer the option no more
  std::string markingFailure;               // why
  bool imageKept = false;                   // a file (complete or partial) is under imagePath
  bool partial = false;                     // ... and it does not hold the whole range
  std::string mapFilePath;                  // the ddrescue mapfile written, if any
  platform::OsError mapFileError;           // when the mapfile could not be written (code or context set)
};

// The name of the ddrescue mapfile that goes with an image.
[[nodiscard]] std::string mapFilePathFor(const std::string& imagePath);

// The first reason not to start, in the order: no source, sector size, range, image path
// (missing folder, not a file, the source itself, exists), folder on the source, memory.
// On success the range is set in state and, for the free-space option, the map allocated.
[[nodiscard]] ScanRefusal validateBackup(ScanState& state, const BackupRequest& request,
                                         std::string* refusalDetail = nullptr);

// Runs the whole backup on state's open source. Progress (phase Backup, and MarkingAllocated
// for the free-space option) goes to frontEnd; when the copy ends early (Cancel, or the output
// disk is full) frontEnd.deletePartialImage decides whether the partial image is kept. No
// other message is shown: the caller presents the summary (entries 46 and 47 when the image
// is complete, 40 when the disk is full).
[[nodiscard]] BackupSummary runBackup(ScanState& state, FrontEnd& frontEnd, const BackupRequest& request);

// The text of a ddrescue mapfile for a plain copy of sectors first..last: the sectors before
// copiedUntil are finished or (those listed) bad, the rest not tried. Positions and sizes are
// bytes of the source.
[[nodiscard]] std::string ddrescueMapText(std::int64_t first, std::int64_t last, std::int64_t copiedUntil,
                                          const std::vector<SectorRun>& unreadable, std::uint32_t bytesPerSector,
                                          const std::string& description);

}  // namespace vellumark
