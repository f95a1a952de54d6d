#include "driver/carve_services.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "carvers/recovered_output.h"
#include "platform/output_file.h"
#include "scan/read_ahead.h"
#include "scan/type_codes.h"
#include "util/sha256.h"
#include "util/unicode.h"

namespace vellumark {

ScanCarveServices::ScanCarveServices(ScanState& state, FrontEnd& frontEnd)
    : state_(state), frontEnd_(frontEnd), ctx_{state.usedSectorMap, *this, *this, *this, *this, &memory_} {}

CarveSettings ScanCarveServices::current(std::int64_t startOffset) const {
  CarveSettings s;
  s.typeFlags = state_.typeFlags;
  s.bytesPerSector = state_.geometry.bytesPerSector;
  s.sectorsPerCluster = state_.geometry.sectorsPerCluster == 0 ? 1u : state_.geometry.sectorsPerCluster;
  s.clusterPhase = state_.clusterPhase;
  s.scanEndSector = state_.scanEndSector;
  s.thumbnails = &state_.thumbnailRules;
  // Inside a partition of a whole disk, the partition's own clusters.
  const ScanRegion* region = layout_ != nullptr && s.bytesPerSector > 0 ? layout_->regionOf(startOffset / s.bytesPerSector) : nullptr;
  if (region != nullptr) {
    s.sectorsPerCluster = region->sectorsPerCluster;
    s.clusterPhase = region->clusterPhase;
  }
  return s;
}

// The read-ahead window fails as a whole when any sector in it cannot be read, so a failure
// there is retried as a direct read of just these bytes: a bad sector nearby must not cost a
// document that does not need it.
// A read longer than the window (a stretch read through at once) goes to the source
// directly: through the window its bytes would be copied twice, and the window moved away
// from where the carves go on reading.
bool ScanCarveServices::read(std::int64_t offset, std::span<std::uint8_t> dest) {
  if (dest.size() > kReadWindowBytes && readDirect(offset, dest)) return true;
  if (readSource(state_, dest, offset) == 0) return true;
  return readDirect(offset, dest);
}

bool ScanCarveServices::readDirect(std::int64_t offset, std::span<std::uint8_t> dest) {
  const std::int64_t limit = (state_.scanEndSector + 1) * static_cast<std::int64_t>(state_.geometry.bytesPerSector);
  if (!state_.isOpen() || offset < 0 || offset + static_cast<std::int64_t>(dest.size()) > limit) return false;
  auto got = state_.sourceHandle->readAt(static_cast<std::uint64_t>(offset), dest);
  return got && *got == dest.size();
}

// A look far ahead of the carve (one sector, typically) is read on its own when the window
// does not hold it: refilling the window there would cost 64 KiB for a few hundred bytes, and
// the window would then be gone from where the carves go on reading. Its 4 KiB block is kept
// instead, for the looks that follow.
bool ScanCarveServices::inWindow(std::int64_t offset, std::size_t size) const {
  const ReadWindow& w = state_.readWindow;
  return w.valid && offset >= w.start && offset + static_cast<std::int64_t>(size) <= w.start + static_cast<std::int64_t>(w.length);
}

bool ScanCarveServices::peek(std::int64_t offset, std::span<std::uint8_t> dest) {
  if (peekHeld(offset, dest)) return true;
  const std::int64_t limit = (state_.scanEndSector + 1) * static_cast<std::int64_t>(state_.geometry.bytesPerSector);
  if (!state_.isOpen() || offset < 0 || offset + static_cast<std::int64_t>(dest.size()) > limit) return false;
  if (peekCached(offset, dest, limit)) return true;
  auto got = state_.sourceHandle->readAt(static_cast<std::uint64_t>(offset), dest);
  if (!got || *got != dest.size()) return false;
  if (dest.size() <= FarLooks::kBytes) farLooks_.keep(offset, dest);
  return true;
}

bool ScanCarveServices::peekHeld(std::int64_t offset, std::span<std::uint8_t> dest) {
  const std::int64_t limit = (state_.scanEndSector + 1) * static_cast<std::int64_t>(state_.geometry.bytesPerSector);
  if (!state_.isOpen() || offset < 0 || offset + static_cast<std::int64_t>(dest.size()) > limit) return false;
  if (inWindow(offset, dest.size())) {
    const ReadWindow& w = state_.readWindow;
    std::memcpy(dest.data(), w.bytes.data() + (offset - w.start), dest.size());
    return true;
  }
  return state_.readWindow.copyEarlier(offset, dest) || farLooks_.copy(offset, dest);
}

// The first pass read every sector it went through (a chunk at a time, and one by one where a
// chunk failed), and recorded each one it could not read. Where it examined first sectors of
// clusters only, it read the others of a failed chunk not at all.
bool ScanCarveServices::readCleanly(std::int64_t firstSector, std::int64_t lastSector) const {
  if (layout_ == nullptr || !layout_->examinesEverySector()) return false;
  if (firstSector > lastSector || firstSector < firstPassFrom_ || lastSector > firstPassTo_) return false;
  const auto bad = state_.unreadableSectors.lower_bound(firstSector);
  return bad == state_.unreadableSectors.end() || *bad > lastSector;
}

// Serves a look from its 4 KiB block. A first miss reads only the sectors of the block the
// look needs: most looks far ahead are one sector, and copying the whole block for each
// costs more than the call. False (and the caller reads
// the bytes on their own) when they span two blocks or when the block is not wholly inside
// the range and readable: a bad sector next to the ones looked at must not fail the look.
bool ScanCarveServices::peekCached(std::int64_t offset, std::span<std::uint8_t> dest, std::int64_t limit) {
  constexpr auto kBlock = static_cast<std::int64_t>(sizeof(PeekBlock::bytes));
  const std::int64_t block = offset / kBlock;
  const std::int64_t within = offset % kBlock;
  const auto size = static_cast<std::int64_t>(dest.size());
  if (within + size > kBlock || (block + 1) * kBlock > limit) return false;
  if (!peekBlocks_) peekBlocks_.reset(new PeekBlock[kPeekBlocks]);
  PeekBlock& slot = peekBlocks_[static_cast<std::size_t>(block) % kPeekBlocks];
  if (slot.block != block || within < slot.from || within + size > slot.to) {
    const std::int64_t unit = std::clamp<std::int64_t>(state_.geometry.bytesPerSector, 1, kBlock);
    std::int64_t from = within / unit * unit;
    std::int64_t to = std::min(kBlock, (within + size + unit - 1) / unit * unit);
    // A second miss in the block it holds means a walk through the block: all of it is read.
    if (slot.block == block) {
      from = 0;
      to = kBlock;
    }
    slot.block = -1;
    const std::span<std::uint8_t> part(slot.bytes.data() + from, static_cast<std::size_t>(to - from));
    auto got = state_.sourceHandle->readAt(static_cast<std::uint64_t>(block * kBlock + from), part);
    if (!got || *got != part.size()) return false;
    slot.block = block;
    slot.from = from;
    slot.to = to;
    // Only a look of a few bytes is kept: a longer one (a whole sector of a table, say)
    // would not be served from there, and would only push the short ones out.
    if (dest.size() <= FarLooks::kBytes)
      farLooks_.keep(offset, std::span(slot.bytes).subspan(static_cast<std::size_t>(within), static_cast<std::size_t>(to - within)));
  }
  std::memcpy(dest.data(), slot.bytes.data() + within, dest.size());
  return true;
}

namespace {

// A batch holds at most this many files and bytes, and waits at most this long for more; a
// document of more than half the bytes is written on its own.
constexpr std::size_t kBatchFiles = 64;
constexpr std::uint64_t kBatchBytes = 16u << 20;
constexpr auto kBatchWait = std::chrono::seconds(2);

}  // namespace

ScanCarveServices::~ScanCarveServices() { flushSaved(); }

bool ScanCarveServices::writeBatched(const std::string& path, Bytes data) {
  if (data.size() > kBatchBytes / 2) return false;
  if (batch_.size() >= kBatchFiles || batch_.bytes() + data.size() > kBatchBytes || batch_.holds(path)) flushSaved();
  const std::size_t at = batchBytes_.size();
  try {
    batchSpans_.emplace_back(at, data.size());
    batchBytes_.insert(batchBytes_.end(), data.begin(), data.end());
  } catch (const std::bad_alloc&) {
    batchSpans_.resize(batch_.size());
    return false;
  }
  if (!batch_.add(path, data)) {
    batchSpans_.pop_back();
    batchBytes_.resize(at);
    return false;  // written on its own, where a failure is asked about
  }
  if (batch_.size() == 1) batchSince_ = std::chrono::steady_clock::now();
  return true;
}

bool ScanCarveServices::writeSaved(const std::string& path, Bytes data) {
  if (batched_ && writeBatched(path, data)) return true;
  return writeAsking(path, data);
}

void ScanCarveServices::flushSavedIfDue() {
  if (batch_.size() != 0 && std::chrono::steady_clock::now() - batchSince_ >= kBatchWait) flushSaved();
}

void ScanCarveServices::flushSaved() {
  if (batch_.size() == 0) return;
  const std::vector<platform::OutputBatch::Outcome> outcomes = batch_.commit();
  std::vector<std::uint8_t> bytes;
  std::vector<std::pair<std::size_t, std::size_t>> spans;
  bytes.swap(batchBytes_);
  spans.swap(batchSpans_);
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    const platform::OutputBatch::Outcome& o = outcomes[i];
    // The batch's documents are among the last records (damaged files have none).
    auto& files = state_.recoveredFiles;
    const auto searched = static_cast<std::ptrdiff_t>(std::min(files.size(), kBatchFiles));
    const auto record = std::find_if(files.rbegin(), files.rbegin() + searched,
                                     [&](const RecoveredFile& f) { return f.path == o.requestedPath; });
    const bool hasRecord = record != files.rbegin() + searched;
    if (!o.error) {
      if (hasRecord) record->path = o.finalPath;
      continue;
    }
    if (i < spans.size() && writeAsking(o.finalPath, Bytes(bytes.data() + spans[i].first, spans[i].second))) {
      if (hasRecord) record->path = o.finalPath;
      continue;
    }
    // Not saved after all: counted as a failed save, not as a document.
    ++state_.saveFailures;
    if (!hasRecord) continue;
    files.erase(std::next(record).base());
    if (state_.recoveredCount > 0) --state_.recoveredCount;
  }
  bytes.clear();
  spans.clear();
  if (batchSpans_.empty()) {
    batchBytes_.swap(bytes);
    batchSpans_.swap(spans);
  }
}

