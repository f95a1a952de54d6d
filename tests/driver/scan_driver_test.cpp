#include "driver/scan_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "app/refusal_text.h"
#include "scan/type_codes.h"
#include "support/image_builder.h"
#include "support/recording_front_end.h"

namespace vellumark {
namespace {

using test::ImageBuilder;
using test::RecordingFrontEnd;
using test::TempDir;

// Test sectors announce their type code after a marker; everything else is nothing.
constexpr char kMarker[] = "VMKTEST";

struct CarveCall {
  std::int64_t sector;
  char pass;  // 'm' second pass, 's' final sweep
};

// What the injected hooks saw. The driver calls them through plain function pointers.
struct HookLog {
  std::vector<CarveCall> calls;
  std::atomic<std::uint32_t>* tickPerSector = nullptr;  // advanced on every classification
  std::int64_t classified = 0;
  // A carver call for this sector copies the used-sector map around probeStart.
  std::int64_t probeAt = -1;
  std::int64_t probeStart = 0;
  std::vector<bool> probe;
  AllocatedSpaceResult markResult{true, false};
  std::int64_t markUpTo = -1;  // marking marks sectors 0..markUpTo
  ScanState* state = nullptr;  // the scan in progress
};
HookLog gLog;

std::uint8_t markerClassifier(std::span<const std::uint8_t> sector) {
  ++gLog.classified;
  if (gLog.tickPerSector != nullptr) gLog.tickPerSector->fetch_add(1);
  if (sector.size() < 8 || std::memcmp(sector.data(), kMarker, 7) != 0) return 0;
  return sector[7];
}

void recordCall(CarveContext& ctx, std::int64_t offset, char pass) {
  const std::int64_t s = offset / ctx.settings.current(offset).bytesPerSector;
  gLog.calls.push_back({s, pass});
  if (s == gLog.probeAt) {
    gLog.probe.clear();
    for (std::int64_t i = 0; i < 16; ++i) gLog.probe.push_back(ctx.claims.isSectorUsed(gLog.probeStart + i));
  }
}

void mainCarve(CarveContext& ctx, std::int64_t offset) {
  recordCall(ctx, offset, 'm');
  ++gLog.state->recoveredCount;  // as if a file had been written
}
void sweepCarve(CarveContext& ctx, std::int64_t offset) { recordCall(ctx, offset, 's'); }

CarverFn mainLookup(std::uint8_t code) {
  return code == kTypeJpegOther || code == kTypeGif || code == kTypeJet || code == kTypeMp3Id3 ? nullptr : mainCarve;
}
CarverFn sweepLookup(std::uint8_t code) { return code == kTypeJpegOther ? sweepCarve : nullptr; }

AllocatedSpaceResult fakeMarking(ScanState& state, FrontEnd&) {
  if (gLog.markUpTo >= 0) state.usedSectorMap.markSectorRun(gLog.markUpTo + 1, 0);
  return gLog.markResult;
}

constexpr ScanHooks kHooks{markerClassifier, mainLookup, sweepLookup, fakeMarking};

class ScanDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gLog = HookLog{};
    gLog.state = &state;
  }

  // Opens an image of `sectors` 512-byte sectors with markers at the given sectors.
  void open(std::uint64_t sectors, const std::map<std::int64_t, std::uint8_t>& markers, std::uint32_t spc = 1,
            std::int32_t clusterOffset = -1) {
    ImageBuilder image(sectors);
    for (auto [s, code] : markers) {
      image.putText(static_cast<std::uint64_t>(s) * 512, kMarker);
      image.putBytes(static_cast<std::uint64_t>(s) * 512 + 7, std::array<std::uint8_t, 1>{code});
    }
    auto source = image.source();
    memory = source.get();
    openScanSource(state, std::move(source), "test image");
    state.geometry.sectorsPerCluster = spc;
    state.geometry.clusterOffset = clusterOffset;
  }

  ScanRequest wholeRange() {
    ScanRequest r;
    r.outputFolder = out.path().string();
    r.startSector = 0;
    r.endSector = state.geometry.lastSector;
    return r;
  }

  ScanSummary scan(const ScanRequest& r) { return runScan(state, frontEnd, r, kHooks); }
  ScanSummary scan() { return scan(wholeRange()); }

  std::vector<std::int64_t> carved(char pass) const {
    std::vector<std::int64_t> out;
    for (const CarveCall& c : gLog.calls) {
      if (c.pass == pass) out.push_back(c.sector);
    }
    return out;
  }

