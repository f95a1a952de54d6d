#include "scan/used_sector_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>

namespace vellumark {
namespace {

UsedSectorMap mapOver(std::int64_t lastSector) {
  UsedSectorMap map;
  EXPECT_TRUE(map.allocate(lastSector));
  return map;
}

std::vector<std::int64_t> markedSectors(const UsedSectorMap& map) {
  std::vector<std::int64_t> out;
  for (std::int64_t s = 0; s < map.sectorCount(); ++s)
    if (map.isSectorUsed(s)) out.push_back(s);
  return out;
}

TEST(UsedSectorMapTest, HoldsOneBitPerSectorRoundedUpToBytes) {
  EXPECT_EQ(mapOver(0).bytes().size(), 1u);
  EXPECT_EQ(mapOver(7).bytes().size(), 1u);
  EXPECT_EQ(mapOver(8).bytes().size(), 2u);
  EXPECT_EQ(mapOver(8).sectorCount(), 9);
  UsedSectorMap map = mapOver(100);
  EXPECT_EQ(map.countUsed(), 0);
  map.release();
  EXPECT_FALSE(map.allocated());
}

TEST(UsedSectorMapTest, SectorsLiveLeastSignificantBitFirst) {
  UsedSectorMap map = mapOver(15);
  map.markSector(0);
  EXPECT_EQ(map.bytes()[0], 0x01);
  map.clearSector(0);
  map.markSector(7);
  EXPECT_EQ(map.bytes()[0], 0x80);
  map.markSector(8);
  EXPECT_EQ(map.bytes()[1], 0x01);
  EXPECT_TRUE(map.isSectorUsed(7));
  EXPECT_FALSE(map.isSectorUsed(6));
}

TEST(UsedSectorMapTest, RunsMarkPartialThenWholeThenPartialBytes) {
  UsedSectorMap fromSix = mapOver(63);
  fromSix.markSectorRun(10, 6);
  EXPECT_EQ(fromSix.bytes()[0], 0xC0);
  EXPECT_EQ(fromSix.bytes()[1], 0xFF);
  EXPECT_EQ(fromSix.bytes()[2], 0x00);

  UsedSectorMap fromZero = mapOver(63);
  fromZero.markSectorRun(10, 0);
  EXPECT_EQ(fromZero.bytes()[0], 0xFF);
  EXPECT_EQ(fromZero.bytes()[1], 0x03);

  UsedSectorMap inside = mapOver(63);
  inside.markSectorRun(3, 2);  // never reaches a byte boundary
  EXPECT_EQ(inside.bytes()[0], 0x1C);
  EXPECT_EQ(inside.countUsed(), 3);

  UsedSectorMap longRun = mapOver(63);
  longRun.markSectorRun(45, 7);
  EXPECT_EQ(markedSectors(longRun).front(), 7);
  EXPECT_EQ(markedSectors(longRun).back(), 51);
  EXPECT_EQ(longRun.countUsed(), 45);
}

TEST(UsedSectorMapTest, EmptyAndNegativeRunsMarkNothing) {
  UsedSectorMap map = mapOver(63);
  map.markSectorRun(0, 5);
  map.markSectorRun(-8, 5);
  map.markSectorRun(INT64_MIN, 0);
  EXPECT_EQ(map.countUsed(), 0);
}

TEST(UsedSectorMapTest, NothingIsMarkedOutsideTheMap) {
  UsedSectorMap map = mapOver(20);  // 21 sectors, 3 bytes; bits 21..23 must stay clear
  map.markSectorRun(1000, 16);
  EXPECT_EQ(map.countUsed(), 5);
  EXPECT_EQ(map.bytes()[2], 0x1F);
  map.markSectorRun(4, -2);  // the part before sector 0 is dropped
  EXPECT_EQ(markedSectors(map).front(), 0);
  EXPECT_TRUE(map.isSectorUsed(1));
  EXPECT_FALSE(map.isSectorUsed(2));
  map.markSector(21);
  map.markSector(-1);
  EXPECT_EQ(map.countUsed(), 7);
  EXPECT_TRUE(map.isSectorUsed(21));  // outside the source reads as used
  EXPECT_TRUE(map.isSectorUsed(-1));
}

TEST(UsedSectorMapTest, SectorNumbersAreNeverTruncatedTo32Bits) {
  // A sector past 2^32 must not alias onto a low sector of a small map.
  UsedSectorMap map = mapOver(63);
  const std::int64_t high = (std::int64_t{1} << 32) + 5;
  map.markSector(high);
  map.markSectorRun(16, high);
  map.markSectorRun(std::int64_t{1} << 33, std::int64_t{1} << 33);
  EXPECT_EQ(map.countUsed(), 0);
  map.markSectorRun((std::int64_t{1} << 33) + 3, 60);  // a huge count is clipped to the map
  EXPECT_EQ(map.countUsed(), 4);
  map.clearSector(high - (std::int64_t{1} << 32) + 56);  // sector 61, cleared through a sane index
  EXPECT_FALSE(map.isSectorUsed(61));
}

TEST(UsedSectorMapTest, IndicesNearByteBoundariesOfALargeMap) {
  const std::int64_t base = std::int64_t{1} << 22;  // 512 KiB of map
  UsedSectorMap map = mapOver(base + 17);
  map.markSectorRun(3, base - 1);
  map.markSectorRun(9, base + 8);
  EXPECT_FALSE(map.isSectorUsed(base - 2));
  EXPECT_TRUE(map.isSectorUsed(base - 1));
  EXPECT_TRUE(map.isSectorUsed(base + 1));
  EXPECT_FALSE(map.isSectorUsed(base + 2));
  EXPECT_EQ(map.bytes()[static_cast<std::size_t>(base / 8 + 1)], 0xFF);
  EXPECT_TRUE(map.isSectorUsed(base + 16));
  EXPECT_FALSE(map.isSectorUsed(base + 17));
  EXPECT_EQ(map.countUsed(), 12);
}

}  // namespace
}  // namespace vellumark

