#pragma once
// The walk the stream carvers share (ISO media, RIFF, MPEG, ASF): a chain of units, each
// telling its own length, followed on a Carve from one unit to the next while only a small
// window of the file is held in memory.
//
//   WindowWalk walk(carve);
//   while (walk.need(kHeaderBytes)) {          // the header at the position is held
//     const std::uint64_t length = ...(walk.here());
//     if (!walk.stepOver(length)) return;     // claims the body, moves past the unit
//   }
//   walk.finish();                             // trims the tail, keeps the claims
//
// - Unread claiming: the body of a unit that reaches two sectors or more beyond what is held
//   is claimed sector by sector (stepping over sectors claimed by others) without being
//   read; only its last part, under two sectors, is read, so that the next header is there.
// - Window compaction: once the position is more than 60 sectors past the first held byte,
//   whole sectors before it are dropped, so memory stays bounded for files of any size.
// - Tail trimming: finish() gives back the sectors that were read beyond the file's end to
//   find out that nothing follows, and accepts the file.
//
// Positions are file offsets: the position of the unit being examined is also the length of
// the file traced so far (claimed-but-unread sectors included). A position never moves
// backwards, every length is checked against the scan range before it is added, and a
// length the range cannot hold fails at once rather than claiming up to the range's end.

#include <cstdint>

#include "carvers/carver_framework.h"

namespace vellumark {

class WindowWalk {
 public:
  // Sectors held before the position beyond which the window is compacted.
  static constexpr std::int64_t kWindowSectors = 60;

  explicit WindowWalk(Carve& carve) : carve_(carve) {}

  // File offset of the unit being examined: the length traced so far.
  [[nodiscard]] std::int64_t position() const { return position_; }

  // Makes `count` bytes from the position available in here(). False when the scan range
  // ends first or a read fails.
  [[nodiscard]] bool need(std::int64_t count);

  // The held bytes from the position on: at least `count` after need(count) succeeded.
  // Valid until the next need, stepOver or finish.
  [[nodiscard]] Bytes here() const;

  // Moves the position past a unit of `length` bytes that begins there, claiming its body
  // (unread where it is long) and reading its last part. False, with the position
  // unchanged, when the unit cannot lie wholly in the scan range, the stepping runs past
  // scanEndSector, or a read fails. The sectors claimed on the way stay listed in the carve:
  // a carver that fails releases them with everything else, one that ends its walk here
  // gives them back through finish().
  [[nodiscard]] bool stepOver(std::uint64_t length);

  // Ends the walk as a success at the position: claims beyond it (rounded up to whole
  // sectors) are released and the file is accepted, with the rest of its last cluster.
  void finish();

 private:
  void compact();

  Carve& carve_;
  std::int64_t position_ = 0;
};

}  // namespace vellumark
