// The carver skeleton: claim test, stepping rule, closing rule, cluster slack, progress,
// naming and saving.

#include <sys/stat.h>

#include <filesystem>
#include <gtest/gtest.h>

#include "carvers/carver_framework.h"
#include "carvers/recovered_output.h"
#include "support/carve_setup.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

using test::CarveSetup;
using test::ImageBuilder;
using test::TempDir;
namespace fs = std::filesystem;

// 200 sectors of 512 bytes; sector s is filled with the byte s & 0xFF.
std::vector<std::uint8_t> numberedImage(std::uint64_t sectors = 200, std::uint32_t bps = 512) {
  ImageBuilder image(sectors, bps);
  for (std::uint64_t s = 0; s < sectors; ++s) image.fill(s * bps, bps, static_cast<std::uint8_t>(s));
  return image.bytes();
}

std::vector<std::int64_t> usedSectors(const ScanState& state) {
  std::vector<std::int64_t> used;
  for (std::int64_t s = 0; s < state.usedSectorMap.sectorCount(); ++s)
    if (state.usedSectorMap.isSectorUsed(s)) used.push_back(s);
  return used;
}

std::vector<std::int64_t> range(std::int64_t first, std::int64_t last) {
  std::vector<std::int64_t> r;
  for (std::int64_t s = first; s <= last; ++s) r.push_back(s);
  return r;
}

std::vector<fs::path> filesIn(const fs::path& folder) {
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(folder)) files.push_back(e.path().filename());
  return files;
}

TEST(CarveSkeleton, ClaimedStartSectorIsLeftAloneWithoutReading) {
  TempDir out;
  CarveSetup setup(numberedImage(), 512, out.path());
  setup.state.usedSectorMap.markSector(10);
  const std::size_t readsBefore = setup.source->readCalls();
  {
    Carve carve(setup.ctx, 10 * 512);
    EXPECT_FALSE(carve.started());
    EXPECT_FALSE(carve.fetchUpTo(4096));
  }
  EXPECT_EQ(setup.source->readCalls(), readsBefore);
  EXPECT_EQ(usedSectors(setup.state), std::vector<std::int64_t>{10});  // still claimed: not ours to release
}

TEST(CarveSkeleton, StepsOverClaimedSectorsAndKeepsClaimsOnAccept) {
  TempDir out;
  CarveSetup setup(numberedImage(), 512, out.path());
  for (std::int64_t s : {11, 13, 14, 16, 17, 18, 19, 20, 21, 22, 23, 24}) setup.state.usedSectorMap.markSector(s);
  {
    Carve carve(setup.ctx, 10 * 512);
    ASSERT_TRUE(carve.started());
    ASSERT_TRUE(carve.fetchUpTo(4 * 512));
    ASSERT_EQ(carve.bytes().size(), 4u * 512);
    // Sectors 10, 12, 15, 25: a claimed run longer than a map byte is stepped over too.
    EXPECT_EQ(carve.bytes()[0], 10);
    EXPECT_EQ(carve.bytes()[512], 12);
    EXPECT_EQ(carve.bytes()[1024], 15);
    EXPECT_EQ(carve.bytes()[1536], 25);
    EXPECT_EQ(carve.bytes()[2047], 25);
    EXPECT_TRUE(carve.fetchUpTo(100));  // already there: nothing more is taken
    EXPECT_EQ(carve.filled(), 4 * 512);
    carve.accept();
  }
  std::vector<std::int64_t> expected = range(10, 25);
  EXPECT_EQ(usedSectors(setup.state), expected);
}

TEST(CarveSkeleton, FailureReleasesEverySectorItTookAndNothingElse) {
  TempDir out;
  CarveSetup setup(numberedImage(), 512, out.path());
  setup.state.scanEndSector = 14;
  setup.state.usedSectorMap.markSector(12);
  {
    Carve carve(setup.ctx, 10 * 512);
    ASSERT_TRUE(carve.started());
    EXPECT_FALSE(carve.fetchUpTo(10 * 512));  // needs sectors past the end of the scan range
  }
  EXPECT_EQ(usedSectors(setup.state), std::vector<std::int64_t>{12});
}

