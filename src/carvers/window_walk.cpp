#include "carvers/window_walk.h"

#include <limits>

namespace vellumark {

bool WindowWalk::need(std::int64_t count) {
  if (count < 0 || count > std::numeric_limits<std::int64_t>::max() - position_) return false;
  return carve_.fetchUpTo(position_ + count);
}

Bytes WindowWalk::here() const {
  const Bytes held = carve_.bytes();
  const std::int64_t from = position_ - carve_.keptFrom();
  if (from < 0 || static_cast<std::uint64_t>(from) >= held.size()) return {};
  return held.subspan(static_cast<std::size_t>(from));
}

bool WindowWalk::stepOver(std::uint64_t length) {
  // The file cannot be longer than the part of the scan range from its start on, whatever
  // sectors it steps over; a unit that would make it so fails here, before anything more is
  // claimed (this also keeps every sum below in range).
  const std::int64_t bps = carve_.bytesPerSector();
  const std::int64_t room = (carve_.scanEndSector() + 1) * bps - carve_.startOffset();
  if (room < position_ || length > static_cast<std::uint64_t>(room - position_)) return false;
  const std::int64_t end = position_ + static_cast<std::int64_t>(length);

  // Claim the body unread while two sectors or more of it lie beyond what is held: the last
  // part read below then still holds the unit's end and whatever starts there.
  if (end - carve_.filled() >= 2 * bps && !carve_.claimUpTo(end - 2 * bps + 1)) return false;
  if (!carve_.fetchUpTo(end)) return false;
  position_ = end;
  compact();
  return true;
}

void WindowWalk::compact() {
  const std::int64_t bps = carve_.bytesPerSector();
  const std::int64_t ahead = position_ - carve_.keptFrom();
  if (ahead <= kWindowSectors * bps) return;
  carve_.discardBefore(carve_.keptFrom() + ahead / bps * bps);
}

void WindowWalk::finish() {
  carve_.trimTo(position_);
  carve_.accept();
}

}  // namespace vellumark