namespace vellumark {
namespace {

TEST(UsedSectorMapTest, NextFreeSectorStepsOverUsedRunsAndStopsAtTheBound) {
  UsedSectorMap map;
  ASSERT_TRUE(map.allocate(99));
  map.markSectorRun(37, 3);  // 3..39: a partial byte, whole bytes, a partial byte
  EXPECT_EQ(map.nextFreeSector(0, 99), 0);
  EXPECT_EQ(map.nextFreeSector(3, 99), 40);
  EXPECT_EQ(map.nextFreeSector(8, 99), 40);
  EXPECT_EQ(map.nextFreeSector(3, 39), -1) << "nothing free up to the bound";
  EXPECT_EQ(map.nextFreeSector(-5, 99), 0);
  map.markSectorRun(60, 40);  // everything from 3 on is used
  EXPECT_EQ(map.nextFreeSector(3, 1000), -1) << "sectors past the map count as used";
  map.clearSector(99);
  EXPECT_EQ(map.nextFreeSector(3, 1000), 99);
  EXPECT_EQ(map.nextFreeSector(100, 1000), -1);
  UsedSectorMap empty;
  EXPECT_EQ(empty.nextFreeSector(0, 10), -1);
}

}  // namespace
}  // namespace vellumark

namespace vellumark {
namespace {

TEST(UsedSectorMapTest, AMapOverARangeHoldsOnlyTheRange) {
  UsedSectorMap map;
  constexpr std::int64_t kFirst = (std::int64_t{1} << 35) + 3;  // 16 TiB of 512-byte sectors in
  ASSERT_TRUE(map.allocate(kFirst, kFirst + 99));
  EXPECT_LE(map.bytes().size(), 14u);
  EXPECT_TRUE(map.isSectorUsed(kFirst - 1)) << "outside the range counts as claimed";
  EXPECT_TRUE(map.isSectorUsed(kFirst + 100));
  EXPECT_FALSE(map.isSectorUsed(kFirst));
  map.markSectorRun(10, kFirst - 5);  // clipped at the start
  EXPECT_EQ(map.countUsed(), 5);
  EXPECT_EQ(map.nextFreeSector(0, kFirst + 99), kFirst + 5);
  map.markSectorRun(INT64_MAX, kFirst + 90);  // clipped at the end, no overflow
  map.markSectorRun(INT64_MAX, INT64_MIN);  // ends at -1: before the map
  EXPECT_EQ(map.countUsed(), 15);
  map.markSectorRun(INT64_MAX, kFirst);
  EXPECT_EQ(map.countUsed(), 100);
  EXPECT_EQ(map.nextFreeSector(kFirst, INT64_MAX), -1);
  map.clearSector(kFirst + 99);
  EXPECT_EQ(map.nextFreeSector(kFirst, INT64_MAX), kFirst + 99);
}

// The far free sector, counted by words and blocks, is the one stepping sector by sector
// finds, whatever was marked, marked twice, cleared or marked in runs, in a map that begins
// off any boundary.
TEST(UsedSectorMapTest, FarFreeSectorsAgreeWithSteppingAfterMarksAndClears) {
  std::mt19937 random(7);
  UsedSectorMap map;
  ASSERT_TRUE(map.allocate(1003, 40'000));
  auto stepping = [&](std::int64_t from, std::int64_t skip, std::int64_t last) -> std::int64_t {
    for (std::int64_t s = std::max<std::int64_t>(from, 1003); s <= std::min<std::int64_t>(last, 40'000); ++s)
      if (!map.isSectorUsed(s) && skip-- == 0) return s;
    return -1;
  };
  for (int round = 0; round < 40; ++round) {
    for (int i = 0; i < 30; ++i) {
      const std::int64_t s = 900 + static_cast<std::int64_t>(random() % 39'200);
      switch (random() % 4) {
        case 0: map.markSector(s); break;
        case 1: map.clearSector(s); break;
        case 2: map.markSectorRun(static_cast<std::int64_t>(random() % 9000), s); break;
        default:
          for (std::int64_t k = s; k < s + 5000; ++k) map.clearSector(k);
      }
    }
    for (int q = 0; q < 20; ++q) {
      const std::int64_t from = 1000 + static_cast<std::int64_t>(random() % 39'000);
      // Far counts, and the few sectors that a look past the end of a record skips.
      const std::int64_t skip = static_cast<std::int64_t>(random() % (q % 2 == 0 ? 30'000 : 600));
      const std::int64_t last = from + static_cast<std::int64_t>(random() % 40'000);
      EXPECT_EQ(map.freeSectorAfter(from, skip, last), stepping(from, skip, last)) << from << " " << skip << " " << last;
    }
  }
  // A count that no map can hold, as a length read from a damaged header may give.
  EXPECT_EQ(map.freeSectorAfter(2000, INT64_MAX, INT64_MAX), -1);
}

}  // namespace
}  // namespace vellumark