TEST(CarveSkeleton, FailedReadReleasesTheSectorsIncludingTheFailedOne) {
  TempDir out;
  CarveSetup setup(numberedImage(), 512, out.path());
  setup.source->failReadsIn(150 * 512, 512);
  {
    Carve carve(setup.ctx, 140 * 512);
    ASSERT_TRUE(carve.started());
    EXPECT_FALSE(carve.fetchUpTo(20 * 512));
  }
  EXPECT_TRUE(usedSectors(setup.state).empty());

  // A start sector that cannot be read is released too.
  {
    Carve carve(setup.ctx, 150 * 512);
    EXPECT_FALSE(carve.started());
  }
  EXPECT_TRUE(usedSectors(setup.state).empty());
}

TEST(CarveSkeleton, BadSectorNearbyDoesNotFailAFileThatAvoidsIt) {
  TempDir out;
  CarveSetup setup(numberedImage(), 512, out.path());
  setup.source->failReadsIn(150 * 512, 512);  // inside every read-ahead window around it
  {
    Carve carve(setup.ctx, 140 * 512);
    ASSERT_TRUE(carve.fetchUpTo(10 * 512));
    EXPECT_EQ(carve.bytes()[9 * 512], 149);
    setup.state.usedSectorMap.markSector(150);
    ASSERT_TRUE(carve.fetchUpTo(11 * 512));
    EXPECT_EQ(carve.bytes()[10 * 512], 151);
    carve.accept();
  }
  EXPECT_EQ(usedSectors(setup.state), range(140, 151));
}

TEST(CarveSkeleton, AcceptedFileClaimsTheRestOfItsLastCluster) {
  TempDir out;
  auto carveTo = [&](std::uint32_t spc, std::uint32_t phase, std::int64_t first, std::int64_t last) {
    CarveSetup setup(numberedImage(), 512, out.path());
    setup.state.geometry.sectorsPerCluster = spc;
    setup.state.clusterPhase = phase;
    {
      Carve carve(setup.ctx, first * 512);
      EXPECT_TRUE(carve.fetchUpTo((last - first + 1) * 512));
      carve.accept();
    }
    return usedSectors(setup.state);
  };
  EXPECT_EQ(carveTo(8, 0, 97, 100), range(97, 103));
  EXPECT_EQ(carveTo(8, 0, 97, 103), range(97, 103));
  EXPECT_EQ(carveTo(8, 3, 99, 100), range(99, 106));
  EXPECT_EQ(carveTo(1, 0, 97, 100), range(97, 100));
}

TEST(CarveSkeleton, ClaimOnlyLoopClaimsByTheSteppingRuleWithoutReading) {
  TempDir out;
  CarveSetup setup(numberedImage(), 512, out.path());
  setup.state.usedSectorMap.markSector(42);
  {
    Carve carve(setup.ctx, 40 * 512);
    ASSERT_TRUE(carve.started());
    const std::size_t reads = setup.source->readCalls();
    setup.state.readWindow.invalidate();  // any read would now reach the source
    ASSERT_TRUE(carve.claimUpTo(5 * 512));
    EXPECT_EQ(setup.source->readCalls(), reads);
    EXPECT_EQ(carve.filled(), 5 * 512);
    carve.accept();
  }
  EXPECT_EQ(usedSectors(setup.state), range(40, 45));

  setup.state.scanEndSector = 60;
  {
    Carve carve(setup.ctx, 50 * 512);
    EXPECT_FALSE(carve.claimUpTo(20 * 512));
  }
  EXPECT_EQ(usedSectors(setup.state), range(40, 45));
}

