#include "carvers/carver_registry.h"

#include "carvers/ole2_carver.h"
#include "carvers/ooxml_carver.h"
#include "scan/type_codes.h"

namespace vellumark {

namespace {

// Sectors that hold file-system metadata: the candidate's sector and the rest of its
// cluster are kept out of documents.
void claimMetadataCluster(CarveContext& ctx, std::int64_t startOffset) {
  ScanState& state = ctx.state;
  const std::int64_t bps = state.geometry.bytesPerSector;
  if (bps <= 0 || startOffset < 0) return;
  const std::int64_t spc = state.geometry.sectorsPerCluster > 0 ? state.geometry.sectorsPerCluster : 1;
  const std::int64_t phase = state.clusterPhase;
  std::int64_t s = startOffset / bps;
  do {
    state.usedSectorMap.markSector(s++);
  } while ((s - phase) % spc != 0 && s - startOffset / bps < spc);
}

struct CarverEntry {
  std::uint8_t code;
  CarverFn mainPass;     // second pass, highest candidate first
  CarverFn finalSweep;   // the sweep after it
};

// Every carver plugs in here, by the type code of the candidates it takes.
constexpr CarverEntry kCarvers[] = {
    {kTypeFsMetadata, claimMetadataCluster, nullptr},
    {kTypeOle2, carveOle2, nullptr},
    {kTypeOoxml, carveOoxml, nullptr},
};

const CarverEntry* entryFor(std::uint8_t code) {
  for (const CarverEntry& e : kCarvers)
    if (e.code == code) return &e;
  return nullptr;
}

}  // namespace

CarverFn mainPassCarver(std::uint8_t code) {
  const CarverEntry* e = entryFor(code);
  return e ? e->mainPass : nullptr;
}

CarverFn finalSweepCarver(std::uint8_t code) {
  const CarverEntry* e = entryFor(code);
  return e ? e->finalSweep : nullptr;
}

}  // namespace vellumark
