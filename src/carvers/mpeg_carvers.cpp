#include "carvers/mpeg_carvers.h"

#include "carvers/window_walk.h"
#include "formats/mpeg.h"
#include "scan/sector_classifier.h"

namespace vellumark {

namespace {

using namespace mpeg;

[[nodiscard]] bool isMpeg1Pack(Bytes unit) {
  return be32(unit, 0) == kPackStartCode && isMpeg1PackByte(u8At(unit, kPackFieldsOffset));
}

[[nodiscard]] bool startsUnit(Bytes unit) { return fits(unit, 0, 4) && (be32(unit, 0) >> 8) == kStartCodePrefix; }

[[nodiscard]] std::int64_t clusterBytes(const Carve& carve) {
  return static_cast<std::int64_t>(carve.sectorsPerCluster()) * carve.bytesPerSector();
}

enum class PackVerdict { Continue, EndOfStream, NotMpeg1 };

// The pack header at the walk's position. Where it starts on a cluster boundary its clock
// must move on from the previous pack's by 1 to kMaxPackClockStep.
[[nodiscard]] PackVerdict takePack(WindowWalk& walk, std::int64_t clusterSize, std::int64_t& previousClock) {
  const Bytes pack = walk.here();
  if (!isMpeg1Pack(pack)) return PackVerdict::NotMpeg1;
  const std::int64_t clock = mpeg1PackClock(pack);
  if (walk.position() % clusterSize == 0 && (clock <= previousClock || clock - previousClock > kMaxPackClockStep))
    return PackVerdict::EndOfStream;
  previousClock = clock;
  return walk.stepOver(kPackHeaderBytes) ? PackVerdict::Continue : PackVerdict::EndOfStream;
}

}  // namespace

// Every later pack must be MPEG-1 too: an MPEG-2 pack anywhere fails the whole carve. Any
// other way the units stop (the scan range, a read, a missing start code, a break in the
// clock) ends the stream after its last whole unit.
void carveMpegProgram(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  if (!carve.started()) return;
  const std::int64_t clusterSize = clusterBytes(carve);
  WindowWalk walk(carve);
  std::int64_t previousClock = -1;
  bool atPack = true;  // the first sector begins with a pack header
  for (;;) {
    if (atPack) {
      const PackVerdict verdict = takePack(walk, clusterSize, previousClock);
      if (verdict == PackVerdict::NotMpeg1) return;
      if (verdict == PackVerdict::EndOfStream) break;
    }
    if (!walk.need(kPackHeaderBytes)) break;
    const Bytes unit = walk.here();
    if (!startsUnit(unit)) break;
    const std::uint8_t id = unit[3];
    atPack = id == kPackId;
    if (atPack) continue;
    if (id == kProgramEndId) {
      // The end code has no length field; the stream ends with it.
      static_cast<void>(walk.stepOver(kProgramEndBytes));
      break;
    }
    if (!walk.stepOver(std::uint64_t{be16(unit, kPacketLengthOffset)} + kPacketHeaderBytes)) break;
  }
  walk.finish();
}

// The first three units are those the classifier checked. Every unit is read: none is long.
void carveMpegTransport(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  if (!carve.started()) return;
  const Bytes first = carve.bytes();
  for (std::size_t unit = 0; unit < 3; ++unit)
    if (u8At(first, unit * kTimestampedUnitBytes + kUnitSyncOffset) != kSyncByte) return;
  std::uint32_t previousStamp = be32(first, 2 * kTimestampedUnitBytes);
  const std::int64_t clusterSize = clusterBytes(carve);

  WindowWalk walk(carve);
  if (!walk.stepOver(3 * kTimestampedUnitBytes)) return;
  while (walk.need(kTimestampedUnitBytes)) {
    const Bytes unit = walk.here();
    if (unit[kUnitSyncOffset] != kSyncByte) break;
    const std::uint32_t stamp = be32(unit, 0);
    if (walk.position() % clusterSize == 0 && ((stamp - previousStamp) & kArrivalTimeMask) > kMaxArrivalStep) break;
    previousStamp = stamp;
    if (!walk.stepOver(kTimestampedUnitBytes)) break;
  }
  walk.finish();
}

}  // namespace vellumark
