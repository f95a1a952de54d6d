#pragma once
// A compound file's bytes for a carve, read ahead without being assembled. The FAT and
// directory sectors a header lists may lie far beyond the first sector; fetching everything
// up to them for each candidate means that every failed candidate reads on to them, and the
// next one reads the same sectors again. This supply instead looks at the sectors asked for
// where the stepping rule would place them, and says how far fetching would have reached;
// only a file that is to be accepted is then assembled that far for real (settle), so what
// it claims is what the carve has always claimed.

#include <cstdint>

#include "carvers/compound_file.h"
#include "platform/growable_buffer.h"

namespace vellumark {

class Carve;

class LookaheadSupply final : public cfb::ByteSupply {
 public:
  // unit: the compound file's sector size; every request is for the unit that ends at `end`.
  LookaheadSupply(Carve& carve, std::int64_t unit);
  ~LookaheadSupply() override;
  LookaheadSupply(const LookaheadSupply&) = delete;
  LookaheadSupply& operator=(const LookaheadSupply&) = delete;
  // The unit before `end` is made available (assembled bytes are copied, later ones looked
  // at). False when it lies past the scan range or cannot be read.
  [[nodiscard]] bool ensure(std::int64_t end) override;
  [[nodiscard]] Bytes bytes() const override;
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

 private:
  Carve& carve_;
  std::int64_t unit_;
  std::int64_t furthest_ = 0;  // the furthest end asked for
  std::int64_t size_ = 0;      // bytes of view_ that bytes() shows
  std::int64_t touched_ = 0;   // bytes of view_ this supply wrote, pages rounded up
  std::int64_t prefix_ = 0;    // bytes assembled when the supply was made, copied at once
  platform::GrowableBuffer view_;  // anonymous memory: only the units asked for are touched
};

}  // namespace vellumark