  ScanState state;
  RecordingFrontEnd frontEnd;
  TempDir out;
  MemorySource* memory = nullptr;
};

TEST_F(ScanDriverTest, ValidationRefusesInOrderAndDoesNothingElse) {
  open(100, {{5, kTypeOle2}});
  ScanRequest r = wholeRange();

  std::vector<int> entries;
  auto refusal = [&](const ScanRequest& request) {
    const ScanRefusal why = scan(request).refusal;
    entries.push_back(refusalTextEntry(why));
    return why;
  };
  state.typeFlags = 0;
  r.outputFolder = (out / "missing").string();
  EXPECT_EQ(refusal(r), ScanRefusal::NoFamilies);  // the families come first
  state.typeFlags = kFamilyXls;
  EXPECT_EQ(refusal(r), ScanRefusal::NoOutputFolder);
  r.outputFolder = "";
  EXPECT_EQ(refusal(r), ScanRefusal::NoOutputFolder);
  r.outputFolder = out.path().string();
  r.folderOnSource = [](const std::string&) { return true; };
  r.startSector = -1;
  EXPECT_EQ(refusal(r), ScanRefusal::OutputOnSource);  // before the range
  r.folderOnSource = nullptr;
  EXPECT_EQ(refusal(r), ScanRefusal::BadRange);
  r.startSector = 50;
  r.endSector = 49;
  EXPECT_EQ(refusal(r), ScanRefusal::BadRange);
  r.startSector = 0;
  r.endSector = 100;  // one past the last sector
  EXPECT_EQ(refusal(r), ScanRefusal::BadRange);
  EXPECT_EQ(entries, (std::vector<int>{20, 21, 21, 22, 23, 23, 23}));
  EXPECT_TRUE(frontEnd.messages.empty()) << "the front end shows refusals, not the driver";
  EXPECT_EQ(gLog.classified, 0);
  EXPECT_TRUE(gLog.calls.empty());

  r.endSector = 99;
  const ScanSummary s = scan(r);
  EXPECT_EQ(s.refusal, ScanRefusal::None);
  EXPECT_EQ(state.outputFolder.back(), '/');
  EXPECT_EQ(carved('m'), (std::vector<std::int64_t>{5}));
  EXPECT_EQ(s.recovered, 1u);
  EXPECT_FALSE(state.usedSectorMap.allocated());
  EXPECT_TRUE(state.candidateSectors.empty());
}

TEST_F(ScanDriverTest, NoSourceIsRefused) {
  ScanRequest r;
  r.outputFolder = out.path().string();
  EXPECT_EQ(runScan(state, frontEnd, r, kHooks).refusal, ScanRefusal::NoSource);
  EXPECT_EQ(refusalTextEntry(ScanRefusal::NoSource), 16);
}

TEST_F(ScanDriverTest, CandidatesAreCarvedHighestFirstThenTheSweep) {
  open(600, {{10, kTypeOle2}, {20, kTypeJpegOther}, {30, kTypeOoxml}, {400, kTypePdf}, {450, kTypeJpegOther},
             {599, kTypeJpegApp}});
  const ScanSummary s = scan();
  EXPECT_EQ(carved('m'), (std::vector<std::int64_t>{599, 400, 30, 10}));
  EXPECT_EQ(carved('s'), (std::vector<std::int64_t>{450, 20}));
  EXPECT_EQ(gLog.calls.back().pass, 's');
  EXPECT_EQ(s.candidatesFound, 6u);
  EXPECT_EQ(s.documentCandidates, 2u);
  EXPECT_EQ(s.recovered, 4u);
  EXPECT_EQ(s.foundByType[kTypeJpegOther], 2u);
  EXPECT_FALSE(s.cancelled);
  EXPECT_FALSE(s.stopped);
  EXPECT_EQ(s.sectorsExamined, 600);
}

TEST_F(ScanDriverTest, UnrecordedCodesNeverBecomeCandidates) {
  open(200, {{10, kTypeMpeg2PackZero}, {20, kTypeMpeg2PackEarly}, {30, kTypeMpeg1PackLater}, {40, kTypeTs192Later},
             {50, kTypeTs188}, {60, kTypeGif}, {70, kTypeJet}, {80, kTypeMp3Id3}, {90, kTypeMpeg1PackZero}});
  const ScanSummary s = scan();
  EXPECT_EQ(s.candidatesFound, 4u);
  for (std::uint8_t code : {29, 30, 32, 34, 35}) EXPECT_EQ(s.foundByType[code], 0u) << int(code);
  for (std::uint8_t code : {3, 6, 8, 31}) EXPECT_EQ(s.foundByType[code], 1u) << int(code);
  EXPECT_EQ(carved('m'), (std::vector<std::int64_t>{90}));
}