TEST(CarveSkeleton, ReadThroughTakesAndReadsSectorsWithoutHoldingThem) {
  TempDir out;
  CarveSetup setup(numberedImage(), 512, out.path());
  for (std::int64_t s : {63, 100, 101}) setup.state.usedSectorMap.markSector(s);
  {
    Carve carve(setup.ctx, 60 * 512);
    ASSERT_TRUE(carve.fetchUpTo(2 * 512));
    // Far more than one chunk of the reading, stepping over claimed sectors on the way.
    ASSERT_TRUE(carve.readThrough(700 * 512 / 10));
    EXPECT_EQ(carve.filled(), 70 * 512);
    ASSERT_EQ(carve.bytes().size(), 2u * 512);  // what was assembled stays, nothing more
    EXPECT_EQ(carve.bytes()[512], 61);
    EXPECT_EQ(carve.sourceOffsetOf(3 * 512), 64 * 512);
    EXPECT_EQ(carve.sourceOffsetOf(69 * 512), 132 * 512);
    EXPECT_EQ(carve.saveDocument(".DOC", 5, 1024), 0);
    carve.accept();
  }
  const std::vector<std::int64_t> expected = range(60, 132);
  EXPECT_EQ(usedSectors(setup.state), expected);

  // A sector that cannot be read fails it, is reported, and every sector taken is released.
  setup.source->failReadsIn(170 * 512, 512);
  setup.state.readWindow.invalidate();
  {
    Carve carve(setup.ctx, 150 * 512);
    ASSERT_TRUE(carve.started());
    EXPECT_FALSE(carve.readThrough(40 * 512));
    EXPECT_TRUE(carve.troubled());
  }
  ASSERT_FALSE(setup.services.rejections().abandoned.empty());
  EXPECT_EQ(setup.services.rejections().abandoned.back().unreadableSector, 170);
  EXPECT_EQ(usedSectors(setup.state), expected);
}

TEST(CarveSkeleton, DiscardedBytesAreNotHeldButStillTraced) {
  TempDir out;
  CarveSetup setup(numberedImage(), 512, out.path());
  Carve carve(setup.ctx, 20 * 512);
  ASSERT_TRUE(carve.fetchUpTo(2 * 512));
  carve.discardBefore(700);
  EXPECT_EQ(carve.keptFrom(), 700);
  ASSERT_EQ(carve.bytes().size(), 2u * 512 - 700);
  EXPECT_EQ(carve.bytes()[0], 21);
  carve.discardBefore(4 * 512 + 100);  // ahead of what is assembled
  ASSERT_TRUE(carve.fetchUpTo(6 * 512));
  ASSERT_EQ(carve.bytes().size(), 2u * 512 - 100);
  EXPECT_EQ(carve.bytes()[0], 24);
  EXPECT_EQ(carve.bytes()[412], 25);
  EXPECT_EQ(carve.saveDocument(".DOC", 5, 10), -1);  // the start is gone: nothing to save
}

TEST(CarveSkeleton, ReportsProgressWhenTheDisplayTickMoves) {
  TempDir out;
  CarveSetup setup(numberedImage(), 512, out.path());
  setup.state.displayTick = 200;
  setup.state.candidateSectors = {4, 30, 90, 120};
  {
    Carve carve(setup.ctx, 30 * 512);
    ASSERT_TRUE(carve.fetchUpTo(3 * 512));
  }
  ASSERT_EQ(setup.frontEnd.reports.size(), 1u);
  EXPECT_EQ(setup.frontEnd.reports[0].phase, ScanPhase::SecondPass);
  EXPECT_EQ(setup.frontEnd.reports[0].carveStartSector, 30);
  EXPECT_EQ(setup.frontEnd.reports[0].sector, 32);
  EXPECT_EQ(setup.frontEnd.reports[0].done, 2);  // the candidates above this one
  EXPECT_EQ(setup.frontEnd.reports[0].total, 4);
  EXPECT_EQ(setup.frontEnd.pumps, 1);
}

