#include "viewer/hex_dump.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace vellumark {
namespace {

TEST(HexDump, LinesOfA512ByteSector) {
  std::vector<std::uint8_t> sector(512);
  std::iota(sector.begin(), sector.end(), 0);  // bytes 0..255, twice
  auto lines = hexDumpLines(sector);
  ASSERT_EQ(lines.size(), 17u);
  EXPECT_EQ(lines[0].size(), 117u);
  EXPECT_EQ(lines[0], kHexDumpHeader);
  for (const auto& line : lines) EXPECT_EQ(line.size(), 117u);
  EXPECT_EQ(lines[1],
            "000: 0001 0203 0405 0607 0809 0A0B 0C0D 0E0F 1011 1213 1415 1617 1819 1A1B 1C1D 1E1F "
            "................................");
  // Offset 0x1E0 holds bytes E0..FF: all above 0x7E, shown as dots.
  EXPECT_EQ(lines[16].substr(0, 10), "1E0: E0E1 ");
  EXPECT_EQ(lines[16].substr(85), std::string(32, '.'));
  // Line 0x040 holds bytes 0x40..0x5F: printable.
  EXPECT_EQ(lines[3].substr(85), "@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_");
}

TEST(HexDump, BlankShowsAsBlankAndDeleteAsDot) {
  std::vector<std::uint8_t> sector(512, 0x20);
  sector[1] = 0x7F;
  sector[2] = 0x7E;
  auto lines = hexDumpLines(sector);
  EXPECT_EQ(lines[1].substr(5, 10), "207F 7E20 ");
  EXPECT_EQ(lines[1].substr(85, 4), " .~ ");
}

TEST(HexDump, FourKilobyteSectorRunsTo0xFE0) {
  std::vector<std::uint8_t> sector(4096, 0x41);
  auto lines = hexDumpLines(sector);
  ASSERT_EQ(lines.size(), 129u);
  EXPECT_EQ(lines.back().substr(0, 5), "FE0: ");
  EXPECT_EQ(lines.back().substr(85), std::string(32, 'A'));
}

}  // namespace
}  // namespace vellumark