// A file of the batch that took its first name because the other was taken meanwhile.
std::string ScanCarveServices::currentPathOf(const std::string& path) const {
  const std::string temporary = batch_.temporaryPathOf(path);
  return temporary.empty() ? path : temporary;
}

// Writes the file completely, or not at all under that name. On failure the front end is
// asked: Retry writes again, Abort gives up and requests the stop of the recovery, Ignore
// gives up.
bool ScanCarveServices::writeAsking(const std::string& path, Bytes data) {
  for (;;) {
    auto written = platform::writeWholeFile(path, data);
    if (written) return true;
    switch (frontEnd_.askSaveFailed(path, written.error().message())) {
      case SaveFailureChoice::Retry:
        continue;
      case SaveFailureChoice::Abort:
        state_.recoveryState = kRecoveryStopRequested;
        return false;
      case SaveFailureChoice::Ignore:
        return false;
    }
    return false;
  }
}

std::int64_t ScanCarveServices::save(const DocumentToSave& document, Bytes data) {
  std::string path = recoveredFileName(state_.outputFolder, document.startOffset, document.extension);
  if (state_.keepExistingFiles) path = unusedName(path);
  if (!writeSaved(path, data)) {
    ++state_.saveFailures;
    return -1;
  }
  ++state_.recoveredCount;
  RecoveredFile file;
  file.path = std::move(path);
  file.sizeBytes = data.size();
  file.startSector = document.startSector;
  file.typeCode = document.typeCode;
  file.byteRuns.assign(document.byteRuns.begin(), document.byteRuns.end());
  file.sha256 = sha256Hex(data);
  state_.recoveredFiles.push_back(std::move(file));
  return static_cast<std::int64_t>(state_.recoveredFiles.size()) - 1;
}