TEST(CarveSkeleton, WorksOn4096ByteSectors) {
  TempDir out;
  CarveSetup setup(numberedImage(40, 4096), 4096, out.path());
  setup.state.usedSectorMap.markSector(6);
  {
    Carve carve(setup.ctx, 5 * 4096);
    ASSERT_TRUE(carve.fetchUpTo(4097));
    EXPECT_EQ(carve.filled(), 8192);
    EXPECT_EQ(carve.bytes()[4096], 7);
  }
  EXPECT_EQ(usedSectors(setup.state), std::vector<std::int64_t>{6});
}

TEST(RecoveredOutput, NamesCountHalfKilobytesInBase26) {
  EXPECT_EQ(recoveredFileName("/out/", 0, ".DOC"), "/out/TEST_AAAAAAAA.DOC");
  EXPECT_EQ(recoveredFileName("/out/", 512, ".DOC"), "/out/TEST_AAAAAAAB.DOC");
  EXPECT_EQ(recoveredFileName("/out/", 13'312, ".XLS"), "/out/TEST_AAAAAABA.XLS");
  EXPECT_EQ(recoveredFileName("/out", 4096, ".PPT"), "/out/TEST_AAAAAAAI.PPT");
  EXPECT_EQ(sectorLetters(8, 208'827'064'575), "ZZZZZZZZ");  // 26^8 - 1
  EXPECT_EQ(sectorLetters(8, 208'827'064'576), "AAAAAAAA");  // higher digits dropped
  EXPECT_EQ(sectorLetters(3, 27), "ABB");
  EXPECT_EQ(sectorLetters(2, -5), "AA");
}

// Saves a two-sector file from sector 2 of a fresh setup into `folder`.
struct SaveRun {
  std::int64_t index;
  std::uint32_t recovered;
  std::uint32_t failures;
  std::uint8_t recoveryState;
  std::vector<std::string> questions;
};

SaveRun saveInto(const fs::path& folder, std::vector<SaveFailureChoice> answers, std::function<void()> onAsk = {}) {
  CarveSetup setup(numberedImage(), 512, folder.string());
  setup.frontEnd.saveAnswers = std::move(answers);
  struct AskingFrontEnd : test::RecordingFrontEnd {
    std::function<void()> onAsk;
    SaveFailureChoice askSaveFailed(std::string_view name, std::string_view reason) override {
      if (onAsk) onAsk();
      return RecordingFrontEnd::askSaveFailed(name, reason);
    }
  } asking;
  asking.saveAnswers = setup.frontEnd.saveAnswers;
  asking.onAsk = std::move(onAsk);
  ScanCarveServices services(setup.state, asking);
  Carve carve(services.context(), 2 * 512);
  EXPECT_TRUE(carve.fetchUpTo(1024));
  carve.accept();
  SaveRun run{carve.saveDocument(".XLS", 5, 1000), setup.state.recoveredCount, setup.state.saveFailures,
              setup.state.recoveryState.load(), asking.saveQuestions};
  if (run.index >= 0) {
    const RecoveredFile& f = setup.state.recoveredFiles.at(static_cast<std::size_t>(run.index));
    EXPECT_EQ(f.path, (folder / "TEST_AAAAAAAC.XLS").string());
    EXPECT_EQ(f.sizeBytes, 1000u);
    EXPECT_EQ(f.startSector, 2);
    EXPECT_EQ(f.typeCode, 5);
  } else {
    EXPECT_TRUE(setup.state.recoveredFiles.empty());
  }
  return run;
}

TEST(RecoveredOutput, SavesExactlyTheRequestedBytesAndCountsTheFile) {
  TempDir out;
  SaveRun run = saveInto(out.path(), {});
  EXPECT_EQ(run.index, 0);
  EXPECT_EQ(run.recovered, 1u);
  EXPECT_EQ(run.failures, 0u);
  auto saved = test::readFileBytes(out / "TEST_AAAAAAAC.XLS");
  ASSERT_EQ(saved.size(), 1000u);
  EXPECT_EQ(saved[0], 2);
  EXPECT_EQ(saved[999], 3);
  EXPECT_EQ(filesIn(out.path()), std::vector<fs::path>{"TEST_AAAAAAAC.XLS"});  // no temporary left
}

TEST(RecoveredOutput, ReplacesAnExistingReadOnlyFile) {
  TempDir out;
  const fs::path target = out / "TEST_AAAAAAAC.XLS";
  test::writeFileBytes(target, std::vector<std::uint8_t>(5000, 0xEE));
  ASSERT_EQ(::chmod(target.c_str(), 0444), 0);
  SaveRun run = saveInto(out.path(), {});
  EXPECT_EQ(run.index, 0);
  EXPECT_EQ(test::readFileBytes(target).size(), 1000u);
  EXPECT_EQ(filesIn(out.path()).size(), 1u);
}

TEST(RecoveredOutput, SaveFailureAnswers) {
  TempDir out;
  // A folder path through a regular file cannot hold files, even for root.
  test::writeFileBytes(out / "plain", std::vector<std::uint8_t>(1, 0));
  const fs::path unwritable = out / "plain" / "folder";

  SaveRun ignored = saveInto(unwritable, {SaveFailureChoice::Ignore});
  EXPECT_EQ(ignored.index, -1);
  EXPECT_EQ(ignored.recovered, 0u);
  EXPECT_EQ(ignored.failures, 1u);
  EXPECT_EQ(ignored.recoveryState, kRecoveryRunning);
  ASSERT_EQ(ignored.questions.size(), 1u);
  EXPECT_EQ(ignored.questions[0], (unwritable / "TEST_AAAAAAAC.XLS").string());

  SaveRun aborted = saveInto(unwritable, {SaveFailureChoice::Abort});
  EXPECT_EQ(aborted.index, -1);
  EXPECT_EQ(aborted.failures, 1u);
  EXPECT_EQ(aborted.recoveryState, kRecoveryStopRequested);

  SaveRun retried = saveInto(unwritable, {SaveFailureChoice::Retry, SaveFailureChoice::Retry, SaveFailureChoice::Ignore});
  EXPECT_EQ(retried.questions.size(), 3u);
  EXPECT_EQ(retried.failures, 1u);
  EXPECT_EQ(filesIn(out.path()), std::vector<fs::path>{"plain"});

  // Retry after the user makes the folder usable writes the file.
  const fs::path later = out / "later";
  SaveRun recovered = saveInto(later, {SaveFailureChoice::Retry}, [&] { fs::create_directory(later); });
  EXPECT_EQ(recovered.index, 0);
  EXPECT_EQ(recovered.recovered, 1u);
  EXPECT_EQ(recovered.failures, 0u);
  EXPECT_EQ(filesIn(later), std::vector<fs::path>{"TEST_AAAAAAAC.XLS"});
}

TEST(RecoveredOutput, PumpDelayKeepsPumping) {
  test::RecordingFrontEnd frontEnd;
  const auto t0 = std::chrono::steady_clock::now();
  pumpDelay(frontEnd, 20);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(20));
  EXPECT_GE(frontEnd.pumps, 2);
}

TEST(ByteHelpers, AsciiLettersAndDigits) {
  EXPECT_TRUE(isAsciiLetter('a'));
  EXPECT_TRUE(isAsciiLetter('Z'));
  EXPECT_FALSE(isAsciiLetter('@'));
  EXPECT_FALSE(isAsciiLetter('['));
  EXPECT_FALSE(isAsciiLetter(0xC1));  // 'A' | 0x80
  EXPECT_TRUE(isAsciiDigit('0'));
  EXPECT_TRUE(isAsciiDigit('9'));
  EXPECT_FALSE(isAsciiDigit('/'));
  EXPECT_FALSE(isAsciiDigit(':'));
}

}  // namespace
}  // namespace vellumark