TEST_F(ScanDriverTest, AlignmentEstimateKeepsTheHeaviestOffset) {
  // Offsets within 8-sector clusters: 1003 and 2003 weigh 1 each at offset 3, 3011 (a JPEG
  // without APP0/APP1) half: 2.5. 3012 alone at offset 4 is dropped.
  open(4000, {{1003, kTypeJpegApp}, {2003, kTypeJpegApp}, {3011, kTypeJpegOther}, {3012, kTypeJpegApp}}, 8);
  const ScanSummary s = scan();
  EXPECT_EQ(s.clusterPhase, 3u);
  EXPECT_EQ(s.candidatesFound, 4u);
  EXPECT_EQ(s.candidatesKept, 3u);
  EXPECT_EQ(carved('m'), (std::vector<std::int64_t>{2003, 1003}));
  EXPECT_EQ(carved('s'), (std::vector<std::int64_t>{3011}));
}

TEST_F(ScanDriverTest, AlignmentWeightsHalvesMetadataAndTies) {
  RecordingFrontEnd fe;
  ScanState st;
  // Offsets 2 and 6 tie: the lowest wins. Metadata at offset 7 counts nothing.
  st.candidateSectors = {2, 6, 10, 14, 15, 23, 31};
  st.candidateTypes = {kTypeJpegApp, kTypeOle2, kTypeOle2, kTypeJpegApp, kTypeFsMetadata, kTypeFsMetadata, kTypeFsMetadata};
  EXPECT_EQ(estimateClusterPhase(st, fe, 8), 2u);
  EXPECT_EQ(st.candidateSectors, (CandidateSectorList{2, 10}));
  EXPECT_EQ(st.candidateTypes, (CandidateTypeList{kTypeJpegApp, kTypeOle2}));

  // Two half-weight JPEGs at offset 1 tie with one whole candidate at offset 5.
  st.candidateSectors = {1, 5, 9};
  st.candidateTypes = {kTypeJpegOther, kTypeOle2, kTypeJpegOther};
  EXPECT_EQ(estimateClusterPhase(st, fe, 8), 1u);
  // Three halves beat one whole.
  st.candidateSectors = {1, 5, 9, 17};
  st.candidateTypes = {kTypeJpegOther, kTypeOle2, kTypeJpegOther, kTypeJpegOther};
  EXPECT_EQ(estimateClusterPhase(st, fe, 8), 1u);
  EXPECT_EQ(st.candidateSectors, (CandidateSectorList{1, 9, 17}));
}

TEST_F(ScanDriverTest, KnownClusterOffsetExaminesOnlyFirstSectors) {
  open(1000, {{11, kTypeOle2}, {12, kTypeOle2}, {995, kTypeOle2}}, 8, 3);
  const ScanSummary s = scan();
  EXPECT_EQ(s.sectorsExamined, 125);  // 3, 11, ..., 995
  EXPECT_EQ(carved('m'), (std::vector<std::int64_t>{995, 11}));
  EXPECT_EQ(s.clusterPhase, 3u);
}

TEST_F(ScanDriverTest, MetadataMarksTheRestOfItsCluster) {
  open(1100, {{1003, kTypeFsMetadata}, {11, kTypeOle2}}, 8, 3);
  gLog.probeAt = 11;
  gLog.probeStart = 1000;
  (void)scan();
  // Sectors 1003..1010 are marked, 1000..1002 and 1011 onwards are not.
  std::vector<bool> expected(16, false);
  for (int i = 3; i <= 10; ++i) expected[static_cast<std::size_t>(i)] = true;
  EXPECT_EQ(gLog.probe, expected);
  EXPECT_EQ(carved('m'), (std::vector<std::int64_t>{11}));  // metadata goes to no carver
}

TEST_F(ScanDriverTest, MetadataWithOneSectorClustersMarksOnlyItself) {
  open(1100, {{1003, kTypeFsMetadata}, {11, kTypeOle2}});
  gLog.probeAt = 11;
  gLog.probeStart = 1000;
  (void)scan();
  std::vector<bool> expected(16, false);
  expected[3] = true;
  EXPECT_EQ(gLog.probe, expected);
  EXPECT_EQ(sectorsToClusterEnd(1003, 3, 8), 8);
  EXPECT_EQ(sectorsToClusterEnd(1009, 3, 8), 2);
  EXPECT_EQ(sectorsToClusterEnd(0, 3, 8), 3);  // before the first whole cluster
  EXPECT_EQ(sectorsToClusterEnd(1003, 0, 1), 1);
}

