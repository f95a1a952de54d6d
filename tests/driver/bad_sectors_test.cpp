// What unreadable sectors cost, counted honestly: every one is named once, wherever the
// scan met it, and every document given up because of one is listed.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "driver/scan_driver.h"
#include "scan/type_codes.h"
#include "support/file_system_images.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

using test::quoted;

// The sector where a copy of `doc` begins in the image, or -1.
std::int64_t findDocument(const std::vector<std::uint8_t>& image, const std::vector<std::uint8_t>& doc) {
  for (std::size_t at = 0; at + doc.size() <= image.size(); at += 512)
    if (std::equal(doc.begin(), doc.end(), image.begin() + static_cast<std::ptrdiff_t>(at)))
      return static_cast<std::int64_t>(at / 512);
  return -1;
}

TEST(BadSectors, FifteenUnreadableSectorsAreEachNamedAndTheDocumentsTheyCostListed) {
  for (const char* tool : {"mkfs.vfat", "mcopy"})
    if (!test::haveProgram(tool)) GTEST_SKIP() << tool << " is not installed";
  TempDir dir;
  const fs::path image = dir / "fat32.img";
  const std::vector<std::string> names{"Bug51834.doc", "TestPackageCommon.docx", "59302.ppt", "50096.xlsx"};
  ASSERT_EQ(test::runCommand("truncate -s 160M " + quoted(image) + " && mkfs.vfat -F 32 -s 4 " + quoted(image) +
                             " >/dev/null"),
            0);
  std::string copy = "mcopy -i " + quoted(image);
  for (const auto& name : names) copy += " " + quoted(fs::path(VELLUMARK_TEST_DATA_DIR) / "corpus" / name);
  ASSERT_EQ(test::runCommand(copy + " ::/"), 0);
  auto bytes = test::readFileBytes(image);

  std::set<std::int64_t> bad;
  std::set<std::int64_t> hitDocuments;
  for (std::size_t i = 0; i < 3; ++i) {  // one bad sector inside each of three documents
    const auto doc = test::readFileBytes(fs::path(VELLUMARK_TEST_DATA_DIR) / "corpus" / names[i]);
    const std::int64_t start = findDocument(bytes, doc);
    ASSERT_GE(start, 0) << names[i];
    bad.insert(start + 9);  // not the first sector of a cluster: the first pass does not examine it
    hitDocuments.insert(start);
  }
  for (std::int64_t s = 0; bad.size() < 15; ++s) bad.insert(60'001 + 37 * s);  // and some in free space
  auto source = std::make_unique<MemorySource>(std::move(bytes));
  for (std::int64_t s : bad) source->failReadsIn(static_cast<std::uint64_t>(s) * 512, 512);

  ScanState state;
  openScanSource(state, std::move(source), "fat32.img");
  ASSERT_EQ(state.geometry.sectorsPerCluster, 4u);
  fs::create_directory(dir / "out");
  ScanRequest request;
  request.outputFolder = (dir / "out").string();
  request.endSector = state.geometry.lastSector;
  request.folderOnSource = [](const std::string&) { return false; };
  SilentFrontEnd frontEnd;
  const ScanSummary summary = runScan(state, frontEnd, request);

  EXPECT_EQ(summary.sectorsUnreadable, 15);
  EXPECT_EQ(state.unreadableSectors, bad);
  std::set<std::int64_t> abandoned;
  for (const AbandonedCarve& a : summary.rejections.abandoned) {
    EXPECT_TRUE(bad.count(a.unreadableSector)) << a.unreadableSector;
    abandoned.insert(a.startSector);
  }
  EXPECT_EQ(abandoned, hitDocuments);
  EXPECT_EQ(summary.recovered, 1u) << "the one document without a bad sector";
}

TEST(BadSectors, AnUnreadableBootAreaIsSaidAtOpening) {
  test::ImageBuilder b(64);
  auto source = b.source();
  source->failReadsIn(0, 512);
  ScanState state;
  openScanSource(state, std::move(source), "bad.img");
  EXPECT_TRUE(state.bootAreaUnreadable);
  EXPECT_EQ(state.detectedGeometry.fsType, kFsUnknown);
  openScanSource(state, test::ImageBuilder(64).source(), "good.img");
  EXPECT_FALSE(state.bootAreaUnreadable);
}

}  // namespace
}  // namespace vellumark
