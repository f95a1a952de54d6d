#pragma once
// The skeleton every carver shares. A carver makes one Carve for its candidate and then
// only expresses its format: which bytes it needs next (fetchUpTo), how long the file is
// (claimUpTo when the header says so), and whether it accepts the file (accept).
//
//   Carve carve(ctx, startOffset);
//   if (!carve.started() || !bytesEqual(carve.bytes(), 0, "MAGIC")) return;
//   if (!carve.fetchUpTo(length)) return;   // sectors released on the way out
//   carve.accept();                         // sectors stay claimed, cluster slack too
//
// What the skeleton does for every carver:
// - the start sector must be free in the used-sector map, else nothing happens at all;
// - sectors are taken forward from the start, stepping over sectors already claimed by
//   files carved earlier (one at a time, never backwards, never past scanEndSector), and
//   each one is claimed before it is read;
// - on every way out (return, exception) the closing rule runs: an accepted file keeps its
//   claims and also claims the rest of its last cluster; anything else releases every
//   sector the carve took, the start sector included;
// - progress is reported as the carve moves on;
// - a carve that is not accepted tells the reporter why (reject() names the reason).

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "carvers/carve_context.h"
#include "platform/growable_buffer.h"
#include "util/byte_reader.h"

namespace vellumark {

class Carve {
 public:
  // Working buffer growth: the buffer is extended by this much at a time, never per sector.
  static constexpr std::int64_t kGrowthStep = 1 << 20;

  // Claim test and first sector: if the start sector is free it is claimed and read into
  // the working buffer. started() tells whether the format logic may go on.
  Carve(CarveContext& ctx, std::int64_t startOffset);
  ~Carve();
  Carve(const Carve&) = delete;
  Carve& operator=(const Carve&) = delete;

  // False when the start sector was already claimed (nothing was touched) or its read
  // failed (the sector is released again when the carve ends).
  [[nodiscard]] bool started() const { return started_; }

  // Assembles sectors until at least `target` bytes of the file are held (or, after
  // discardBefore, accounted for). False when the stepping runs past scanEndSector, a read
  // fails, or memory runs out; the carver then gives up and its sectors are released.
  [[nodiscard]] bool fetchUpTo(std::int64_t target);

  // Takes sectors by the stepping rule until the file reaches `target` bytes, reading each
  // one (a read that fails fails the carve, as in fetchUpTo) but keeping none of them: for a
  // stretch the file owns and whose bytes the format never looks at. What is assembled stays
  // as it was; a later fetchUpTo keeps bytes only from the new end on.
  [[nodiscard]] bool readThrough(std::int64_t target);

  // For formats whose header gives the total length: claims sectors by the stepping rule
  // until `length` bytes are covered, reading nothing. False when the scan range ends first;
  // the carver decides whether a file cut short is still accepted.
  [[nodiscard]] bool claimUpTo(std::int64_t length);

  // The file turned out to end at `length` bytes (for formats that read past their end to
  // learn where it is): the sectors taken beyond the ones that hold them are released again
  // (the start sector always stays), and the cluster slack of an accepted file is counted
  // from the first of them. Lengths at or beyond what is assembled change nothing.
  void trimTo(std::int64_t length);

  // The file was found elsewhere (by a search that claimed nothing): every sector taken so
  // far is released, and the file becomes `content`, lying in `sectors` (in file order, the
  // start sector first, each free), which are claimed. The cluster slack of an accepted file
  // is counted from the sector after the last of them. False (nothing claimed beyond the
  // start sector) when a sector is not free or memory runs out.
  [[nodiscard]] bool adopt(std::span<const std::int64_t> sectors, Bytes content);

  // Keeps only file bytes from `offset` on in memory (bytes before it may be dropped, and
  // sectors fetched later that lie wholly before it are read but not kept). For formats
  // with long bodies that need not be held. Offsets only grow.
  void discardBefore(std::int64_t offset);

  // Positioned reads on the file: assembles the file up to offset + n and gives the n bytes
  // at file offset `offset`. Empty when they cannot be had (the carve ran out of sectors or
  // they were discarded). Valid until the next fetch.
  [[nodiscard]] Bytes need(std::int64_t offset, std::size_t n);
  // The same for one field: nullopt when it cannot be had.
  [[nodiscard]] std::optional<std::uint8_t> u8At(std::int64_t offset) { return field(offset, 1, vellumark::u8At); }
  [[nodiscard]] std::optional<std::uint16_t> le16At(std::int64_t offset) { return field(offset, 2, le16); }
  [[nodiscard]] std::optional<std::uint32_t> le32At(std::int64_t offset) { return field(offset, 4, le32); }
  [[nodiscard]] std::optional<std::uint64_t> le64At(std::int64_t offset) { return field(offset, 8, le64); }
  [[nodiscard]] std::optional<std::uint16_t> be16At(std::int64_t offset) { return field(offset, 2, be16); }
  [[nodiscard]] std::optional<std::uint32_t> be32At(std::int64_t offset) { return field(offset, 4, be32); }
  [[nodiscard]] std::optional<std::uint64_t> be64At(std::int64_t offset) { return field(offset, 8, be64); }

