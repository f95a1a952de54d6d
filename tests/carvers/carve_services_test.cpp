// What the carvers are handed: positioned reads on a carve, the reasons a candidate is
// turned down, and the progress of the final sweep.

#include <gtest/gtest.h>

#include <array>
#include <optional>

#include "carvers/carver_framework.h"
#include "scan/type_codes.h"
#include "support/carve_setup.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

using test::CarveSetup;
using test::ImageBuilder;
using test::TempDir;

// Sector s holds the little-endian 32-bit numbers s*1000 + i at byte 4*i.
std::vector<std::uint8_t> countingImage(std::uint64_t sectors) {
  ImageBuilder image(sectors);
  for (std::uint64_t s = 0; s < sectors; ++s)
    for (std::uint32_t i = 0; i < 128; ++i) image.putLe32(s * 512 + 4 * i, static_cast<std::uint32_t>(s * 1000 + i));
  return image.bytes();
}

TEST(CarvePositionedReads, FieldsAreReadAtFileOffsetsAcrossSteppedOverSectors) {
  TempDir out;
  CarveSetup setup(countingImage(20), 512, out.path());
  setup.state.usedSectorMap.markSector(3);  // the file's second sector is sector 4
  Carve carve(setup.ctx, 2 * 512);
  ASSERT_TRUE(carve.started());
  EXPECT_EQ(carve.le32At(4), 2001u);
  EXPECT_EQ(carve.le32At(512 + 8), 4002u) << "file offset 512 is sector 4, not 3";
  EXPECT_EQ(carve.be32At(512), 0xA00F0000u);  // 4000 read big-endian
  EXPECT_EQ(carve.le16At(511), 0xA000u) << "a field that straddles a sector boundary: 00 then A0 (4000's low byte)";
  const Bytes pair = carve.need(1020, 8);
  ASSERT_EQ(pair.size(), 8u);
  EXPECT_EQ(le32(pair, 4), 5000u) << "file offset 1024 is sector 5";

  carve.discardBefore(1024);
  EXPECT_FALSE(carve.le32At(1020).has_value()) << "discarded bytes cannot be had";
  EXPECT_EQ(carve.le32At(1024), 5000u);
  EXPECT_FALSE(carve.le32At(17 * 512).has_value()) << "past the end of the source";
  EXPECT_FALSE(carve.le64At(-8).has_value());
}

TEST(CarveRejections, EachCandidateTurnedDownSaysWhy) {
  TempDir out;
  CarveSetup setup(countingImage(20), 512, out.path());
  setup.services.setCandidateType(kTypeOle2);
  { Carve accepted(setup.ctx, 0); accepted.accept(); }
  { Carve rejected(setup.ctx, 5 * 512); rejected.reject("the FAT lists a sector twice"); }
  { Carve silent(setup.ctx, 6 * 512); }
  { Carve claimed(setup.ctx, 0); }
  {
    Carve tooLong(setup.ctx, 10 * 512);
    EXPECT_FALSE(tooLong.fetchUpTo(100 * 512));
  }
  const RejectionLog& log = setup.services.rejections();
  ASSERT_EQ(log.documents.size(), 4u);
  EXPECT_EQ(log.documents[0].startSector, 5);
  EXPECT_EQ(log.why(log.documents[0]), "the FAT lists a sector twice");
  EXPECT_EQ(log.why(log.documents[1]), "not accepted by its format");
  EXPECT_EQ(log.documents[2].startSector, 0);
  EXPECT_EQ(log.why(log.documents[2]), "its first sector belongs to a file traced earlier");
  EXPECT_EQ(log.why(log.documents[3]), "the scan range ended before the file did");
  EXPECT_EQ(log.counts.at({kTypeOle2, "not accepted by its format"}), 1u);

  setup.services.setCandidateType(kTypePng);
  { Carve picture(setup.ctx, 12 * 512); }
  EXPECT_EQ(log.documents.size(), 4u) << "only document starts are listed one by one";
  EXPECT_EQ(log.counts.at({kTypePng, "not accepted by its format"}), 1u);
}

TEST(CarveProgress, ReportsThePhaseItWasGiven) {
  TempDir out;
  CarveSetup setup(countingImage(40), 512, out.path());
  setup.services.setPhase(ScanPhase::FinalSweep);
  setup.state.displayTick = 1;  // a refresh is due
  Carve carve(setup.ctx, 0);
  ASSERT_TRUE(carve.fetchUpTo(10 * 512));
  ASSERT_FALSE(setup.frontEnd.reports.empty());
  EXPECT_EQ(setup.frontEnd.reports.back().phase, ScanPhase::FinalSweep);
  EXPECT_EQ(setup.frontEnd.reports.back().carveStartSector, 0);
}

// Looks ahead of the carves come from the source (through a block kept for the looks after
// them): the right bytes wherever they lie, fewer reads for looks close together, a bad
// sector next to the bytes looked at costs nothing, and nothing past the range is had.
TEST(CarvePeeks, LooksAheadGetTheSourceBytesThroughKeptBlocks) {
  TempDir out;
  constexpr std::uint64_t kSectors = 1000;  // not a whole number of 4 KiB blocks
  CarveSetup setup(countingImage(kSectors), 512, out.path());
  setup.state.scanEndSector = kSectors - 1;
  auto expected = [](std::int64_t offset) {
    const std::int64_t s = offset / 512;
    return static_cast<std::uint32_t>(s * 1000 + (offset % 512) / 4);
  };
  auto peek32 = [&](std::int64_t offset) -> std::optional<std::uint32_t> {
    std::array<std::uint8_t, 4> b{};
    if (!setup.services.peek(offset, b)) return std::nullopt;
    return le32(Bytes(b), 0);
  };
  for (std::int64_t offset : {std::int64_t{400 * 512}, std::int64_t{400 * 512 + 8}, std::int64_t{401 * 512 + 100},
                              std::int64_t{408 * 512}, std::int64_t{(400 + 32 * 8) * 512 + 12}, std::int64_t{400 * 512 + 4},
                              std::int64_t{(kSectors - 1) * 512 + 508}})
    EXPECT_EQ(peek32(offset), expected(offset)) << offset;
  const std::size_t before = setup.source->readCalls();
  for (std::int64_t i = 0; i < 8; ++i) EXPECT_EQ(peek32(600 * 512 + 512 * i), expected(600 * 512 + 512 * i));
  EXPECT_LE(setup.source->readCalls() - before, 2u);  // the first sector alone, then the block
  // A look spanning two blocks.
  std::array<std::uint8_t, 8> across{};
  ASSERT_TRUE(setup.services.peek(8 * 4096 - 4, across));
  EXPECT_EQ(le32(Bytes(across), 4), expected(8 * 4096));
  // A bad sector in the block, away from the bytes looked at.
  setup.source->failReadsIn(801 * 512, 512);
  EXPECT_EQ(peek32(800 * 512 + 16), expected(800 * 512 + 16));
  EXPECT_FALSE(peek32(801 * 512 + 16).has_value());
  EXPECT_FALSE(peek32(kSectors * 512).has_value());
  setup.state.scanEndSector = 899;
  EXPECT_FALSE(peek32(900 * 512).has_value());
}

}  // namespace
}  // namespace vellumark
