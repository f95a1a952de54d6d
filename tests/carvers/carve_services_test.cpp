// What the carvers are handed: positioned reads on a carve, the reasons a candidate is
// turned down, and the progress of the final sweep.

#include <gtest/gtest.h>

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
  EXPECT_EQ(log.documents[0].reason, "the FAT lists a sector twice");
  EXPECT_EQ(log.documents[1].reason, "not accepted by its format");
  EXPECT_EQ(log.documents[2].startSector, 0);
  EXPECT_EQ(log.documents[2].reason, "its first sector belongs to a file traced earlier");
  EXPECT_EQ(log.documents[3].reason, "the scan range ended before the file did");
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

}  // namespace
}  // namespace vellumark
