#pragma once
// The services the carvers are handed, built over the scan state: claims in the used-sector
// map, reads through the read-ahead window, saving documents with the counters, progress
// that knows which phase it reports, and the log of why candidates were turned down.

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "carvers/carve_context.h"
#include "driver/candidate_notes.h"
#include "driver/far_looks.h"
#include "driver/scan_regions.h"
#include "platform/large_pages.h"
#include "platform/output_file.h"
#include "scan/front_end.h"
#include "scan/scan_state.h"

namespace vellumark {

// A document candidate that gave no document, and why (an index into the log's reasons:
// candidates are mostly turned down for one of a few, so each text is held once).
struct CandidateRejection {
  std::int64_t startSector = 0;
  std::uint32_t reason = 0;
  std::uint8_t typeCode = 0;
};

// A carve given up for want of a readable sector or of memory.
struct AbandonedCarve {
  std::int64_t startSector = 0;
  std::uint8_t typeCode = 0;
  std::int64_t unreadableSector = -1;  // the sector that could not be read, or -1
  std::int64_t bytesNeeded = 0;        // for want of memory: what it needed to hold
};

// Every rejection counted by type code and reason; document candidates also listed one by
// one, and every carve abandoned for an unreadable sector or for memory.
struct RejectionLog {
  static constexpr std::size_t kMaxListed = 100'000;
  std::map<std::pair<std::uint8_t, std::string>, std::uint64_t> counts;
  std::vector<CandidateRejection, platform::LargePageAllocator<CandidateRejection>> documents;
  std::vector<std::string> reasons;  // the texts the document candidates' entries name
  [[nodiscard]] std::string_view why(const CandidateRejection& r) const {
    return r.reason < reasons.size() ? std::string_view(reasons[r.reason]) : std::string_view();
  }
  std::vector<AbandonedCarve> abandoned;
};

class ScanCarveServices final : public CarveSettingsSource,
                                public CarveReader,
                                public DocumentSink,
                                public CarveReporter {
 public:
  ScanCarveServices(ScanState& state, FrontEnd& frontEnd);
  ~ScanCarveServices();
  ScanCarveServices(const ScanCarveServices&) = delete;
  ScanCarveServices& operator=(const ScanCarveServices&) = delete;

  [[nodiscard]] CarveContext& context() { return ctx_; }

  // The phase progress reports name (the second pass or the final sweep).
  void setPhase(ScanPhase phase) { phase_ = phase; }
  // Where partitions have a cluster geometry of their own; null for one geometry throughout.
  void setLayout(const ScanLayout* layout) { layout_ = layout; }
  // The type code of the candidate about to be carved, for the rejection log.
  void setCandidateType(std::uint8_t code) { candidateType_ = code; }
  // While set, turned-down candidates and abandoned carves are not logged (a pass whose
  // candidates all come round again).
  void setQuiet(bool quiet) { quiet_ = quiet; }
  // When set, saved documents are written in batches that take their final names together
  // (see platform::OutputBatch); flushSaved, and the destruction of the services, give the
  // last ones theirs. Off by default: every file has its final name when save returns.
  void setBatchedSaving(bool batched) { batched_ = batched; }
  // Looks far ahead already made (by the first pass, say), served without a read.
  void adoptFarLooks(FarLooks looks) { farLooks_ = std::move(looks); }
  // What the first pass noted of the candidates, and the one the next carve is of.
  void adoptCandidateNotes(CandidateNotes notes) { notes_ = std::move(notes); }
  void setCandidateNote(std::int64_t sector) { ctx_.note = notes_.find(sector); }
  // The sectors the first pass went through: it read every one of them, or recorded it as
  // unreadable, where it examined every sector.
  void setFirstPassReach(std::int64_t firstSector, std::int64_t lastSector) {
    firstPassFrom_ = firstSector;
    firstPassTo_ = lastSector;
  }
  // The sectors the first pass found no far look to be after.
  void adoptSectorMarks(SectorMarks marks) {
    marks_ = std::move(marks);
    ctx_.marks = &marks_;
  }
  // Gives every document saved so far its final name. A file that cannot have it is written
  // again on its own, the front end asked about failures as for any save.
  void flushSaved();
  // Between candidates: flushes a batch that has waited long enough.
  void flushSavedIfDue();
  // What failed carves learnt; to be forgotten when the driver itself claims sectors.
  [[nodiscard]] CarveMemory& memory() { return memory_; }
  [[nodiscard]] const RejectionLog& rejections() const { return rejections_; }
  [[nodiscard]] RejectionLog takeRejections() {
    lastCount_ = nullptr;
    reasonIndex_.clear();
    lastReason_.reset();
    return std::move(rejections_);
  }

  [[nodiscard]] CarveSettings current(std::int64_t startOffset) const override;
  [[nodiscard]] bool read(std::int64_t offset, std::span<std::uint8_t> dest) override;
  [[nodiscard]] bool peek(std::int64_t offset, std::span<std::uint8_t> dest) override;
  [[nodiscard]] bool peekHeld(std::int64_t offset, std::span<std::uint8_t> dest) override;
  [[nodiscard]] bool readCleanly(std::int64_t firstSector, std::int64_t lastSector) const override;
  [[nodiscard]] std::int64_t save(const DocumentToSave& document, Bytes data) override;
  [[nodiscard]] bool saveDamaged(const DocumentToSave& document, Bytes data) override;
  [[nodiscard]] const RecoveredFile* recovered(std::size_t index) const override;
  void describe(std::size_t index, const DocumentDescription& description) override;
  void carving(std::int64_t startSector, std::int64_t sector) override;
  void rejected(std::int64_t startSector, std::string_view reason) override;
  void unreadable(std::int64_t startSector, std::int64_t sector) override;
  void outOfMemory(std::int64_t startSector, std::int64_t bytes) override;

 private:
  // Whether the read-ahead window holds [offset, offset + size).
  [[nodiscard]] bool inWindow(std::int64_t offset, std::size_t size) const;
  // Reads the bytes straight from the source, within the scan range.
  [[nodiscard]] bool readDirect(std::int64_t offset, std::span<std::uint8_t> dest);
  [[nodiscard]] bool writeAsking(const std::string& path, Bytes data);
  // Writes into the batch (flushing it first when full); false when the file is to be
  // written on its own instead.
  [[nodiscard]] bool writeBatched(const std::string& path, Bytes data);
  [[nodiscard]] bool writeSaved(const std::string& path, Bytes data);
  [[nodiscard]] std::string currentPathOf(const std::string& path) const;
  [[nodiscard]] std::string damagedName(const std::string& path) const;
  void renameAfterTitle(RecoveredFile& file, const std::string& title);

  // Looks ahead of the carves, by 4 KiB block: a walk that hops from record to record, and
  // the lower candidates whose walks hop over the same records, are served from memory
  // instead of one read of the source each. Blocks are slotted by their number.
  struct PeekBlock {
    std::int64_t block = -1;
    std::int64_t from = 0;  // the bytes of the block held: [from, to)
    std::int64_t to = 0;
    std::array<std::uint8_t, 4096> bytes;
  };
  static constexpr std::size_t kPeekBlocks = 32;
  [[nodiscard]] bool peekCached(std::int64_t offset, std::span<std::uint8_t> dest, std::int64_t limit);

  ScanState& state_;
  FrontEnd& frontEnd_;
  std::unique_ptr<PeekBlock[]> peekBlocks_;  // made at the first look; its bytes are never read before filled
  FarLooks farLooks_;
  CandidateNotes notes_;
  CarveMemory memory_;
  SectorMarks marks_;
  CarveContext ctx_;
  ScanPhase phase_ = ScanPhase::SecondPass;
  std::uint8_t candidateType_ = 0;
  bool quiet_ = false;
  const ScanLayout* layout_ = nullptr;
  std::int64_t firstPassFrom_ = 0;
  std::int64_t firstPassTo_ = -1;
  RejectionLog rejections_;
  // The counter of the last rejection counted, with its key (map nodes do not move).
  std::uint64_t* lastCount_ = nullptr;
  std::uint8_t lastCountType_ = 0;
  std::string lastCountReason_;
  // The index of each reason given so far in the log's list of texts, and of the last one.
  std::map<std::string, std::uint32_t, std::less<>> reasonIndex_;
  std::optional<std::uint32_t> lastReason_;
  bool batched_ = false;
  platform::OutputBatch batch_;
  // The data of the batch's files, kept until they have their names: a file whose flush or
  // rename fails is written again on its own. Span i (offset and length in batchBytes_)
  // belongs to the batch's i-th file. The buffer keeps its memory from batch to batch, so
  // that copying files in does not fault in fresh pages every time.
  std::vector<std::uint8_t> batchBytes_;
  std::vector<std::pair<std::size_t, std::size_t>> batchSpans_;
  std::chrono::steady_clock::time_point batchSince_{};
  // Set once the output folder refuses renaming for good (read-only, no permission): later
  // documents keep their first names without trying.
  bool renameUnavailable_ = false;
};

// path itself when nothing has that name yet, else the first of path with "-2", "-3", ...
// before its extension that is free: a file an earlier rescue left is never replaced.
[[nodiscard]] std::string unusedName(const std::string& path);

// The path of a recovered file with "_" + title inserted before its extension (the first
// '.' of its base name), the title cut so that the base name stays within 255 bytes;
// "" when nothing of the title fits.
[[nodiscard]] std::string pathWithTitle(const std::string& path, const std::string& title);

// A last-saved time worth giving a file: after 1990 and not later than `now`.
[[nodiscard]] bool plausibleSaveTime(std::int64_t seconds, std::int64_t now);

// Waits about `milliseconds` while letting the front end handle its events.
void pumpDelay(FrontEnd& frontEnd, int milliseconds);

}  // namespace vellumark