std::string ScanCarveServices::damagedName(const std::string& path) const {
  return state_.keepExistingFiles ? unusedName(path) : path;
}

bool ScanCarveServices::saveDamaged(const DocumentToSave& document, Bytes data) {
  ++state_.damagedCount;
  if (!state_.keepDamaged || data.empty()) return false;
  std::string folder = state_.outputFolder;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  folder += "damaged";
  if (!platform::makeDirectory(folder) ||
      !writeSaved(damagedName(recoveredFileName(folder, document.startOffset, document.extension)), data)) {
    ++state_.saveFailures;
    return false;
  }
  return true;
}

const RecoveredFile* ScanCarveServices::recovered(std::size_t index) const {
  return index < state_.recoveredFiles.size() ? &state_.recoveredFiles[index] : nullptr;
}

namespace {

constexpr std::size_t kMaxNameBytes = 255;
constexpr int kRenameAttempts = 30;
constexpr int kRenameRetryMilliseconds = 100;
constexpr std::int64_t kEarliestSaveTime = 631'152'000;  // 1990-01-01 00:00:00 UTC

// Failures that another attempt will not mend.
bool lastingRenameFailure(int code) { return code == EROFS || code == EACCES || code == EPERM; }

}  // namespace

std::string unusedName(const std::string& path) {
  if (!platform::inspectPath(path).exists) return path;
  const std::size_t slash = path.find_last_of('/');
  std::size_t dot = path.find('.', slash == std::string::npos ? 0 : slash + 1);
  if (dot == std::string::npos) dot = path.size();
  for (int n = 2;; ++n) {
    std::string candidate = path.substr(0, dot) + "-" + std::to_string(n) + path.substr(dot);
    if (!platform::inspectPath(candidate).exists) return candidate;
  }
}