  // Reads dest.size() bytes of the file at `offset` at or past what is assembled, from the
  // sectors the stepping rule would take for them, without claiming or keeping anything:
  // lets a format test where a record claims to end before it fetches the record.
  enum class Peek { Read, PastRange, Unreadable };
  [[nodiscard]] Peek peekAhead(std::int64_t offset, std::span<std::uint8_t> dest);
  // True when the stepping rule finds sectors for the file up to `length` bytes within the
  // scan range, as fetchUpTo would; nothing is read or claimed.
  [[nodiscard]] bool reachable(std::int64_t length) const;

  // The source byte offset of an assembled (or claimed) file offset; -1 when not yet taken.
  [[nodiscard]] std::int64_t sourceOffsetOf(std::int64_t offset) const;
  // The source byte offset that the stepping rule would give a file offset at or past what
  // is assembled, as peekAhead reads it; -1 when it lies past the scan range.
  [[nodiscard]] std::int64_t sourceOffsetAhead(std::int64_t offset) const;

  // A read failed or memory ran out during this carve: its failure says nothing about the
  // bytes themselves.
  [[nodiscard]] bool troubled() const { return troubled_; }

  // The file as assembled: bytes()[i] is file byte keptFrom() + i. Valid until the next
  // fetchUpTo or discardBefore.
  // Inline: format loops ask for it per byte.
  [[nodiscard]] Bytes bytes() const {
    if (storedEnd_ <= keptFrom_) return {};
    return Bytes(buffer_.data(), static_cast<std::size_t>(storedEnd_ - keptFrom_));
  }
  [[nodiscard]] std::int64_t keptFrom() const { return keptFrom_; }
  // Bytes of the file assembled (or claimed) so far: always whole source sectors.
  [[nodiscard]] std::int64_t filled() const { return filled_; }

  // The format accepts the file: its sectors stay claimed, and the closing rule claims the
  // rest of the last cluster.
  void accept() { accepted_ = true; }

  // The format turns the candidate down, for this reason (shown to users who ask why a
  // document start gave no document). The last reason given is the one reported.
  void reject(std::string_view reason) { reason_.assign(reason); }
  // A file that was traced and accepted but, for this reason, gives no document: reported
  // like a rejection, its sectors stay claimed.
  void reportUnsaved(std::string_view reason) { ctx_.reporter.rejected(startSector_, reason); }

  // Saves the first `length` assembled bytes (which must all be held) as a recovered
  // document under its output name with this extension. Counts it in recoveredCount and
  // recoveredFiles when written, in saveFailures when not. Returns the index of the new
  // entry of recoveredFiles, or -1 when nothing was written.
  [[nodiscard]] std::int64_t saveDocument(std::string_view extension, std::uint8_t typeCode, std::int64_t length);

  // For a document that failed its check: counts it in damagedCount (never in
  // recoveredCount) and, when the user asked to keep such documents, saves the first
  // `length` assembled bytes into the "damaged" folder of the output folder under the name
  // it would have had. Returns whether a file was written.
  bool saveDamaged(std::string_view extension, std::uint8_t typeCode, std::int64_t length);

  [[nodiscard]] std::int64_t startOffset() const { return startOffset_; }
  [[nodiscard]] std::int64_t startSector() const { return startSector_; }
  [[nodiscard]] std::uint32_t bytesPerSector() const { return bytesPerSector_; }
  // What carvers may know of the scan.
  [[nodiscard]] const CarveSettings& settings() const { return settings_; }
  [[nodiscard]] std::uint32_t typeFlags() const { return settings_.typeFlags; }
  [[nodiscard]] std::uint32_t sectorsPerCluster() const { return settings_.sectorsPerCluster; }
  [[nodiscard]] std::uint32_t clusterPhase() const { return settings_.clusterPhase; }
  [[nodiscard]] std::int64_t scanEndSector() const { return settings_.scanEndSector; }
  [[nodiscard]] const ThumbnailRules& thumbnailRules() const;
  [[nodiscard]] CarveContext& context() { return ctx_; }