TEST_F(ScanDriverTest, CancelInFirstPassStillCarvesWhatWasFound) {
  open(1000, {{100, kTypeOle2}, {900, kTypeOle2}});
  gLog.tickPerSector = &state.displayTick;
  frontEnd.onProgress = [this](const ProgressReport& r) {
    if (r.phase == ScanPhase::FirstPass && r.sector >= 500) state.scanCancelled = true;
  };
  const ScanSummary s = scan();
  EXPECT_TRUE(s.cancelled);
  EXPECT_FALSE(s.stopped);
  EXPECT_EQ(carved('m'), (std::vector<std::int64_t>{100}));
  EXPECT_LT(s.sectorsExamined, 510);
  // Progress came with the document count and the position.
  const auto first = std::find_if(frontEnd.reports.begin(), frontEnd.reports.end(),
                                  [](const ProgressReport& r) { return r.phase == ScanPhase::FirstPass && r.sector == 200; });
  ASSERT_NE(first, frontEnd.reports.end());
  EXPECT_EQ(first->documentCandidates, 1u);
  EXPECT_EQ(first->total, 1000);
  EXPECT_EQ(first->done, 200);
}

TEST_F(ScanDriverTest, StopInSecondPassSkipsTheRestAndTheSweep) {
  open(1000, {{100, kTypeOle2}, {200, kTypeJpegOther}, {300, kTypeOle2}, {400, kTypeOle2}, {500, kTypeOle2}});
  frontEnd.onPump = [this] {
    if (!state.carvingOver() && gLog.calls.size() == 2) state.recoveryState = kRecoveryStopRequested;
  };
  const ScanSummary s = scan();
  EXPECT_TRUE(s.stopped);
  EXPECT_FALSE(s.cancelled);
  EXPECT_EQ(carved('m'), (std::vector<std::int64_t>{500, 400}));
  EXPECT_TRUE(carved('s').empty());
  EXPECT_EQ(s.recovered, 2u);
}

TEST_F(ScanDriverTest, PauseWaitsThenResumes) {
  open(1000, {{100, kTypeOle2}, {300, kTypeOle2}});
  int pausedPumps = 0;
  frontEnd.onPump = [&] {
    if (state.carvingOver()) return;
    if (gLog.calls.size() == 1 && pausedPumps == 0) state.recoveryState = kRecoveryPaused;
    if (state.recoveryState == kRecoveryPaused) {
      EXPECT_EQ(gLog.calls.size(), 1u);  // nothing is carved while paused
      if (++pausedPumps == 5) state.recoveryState = kRecoveryRunning;
    }
  };
  const ScanSummary s = scan();
  EXPECT_EQ(pausedPumps, 5);
  EXPECT_EQ(carved('m'), (std::vector<std::int64_t>{300, 100}));
  EXPECT_FALSE(s.stopped);
}

TEST_F(ScanDriverTest, StopWhilePausedEndsTheSecondPass) {
  open(1000, {{100, kTypeOle2}, {300, kTypeOle2}});
  int pumpsInPass = 0;
  frontEnd.onPump = [&] {
    if (state.carvingOver()) return;
    ++pumpsInPass;
    if (pumpsInPass == 1) state.recoveryState = kRecoveryPaused;
    if (pumpsInPass == 4) state.recoveryState = kRecoveryStopRequested;
  };
  const ScanSummary s = scan();
  EXPECT_TRUE(s.stopped);
  EXPECT_TRUE(gLog.calls.empty());
}

TEST_F(ScanDriverTest, UnreadableSectorsAreSkippedAndReadDirectlyWhereTheyCan) {
  open(400, {{60, kTypeOle2}, {50, kTypeOle2}, {300, kTypeOle2}});
  memory->failReadsIn(50 * 512, 512);  // the window over sectors 0..127 fails, sector 50 itself too
  const ScanSummary s = scan();
  EXPECT_EQ(s.sectorsUnreadable, 1);
  EXPECT_EQ(carved('m'), (std::vector<std::int64_t>{300, 60}));
}