std::string pathWithTitle(const std::string& path, const std::string& title) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t baseAt = slash == std::string::npos ? 0 : slash + 1;
  std::size_t dot = path.find('.', baseAt);
  if (dot == std::string::npos) dot = path.size();
  const std::size_t baseBytes = path.size() - baseAt;
  if (baseBytes + 1 >= kMaxNameBytes) return {};
  const std::string_view fitting = utf8Prefix(title, kMaxNameBytes - baseBytes - 1);
  if (fitting.empty()) return {};
  return path.substr(0, dot) + "_" + std::string(fitting) + path.substr(dot);
}

bool plausibleSaveTime(std::int64_t seconds, std::int64_t now) { return seconds >= kEarliestSaveTime && seconds <= now; }

void ScanCarveServices::renameAfterTitle(RecoveredFile& file, const std::string& title) {
  const std::string target = pathWithTitle(file.path, title);
  if (target.empty()) return;
  if (batch_.holds(file.path)) {
    // Not on disk under its name yet: it takes the new one at the flush, if still free then.
    if (platform::inspectPath(target).exists || batch_.holds(target)) return;
    if (batch_.rename(file.path, target)) file.path = target;
    return;
  }
  for (int attempt = 1; attempt <= kRenameAttempts; ++attempt) {
    const auto renamed = platform::renameNoReplace(file.path, target);
    if (renamed) {
      file.path = target;
      return;
    }
    // A file of that name (from an earlier rescue) stays; this one keeps its first name.
    if (renamed.error().code == EEXIST || renamed.error().code == ENAMETOOLONG || renamed.error().code == ENOENT) return;
    if (lastingRenameFailure(renamed.error().code)) {
      renameUnavailable_ = true;
      return;
    }
    if (attempt < kRenameAttempts) pumpDelay(frontEnd_, kRenameRetryMilliseconds);
  }
}