 private:
  // Moves readOffset_ to the next free sector and claims it. False when none is left in the
  // scan range.
  [[nodiscard]] bool claimNextFreeSector();
  // Claims the sector just after the last one taken when it is free and inside the scan
  // range; false (nothing claimed) otherwise.
  [[nodiscard]] bool claimFollowingSector();
  [[nodiscard]] bool readNextSector();
  [[nodiscard]] bool readSectorAt(std::span<std::uint8_t> dest);
  // The carve fails for want of memory to hold `target` bytes: said, and false.
  [[nodiscard]] bool outOfMemory(std::int64_t target);
  void reportProgress();
  template <typename T>
  [[nodiscard]] std::optional<T> field(std::int64_t offset, std::size_t width, T (*decode)(Bytes, std::size_t)) {
    const Bytes b = need(offset, width);
    if (b.size() != width) return std::nullopt;
    return decode(b, 0);
  }
  void releaseClaims();
  // The source stretches holding the first `length` bytes of the file, merged where the
  // sectors are contiguous.
  [[nodiscard]] std::vector<ByteRun> runsOf(std::int64_t length) const;
  void claimClusterSlack();

  struct Run {
    std::int64_t first;
    std::int64_t count;
  };

  CarveContext& ctx_;
  CarveSettings settings_;
  std::int64_t startOffset_;
  std::int64_t startSector_;
  std::uint32_t bytesPerSector_;
  std::int64_t readOffset_;        // byte offset of the next sector to examine
  std::int64_t filled_ = 0;        // file bytes assembled or claimed
  std::int64_t keptFrom_ = 0;      // file offset of buffer_[0]
  std::int64_t storedEnd_ = 0;     // file offset just past the last byte in buffer_
  // The working buffer: capacity grows in whole steps of kGrowthStep (doubling once large),
  // and is not zero-filled, since only assembled bytes are ever read.
  platform::GrowableBuffer buffer_;
  std::vector<Run> claimed_;       // every sector this carve claimed, as runs
  bool active_ = false;            // passed the claim test: the closing rule applies
  bool started_ = false;
  bool accepted_ = false;
  bool troubled_ = false;
  std::string reason_;

  void reserve(std::size_t bytes);
};

// For carvers whose first checks can fail within a candidate's first sector: the first pass
// runs the same checks there, over this stand-in for a carve that holds that sector and no
// more, and notes kNoteTurnedDown when they fail there, so the second pass need not read the
// sector again.
inline constexpr std::uint32_t kNoteTurnedDown = 1;
class FirstSectorOnly {
 public:
  explicit FirstSectorOnly(Bytes sector) : sector_(sector) {}
  [[nodiscard]] bool fetchUpTo(std::int64_t target) {
    if (target <= static_cast<std::int64_t>(sector_.size())) return true;
    ranOut_ = true;  // the carve would read on: the sector alone does not decide
    return false;
  }
  [[nodiscard]] Bytes bytes() const { return sector_; }
  [[nodiscard]] std::int64_t keptFrom() const { return 0; }
  void discardBefore(std::int64_t) {}
  void accept() { accepted_ = true; }
  // What to note once the checks returned: turned down only when they failed on these bytes.
  [[nodiscard]] std::uint32_t note() const { return ranOut_ || accepted_ ? 0 : kNoteTurnedDown; }

 private:
  Bytes sector_;
  bool ranOut_ = false;
  bool accepted_ = false;
};
// For shortcuts that turn a candidate down as its carve would, without the carve: the
// candidate's first sector when a carve could begin there (a sector size carves take, the
// offset on a sector, the sector in the range and free), with `settings` filled in; -1 when
// not, and the carve is to be run to report it.
[[nodiscard]] std::int64_t freeFirstSector(CarveContext& ctx, std::int64_t startOffset, CarveSettings& settings);

// True when the candidate at startOffset was noted as turned down by its first sector alone:
// it is then turned down as its carve would turn it down, with the carve's reason for a
// format that gives none. A candidate whose first sector was claimed since is left to the
// carve, which reports that instead.
[[nodiscard]] bool turnedDownByFirstSector(CarveContext& ctx, std::int64_t startOffset);

// Byte tests shared by carvers that look at text.
[[nodiscard]] constexpr bool isAsciiLetter(std::uint8_t ch) {
  const std::uint8_t lower = static_cast<std::uint8_t>(ch | 0x20);
  return lower >= 'a' && lower <= 'z';
}
[[nodiscard]] constexpr bool isAsciiDigit(std::uint8_t ch) { return ch >= '0' && ch <= '9'; }

}  // namespace vellumark
