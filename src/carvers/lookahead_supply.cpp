#include "carvers/lookahead_supply.h"

#include <algorithm>
#include <cstring>

#include "carvers/carver_framework.h"
#include "formats/ole2.h"

namespace vellumark {

LookaheadSupply::LookaheadSupply(Carve& carve, std::int64_t unit) : carve_(carve), unit_(unit) {
  const Bytes held = carve_.bytes();
  prefix_.assign(held.begin(), held.end());
  furthest_ = static_cast<std::int64_t>(prefix_.size());
}

const LookaheadSupply::Unit* LookaheadSupply::unitEndingAt(std::int64_t end) const {
  // The unit just made available is the one asked for next, almost always.
  for (auto it = units_.rbegin(); it != units_.rend(); ++it)
    if (it->end == end) return &*it;
  return nullptr;
}

bool LookaheadSupply::ensure(std::int64_t end) {
  if (end <= 0) return end == 0;
  const auto prefix = static_cast<std::int64_t>(prefix_.size());
  if (end <= prefix) return true;
  const std::int64_t from = std::max<std::int64_t>(0, end - unit_);
  Unit unit{end, std::vector<std::uint8_t>(static_cast<std::size_t>(end - from))};
  const Bytes held = carve_.bytes();
  const std::int64_t assembled = carve_.keptFrom() == 0 ? static_cast<std::int64_t>(held.size()) : 0;
  std::int64_t at = from;
  if (at < assembled) {
    const std::int64_t n = std::min(assembled, end) - at;
    std::memcpy(unit.bytes.data(), held.data() + at, static_cast<std::size_t>(n));
    at += n;
  }
  if (at < end) {
    const std::span<std::uint8_t> dest(unit.bytes.data() + (at - from), static_cast<std::size_t>(end - at));
    switch (carve_.peekAhead(at, dest)) {
      case Carve::Peek::Read: break;
      case Carve::Peek::PastRange: return false;
      case Carve::Peek::Unreadable:
        // Fetched for real, so that the sector that fails is reported as it always was.
        if (!carve_.fetchUpTo(end)) return false;
        return ensure(end);
    }
  }
  units_.push_back(std::move(unit));
  furthest_ = std::max(furthest_, end);
  return true;
}

Bytes LookaheadSupply::bytes() const { return Bytes(prefix_); }

Bytes LookaheadSupply::range(std::int64_t from, std::int64_t size) const {
  if (from < 0 || size < 0) return {};
  if (from + size <= static_cast<std::int64_t>(prefix_.size()))
    return Bytes(prefix_).subspan(static_cast<std::size_t>(from), static_cast<std::size_t>(size));
  // Every request is for one unit, and the bytes of a unit are asked for by its own bounds.
  const Unit* u = unitEndingAt(from + size);
  if (u == nullptr || size > static_cast<std::int64_t>(u->bytes.size())) return {};
  return Bytes(u->bytes).subspan(u->bytes.size() - static_cast<std::size_t>(size));
}

std::int64_t LookaheadSupply::reached() const {
  const std::int64_t bps = carve_.bytesPerSector();
  return std::max(carve_.filled(), (furthest_ + bps - 1) / bps * bps);
}

bool LookaheadSupply::extendTo(std::int64_t length) {
  if (!carve_.reachable(length)) return false;
  furthest_ = std::max(furthest_, length);
  return true;
}

bool LookaheadSupply::settle(std::int64_t keep) {
  return carve_.fetchUpTo(std::min(keep, furthest_)) && carve_.readThrough(furthest_);
}

bool LookaheadSupply::settleUnread() { return carve_.claimUpTo(furthest_); }

}  // namespace vellumark