TEST_F(ScanDriverTest, ABadRegionCostsOneFailedWindowReadNotOnePerSector) {
  open(400, {{300, kTypeOle2}});
  memory->failReadsIn(10 * 512, 512);
  const std::size_t before = memory->readCalls();
  const ScanSummary s = scan();
  EXPECT_EQ(s.sectorsUnreadable, 1);
  // One look for a partition table, one failed read of the first pass's large chunk, one
  // failed window read, one direct read of each sector of that window (so every bad sector
  // in it is found), then windows again (three of them for the rest of the chunk): not a
  // failing window read for each sector before 10.
  EXPECT_LE(memory->readCalls() - before, 1u + 1u + 1u + 128u + 3u);
}

TEST_F(ScanDriverTest, FreeSpaceSkipsAllocatedSectors) {
  open(400, {{60, kTypeOle2}, {300, kTypeOle2}});
  gLog.markUpTo = 99;
  ScanRequest r = wholeRange();
  r.freeSpaceOnly = true;
  const ScanSummary s = scan(r);
  EXPECT_EQ(s.sectorsExamined, 300);
  EXPECT_EQ(carved('m'), (std::vector<std::int64_t>{300}));
  EXPECT_FALSE(s.freeSpaceMarkingFailed);
}

TEST_F(ScanDriverTest, FailedMarkingScansEverythingAndSaysWhetherToOfferItAgain) {
  open(400, {{60, kTypeOle2}, {300, kTypeOle2}});
  ScanRequest r = wholeRange();
  r.freeSpaceOnly = true;
  gLog.markUpTo = 99;
  gLog.markResult = {false, false};
  ScanSummary s = scan(r);
  EXPECT_TRUE(s.freeSpaceMarkingFailed);
  EXPECT_TRUE(s.disableFreeSpace);
  EXPECT_FALSE(state.freeSpaceOnly);
  EXPECT_EQ(carved('m'), (std::vector<std::int64_t>{300, 60}));

  // Cancelled marking: nothing is searched, the option stays available.
  gLog = HookLog{};
  gLog.markResult = {false, true};
  state.freeSpaceOnly = false;
  frontEnd.onPump = nullptr;
  s = runScan(state, frontEnd, r, ScanHooks{markerClassifier, mainLookup, sweepLookup,
                                             [](ScanState& st, FrontEnd&) {
                                               st.scanCancelled = true;
                                               return AllocatedSpaceResult{false, true};
                                             }});
  EXPECT_TRUE(s.cancelled);
  EXPECT_FALSE(s.disableFreeSpace);
  EXPECT_EQ(gLog.classified, 0);
}

// Zeros everywhere except a few marker sectors; as large as asked without holding it.
class SparseSource final : public SectorSource {
 public:
  SparseSource(std::uint64_t sizeBytes, std::map<std::uint64_t, std::uint8_t> markers)
      : size_(sizeBytes), markers_(std::move(markers)) {}
  platform::Expected<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
    if (offset >= size_) return std::size_t{0};
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size_ - offset));
    std::fill_n(buffer.begin(), n, 0);
    for (auto [sector, code] : markers_) {
      const std::uint64_t at = sector * 512;
      if (at < offset || at + 8 > offset + n) continue;
      std::memcpy(buffer.data() + (at - offset), kMarker, 7);
      buffer[at - offset + 7] = code;
    }
    return n;
  }
  std::uint64_t sizeBytes() const override { return size_; }
  std::uint32_t logicalSectorSize() const override { return 512; }
  SourceKind kind() const override { return SourceKind::ImageFile; }

 private:
  std::uint64_t size_;
  std::map<std::uint64_t, std::uint8_t> markers_;
};

TEST_F(ScanDriverTest, StartSectorsPast32BitsKeepAllTheirBits) {
  constexpr std::uint64_t k4G = 1ull << 32;
  openScanSource(state,
                 std::make_unique<SparseSource>((k4G + 1000) * 512,
                                                std::map<std::uint64_t, std::uint8_t>{{k4G - 3, kTypeOle2},
                                                                                      {k4G + 5, kTypeOoxml},
                                                                                      {k4G + 990, kTypeOle2}}),
                 "sparse");
  ASSERT_EQ(state.geometry.lastSector, static_cast<std::int64_t>(k4G + 999));
  ScanRequest r = wholeRange();
  r.startSector = static_cast<std::int64_t>(k4G - 10);
  const ScanSummary s = scan(r);
  EXPECT_EQ(s.refusal, ScanRefusal::None);
  const std::int64_t base = static_cast<std::int64_t>(k4G);
  EXPECT_EQ(carved('m'), (std::vector<std::int64_t>{base + 990, base + 5, base - 3}));
  EXPECT_EQ(s.sectorsExamined, 1010);
}

}  // namespace
}  // namespace vellumark
