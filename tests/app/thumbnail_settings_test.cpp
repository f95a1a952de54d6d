// Reading the thumbnail settings files.

#include <gtest/gtest.h>

#include "app/thumbnail_settings.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

std::vector<std::int64_t> counts(std::string_view text) { return parseThumbSizeList(text).pixelCounts; }

TEST(ThumbnailSettings, SizeListLines) {
  // A blank before the comment stays on the height: a conversion error that ends the list.
  const ThumbSizeList withBlank = parseThumbSizeList("640x480\r\n1024*768 ;big\r\n300\r\n");
  EXPECT_EQ(withBlank.pixelCounts, (std::vector<std::int64_t>{307200}));
  EXPECT_TRUE(withBlank.conversionError);
  EXPECT_EQ(counts("640x480\n1024*768;big\n300\n"), (std::vector<std::int64_t>{307200, 786432, 300}));
  EXPECT_EQ(counts("640X480\n300"), (std::vector<std::int64_t>{300})) << "capital X is not a number";
  EXPECT_EQ(counts("  160x120  \n\n300\n"), (std::vector<std::int64_t>{19200})) << "an empty line ends the list";
  EXPECT_EQ(counts("0\n-5\nabc\n;note\n7"), (std::vector<std::int64_t>{7}));
  EXPECT_FALSE(parseThumbSizeList("100\n").conversionError);
}

TEST(ThumbnailSettings, PixelLimitAndRules) {
  EXPECT_EQ(parseThumbPixelLimit("40000\r\nignored"), 40000);
  EXPECT_EQ(parseThumbPixelLimit("lots"), -1);
  EXPECT_EQ(parseThumbPixelLimit(""), -1);
  EXPECT_EQ(parseThumbPixelLimit("99999999999"), -1);
  ThumbnailRules rules;
  EXPECT_FALSE(rules.isThumbnail(1, 1));
  rules.pixelLimit = 19200;
  rules.pixelCounts = {307200};
  EXPECT_TRUE(rules.isThumbnail(160, 120));
  EXPECT_FALSE(rules.isThumbnail(161, 120));
  EXPECT_TRUE(rules.isThumbnail(480, 640));
  // Pixels are counted in 64 bits: 65536 x 65536 does not wrap round to 0.
  EXPECT_FALSE(rules.isThumbnail(65536, 65536));
}

TEST(ThumbnailSettings, LoadsWhatIsThereAndReportsWhatIsWrong) {
  test::TempDir dir;
  const std::string folder = dir.path().string() + "/";
  ThumbnailSettings none = loadThumbnailSettings(folder);
  EXPECT_EQ(none.rules.pixelLimit, -1);
  EXPECT_TRUE(none.rules.pixelCounts.empty());
  EXPECT_TRUE(none.warnings.empty());
  test::writeFileBytes(dir / "ThumbSiz.ini", std::vector<std::uint8_t>{'5', '0', '0', '\n'});
  test::writeFileBytes(dir / "ThumbSpc.ini", std::vector<std::uint8_t>{'2', 'x', '3', '\n', '4', '*', 'y'});
  ThumbnailSettings both = loadThumbnailSettings(folder);
  EXPECT_EQ(both.rules.pixelLimit, 500);
  EXPECT_EQ(both.rules.pixelCounts, (std::vector<std::int64_t>{6}));
  EXPECT_EQ(both.warnings.size(), 1u);
}

}  // namespace
}  // namespace vellumark
