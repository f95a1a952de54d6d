// Every carver of the table over a small image, through the services the scan driver uses.
//
// Input: byte 0 chooses the geometry (bit 0: 4096-byte sectors instead of 512; bits 1-2:
// 1, 2, 4 or 8 sectors per cluster; bit 3: keep damaged documents; bit 4: one sector cannot
// be read, sector 0 when bits 5-7 hold n = 0, else sector 8n - 1), byte 1 is the type code
// of the candidate (when no carver takes that code, the code the classifier gives the first
// sector), and the rest is the image from its first byte, zero-padded to whole sectors. The
// candidate is carved at offset 0 in the second pass, then once more in the final sweep.
//
// When byte 1 has bit 7 set, its other bits are the type code and two option bytes follow
// before the image:
//   byte 2 bit 0     the confirmed pass runs first (packages checked whole, fragment search);
//   byte 2 bit 1     every sector the classifier recognises is a candidate too, carved
//                    highest first as the driver does (so failed walks are remembered and
//                    recalled by lower candidates);
//   byte 2 bits 2-3  sectors claimed before the carves: none, every odd cluster, every third
//                    cluster from cluster 2, clusters 1 to 3;
//   byte 2 bits 4-5  the scan range ends after all, 3/4, 1/2 or 1/4 of the image;
//   byte 2 bits 6-7  the families written: all, only DOC, only XLS, only PPT;
//   byte 3 bits 0-2  the cluster phase (taken modulo the sectors per cluster).

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <unordered_set>
#include <vector>

#include "carvers/carver_registry.h"
#include "driver/carve_services.h"
#include "fuzz_support.h"
#include "scan/document_families.h"
#include "scan/front_end.h"
#include "scan/sector_classifier.h"
#include "scan/type_codes.h"