void ScanCarveServices::describe(std::size_t index, const DocumentDescription& d) {
  if (index >= state_.recoveredFiles.size()) return;
  RecoveredFile& file = state_.recoveredFiles[index];
  file.title = d.title;
  file.author = d.author;
  file.lastSaved = d.lastSaved;
  if (state_.renameByTitle && !renameUnavailable_ && !d.nameTitle.empty()) renameAfterTitle(file, d.nameTitle);
  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  if (d.lastSaved && plausibleSaveTime(*d.lastSaved, now)) (void)platform::setModificationTime(currentPathOf(file.path), *d.lastSaved);
}

void ScanCarveServices::carving(std::int64_t startSector, std::int64_t sector) {
  if (!state_.refreshDue()) return;
  ProgressReport report;
  report.phase = phase_;
  report.sector = sector;
  report.carveStartSector = startSector;
  report.recovered = state_.recoveredCount;
  // Candidates are visited from the highest down: those above this one are done. The list
  // is ascending, so a long carve shows the same progress as the loop that called it.
  const auto& candidates = state_.candidateSectors;
  const auto above = std::upper_bound(candidates.begin(), candidates.end(), static_cast<std::uint64_t>(startSector));
  report.total = static_cast<std::int64_t>(candidates.size());
  report.done = static_cast<std::int64_t>(candidates.end() - above);
  report.candidates = static_cast<std::uint32_t>(candidates.size());
  frontEnd_.progress(report);
  frontEnd_.pump();
}

void ScanCarveServices::rejected(std::int64_t startSector, std::string_view reason) {
  if (quiet_) return;
  // Candidates in a row are mostly turned down for the same reason: its counter is kept at
  // hand instead of looked up (and its key built) for each.
  if (lastCount_ == nullptr || lastCountType_ != candidateType_ || lastCountReason_ != reason) {
    lastCount_ = &rejections_.counts[{candidateType_, std::string(reason)}];
    lastCountType_ = candidateType_;
    lastCountReason_.assign(reason);
    lastReason_.reset();
  }
  ++*lastCount_;
  const bool document = candidateType_ == kTypeOle2 || candidateType_ == kTypeOoxml;
  if (!document || rejections_.documents.size() >= RejectionLog::kMaxListed) return;
  if (!lastReason_) {
    auto it = reasonIndex_.find(reason);
    if (it == reasonIndex_.end()) {
      it = reasonIndex_.emplace(std::string(reason), static_cast<std::uint32_t>(rejections_.reasons.size())).first;
      rejections_.reasons.emplace_back(reason);
    }
    lastReason_ = it->second;
  }
  platform::reserveOneMore(rejections_.documents);
  rejections_.documents.push_back(CandidateRejection{startSector, *lastReason_, candidateType_});
}

void ScanCarveServices::unreadable(std::int64_t startSector, std::int64_t sector) {
  if (quiet_) return;
  state_.unreadableSectors.insert(sector);
  if (rejections_.abandoned.size() < RejectionLog::kMaxListed)
    rejections_.abandoned.push_back(AbandonedCarve{startSector, candidateType_, sector, 0});
}

void ScanCarveServices::outOfMemory(std::int64_t startSector, std::int64_t bytes) {
  if (quiet_) return;
  if (rejections_.abandoned.size() < RejectionLog::kMaxListed)
    rejections_.abandoned.push_back(AbandonedCarve{startSector, candidateType_, -1, bytes});
}

void pumpDelay(FrontEnd& frontEnd, int milliseconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  do {
    frontEnd.pump();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  } while (std::chrono::steady_clock::now() < until);
}

}  // namespace vellumark
