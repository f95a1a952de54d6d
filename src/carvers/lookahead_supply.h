#pragma once
// A compound file's bytes for a carve, read ahead without being assembled. The FAT and
// directory sectors a header lists may lie far beyond the first sector; fetching everything
// up to them for each candidate means that every failed candidate reads on to them, and the
// next one reads the same sectors again. This supply instead looks at the sectors asked for
// where the stepping rule would place them, and says how far fetching would have reached;
// only a file that is to be accepted is then assembled that far for real (settle), so what
// it claims is what the carve has always claimed.

#include <cstdint>

#include <vector>

#include "carvers/compound_file.h"

namespace vellumark {

class Carve;

class LookaheadSupply final : public cfb::ByteSupply {
 public:
  // unit: the compound file's sector size; every request is for the unit that ends at `end`.
  LookaheadSupply(Carve& carve, std::int64_t unit);
  LookaheadSupply(const LookaheadSupply&) = delete;
  LookaheadSupply& operator=(const LookaheadSupply&) = delete;
  // The unit before `end` is made available (assembled bytes are copied, later ones looked
  // at). False when it lies past the scan range or cannot be read.
  [[nodiscard]] bool ensure(std::int64_t end) override;
  // The bytes assembled when the supply was made.
  [[nodiscard]] Bytes bytes() const override;
  // From those, or from one unit made available by ensure.
  [[nodiscard]] Bytes range(std::int64_t from, std::int64_t size) const override;
  // The file bytes the carve would hold had every request been fetched: whole source sectors.
  [[nodiscard]] std::int64_t reached() const;
  // Counts the file as reaching `length` bytes, as a fetch that far would, without reading:
  // settle fetches it. False (nothing changed) when the stepping rule runs out of the scan
  // range before then.
  [[nodiscard]] bool extendTo(std::int64_t length);
  // Takes the sectors for real up to the furthest request, keeping the file's bytes only up
  // to `keep` (what the format goes on to look at): sectors past it are read and claimed
  // but not held. False when that fails.
  [[nodiscard]] bool settle(std::int64_t keep);
  // Takes the same sectors as settle without reading them: for a file that is only traced,
  // whose bytes nothing looks at. False when the scan range ends first.
  [[nodiscard]] bool settleUnread();

 private:
  // A unit made available beyond the assembled bytes: file bytes [end - unit, end).
  struct Unit {
    std::int64_t end = 0;
    std::vector<std::uint8_t> bytes;
  };
  [[nodiscard]] const Unit* unitEndingAt(std::int64_t end) const;

  Carve& carve_;
  std::int64_t unit_;
  std::int64_t furthest_ = 0;  // the furthest end asked for
  std::vector<std::uint8_t> prefix_;  // the bytes assembled when the supply was made
  // Kept apart, each in its own few bytes: the FAT sectors a header lists may lie anywhere
  // up to 200 MiB ahead, and a view of the whole file would cost a fresh page for each.
  std::vector<Unit> units_;
};

}  // namespace vellumark