namespace {

using namespace vellumark;

constexpr std::size_t kMaxImageBytes = 1 << 20;

const fuzz::OutputFolder kOutput("carvers");
[[maybe_unused]] const bool kLowered = fuzz::lowerSearchLimits();

struct Options {
  bool confirmedPass = false;
  bool everyCandidate = false;
  int claimPattern = 0;
  int rangeQuarters = 4;
  std::uint32_t families = kAllFamilies;
  std::uint32_t clusterPhase = 0;
};

Options readOptions(std::uint8_t a, std::uint8_t b) {
  static constexpr std::uint32_t kFamilies[] = {kAllFamilies, kFamilyDoc, kFamilyXls, kFamilyPpt};
  Options o;
  o.confirmedPass = (a & 1) != 0;
  o.everyCandidate = (a & 2) != 0;
  o.claimPattern = (a >> 2) & 3;
  o.rangeQuarters = 4 - ((a >> 4) & 3);
  o.families = kFamilies[(a >> 6) & 3];
  o.clusterPhase = b & 7;
  return o;
}

bool claimedBefore(int pattern, std::int64_t cluster) {
  switch (pattern) {
    case 1: return cluster % 2 == 1;
    case 2: return cluster >= 2 && cluster % 3 == 2;
    case 3: return cluster >= 1 && cluster <= 3;
    default: return false;
  }
}

struct Candidate {
  std::int64_t sector;
  std::uint8_t code;
};

// The candidate at sector 0 with the code asked for, and with everyCandidate, every later
// sector of the range the classifier recognises; lowest first.
std::vector<Candidate> candidates(const ScanState& state, std::span<const std::uint8_t> image, std::uint32_t sectorBytes,
                                  std::uint8_t code, bool everyCandidate) {
  std::vector<Candidate> list{{0, code}};
  if (!everyCandidate) return list;
  for (std::int64_t s = 1; s <= state.scanEndSector; ++s) {
    const std::size_t at = static_cast<std::size_t>(s) * sectorBytes;
    if (at + sectorBytes > image.size()) break;
    const std::uint8_t t = classifySector(image.subspan(at, sectorBytes));
    if (t != kTypeNone) list.push_back({s, t});
  }
  return list;
}

void carveAll(ScanState& state, ScanCarveServices& services, const std::vector<Candidate>& list, bool confirmedPass) {
  const std::int64_t bps = state.geometry.bytesPerSector;
  const std::int64_t spc = state.geometry.sectorsPerCluster;
  std::unordered_set<std::int64_t> confirmed;
  services.setPhase(ScanPhase::SecondPass);
  if (confirmedPass) {
    services.setQuiet(true);
    for (auto c = list.rbegin(); c != list.rend(); ++c) {
      const CarverFn carve = confirmedPassCarver(c->code);
      if (carve == nullptr || state.usedSectorMap.isSectorUsed(c->sector)) continue;
      services.setCandidateType(c->code);
      carve(services.context(), c->sector * bps);
      if (state.usedSectorMap.isSectorUsed(c->sector)) confirmed.insert(c->sector);
    }
    services.setQuiet(false);
  }
  for (auto c = list.rbegin(); c != list.rend(); ++c) {
    if (confirmed.count(c->sector) != 0) continue;
    if (c->code == kTypeFsMetadata) {
      const std::int64_t into = ((c->sector - state.clusterPhase) % spc + spc) % spc;
      state.usedSectorMap.markSectorRun(spc - into, c->sector);
      services.memory().forget();
      continue;
    }
    if (CarverFn carve = mainPassCarver(c->code)) {
      services.setCandidateType(c->code);
      carve(services.context(), c->sector * bps);
    }
  }
  services.setPhase(ScanPhase::FinalSweep);
  for (auto c = list.rbegin(); c != list.rend(); ++c) {
    if (CarverFn carve = finalSweepCarver(c->code)) {
      services.setCandidateType(c->code);
      carve(services.context(), c->sector * bps);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const bool extended = (data[1] & 0x80) != 0;
  const std::size_t head = extended ? 4 : 2;
  if (size <= head) return 0;
  const Options options = extended ? readOptions(data[2], data[3]) : Options{};
  const std::uint32_t sectorBytes = (data[0] & 1) ? 4096 : 512;
  const std::uint32_t sectorsPerCluster = 1u << ((data[0] >> 1) & 3);
  const std::span<const std::uint8_t> rest(data + head, std::min(size - head, kMaxImageBytes));

  ScanState state;
  const int n = data[0] >> 5;
  const std::int64_t unreadable = (data[0] & 0x10) == 0 ? -1 : n == 0 ? 0 : 8 * n - 1;
  const std::vector<std::uint8_t> image = fuzz::sectorImage(rest, sectorBytes);
  fuzz::openForCarving(state, image, sectorBytes, sectorsPerCluster, unreadable);
  state.keepDamaged = (data[0] & 8) != 0;
  state.outputFolder = kOutput.empty();
  state.typeFlags = options.families;
  state.clusterPhase = options.clusterPhase % sectorsPerCluster;
  const std::int64_t sectors = state.geometry.lastSector + 1;
  state.scanEndSector = std::max<std::int64_t>(0, sectors * options.rangeQuarters / 4 - 1);
  for (std::int64_t s = sectorsPerCluster; s < sectors; ++s)
    if (claimedBefore(options.claimPattern, (s - state.clusterPhase) / sectorsPerCluster)) state.usedSectorMap.markSector(s);

  std::uint8_t code = data[1] & 0x7f;
  if (!mainPassCarver(code) && !finalSweepCarver(code)) code = classifySector(std::span(image).first(sectorBytes));

  SilentFrontEnd frontEnd;
  ScanCarveServices services(state, frontEnd);
  carveAll(state, services, candidates(state, image, sectorBytes, code, options.everyCandidate), options.confirmedPass);
  if (state.recoveredCount != state.recoveredFiles.size()) std::abort();
  return 0;
}
