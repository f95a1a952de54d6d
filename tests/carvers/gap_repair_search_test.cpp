// The repairing fragment search on stored packages, whose bytes only their CRC-32 settles:
// cut by junk, written round robin with another package, in pieces out of order; a package
// with a cluster lost is given up with its longest accepted assembly, and the confirmed pass
// then writes that only into damaged/ with --keep-damaged, never as a document.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "carvers/gap_search.h"
#include "carvers/ooxml_carver.h"
#include "carvers/zip_gap_search.h"
#include "support/carve_setup.h"
#include "support/fragment_layouts.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;
using Bytes8 = std::vector<std::uint8_t>;
constexpr std::uint32_t kSector = 512;
constexpr std::uint32_t kPerCluster = test::kLayoutClusterBytes / kSector;

class ImageReader final : public CarveReader {
 public:
  explicit ImageReader(const Bytes8& image) : image_(image) {}
  bool read(std::int64_t offset, std::span<std::uint8_t> dest) override {
    if (offset < 0 || offset + static_cast<std::int64_t>(dest.size()) > static_cast<std::int64_t>(image_.size())) return false;
    std::memcpy(dest.data(), image_.data() + offset, dest.size());
    return true;
  }

 private:
  const Bytes8& image_;
};

// A stored package of `entries` parts of random bytes (nothing but the CRC-32 tells them
// from junk), `partBytes` each.
test::LayoutFile storedPackage(std::uint32_t seed, int entries, std::size_t partBytes) {
  std::mt19937 random(seed);
  std::vector<test::ZipEntry> parts;
  parts.push_back({"[Content_Types].xml", "<Types/>"});
  for (int i = 0; i < entries; ++i) {
    std::string content(partBytes, '\0');
    for (char& c : content) c = static_cast<char>(random());
    parts.push_back({"word/media/image" + std::to_string(i) + ".bin", content});
  }
  return {"package" + std::to_string(seed), test::makeZip(parts), true};
}

struct Searched {
  std::optional<FragmentAssembly> found;
  GapSearchWork work;
  Bytes8 package;
};

Searched search(const Bytes8& image, const test::PlacedFile& file, GapSearchLimits limits = {}) {
  UsedSectorMap claims;
  EXPECT_TRUE(claims.allocate(static_cast<std::int64_t>(image.size() / kSector) - 1));
  ImageReader reader(image);
  GapSearchGeometry g;
  g.bytesPerSector = kSector;
  g.sectorsPerCluster = kPerCluster;
  g.lastSector = static_cast<std::int64_t>(image.size() / kSector) - 1;
  limits.order = GapSearchOrder::Repair;
  zip::ZipFragmentCheck check(1 << 26);
  Searched s;
  s.found = searchFragments(claims, reader, g, static_cast<std::int64_t>(file.clusters.front() * kPerCluster), check, limits, s.work);
  if (s.found) s.package.assign(check.package().begin(), check.package().end());
  return s;
}

void expectFoundWhole(const Bytes8& image, const test::PlacedFile& file) {
  const Searched s = search(image, file);
  ASSERT_TRUE(s.found) << file.label << " after " << s.work.clustersTried << " clusters tried";
  EXPECT_EQ(s.package, file.bytes);
  std::vector<std::int64_t> sectors;
  for (std::uint64_t sector : file.sectors(kSector)) sectors.push_back(static_cast<std::int64_t>(sector));
  EXPECT_EQ(s.found->sectors, sectors) << file.label;
  EXPECT_FALSE(s.work.gaveUp);
}

TEST(RepairSearch, StoredPackagesComeBackFromEveryLayout) {
  for (std::uint64_t junk : {1u, 5u, 16u}) {
    test::FragmentedImage img(junk);
    img.junk(2);
    img.cutByJunk(storedPackage(1, 2, 9000), junk);
    img.junk(2);
    expectFoundWhole(img.bytes(), img.files().back());
  }
  {
    // Round robin with another package: the stride goes on past the first jump.
    test::FragmentedImage img(7);
    img.junk(2);
    img.roundRobin({storedPackage(2, 2, 7000), storedPackage(3, 3, 5000)});
    img.junk(2);
    expectFoundWhole(img.bytes(), img.files()[0]);
  }
  {
    test::FragmentedImage img(8);
    img.junk(2);
    img.outOfOrder(storedPackage(4, 3, 6000), 3);
    img.junk(2);
    expectFoundWhole(img.bytes(), img.files().back());
  }
}

// Pieces out of order need a jump ahead over the last piece, then one back to it. The second
// lies behind, where only a wide jump reaches: the search must try it on the path the first
// carried furthest, not first scan the junk ahead of every level with one jump.
TEST(RepairSearch, PiecesOutOfOrderBeforeMuchJunkComeBackWithinASmallBudget) {
  test::FragmentedImage img(9);
  img.junk(2);
  img.outOfOrder(storedPackage(6, 4, 6000), 3);
  img.junk(1500);
  GapSearchLimits limits;
  limits.maxClustersTried = 1000;
  const Searched s = search(img.bytes(), img.files().back(), limits);
  ASSERT_TRUE(s.found) << "after " << s.work.clustersTried << " clusters tried";
  EXPECT_EQ(s.package, img.files().back().bytes);
}

// The package with its third cluster overwritten: nothing can complete it.
struct LostCluster {
  test::FragmentedImage img{11};
  Bytes8 image;
  LostCluster() {
    img.junk(2);
    img.contiguous(storedPackage(5, 3, 4000));
    img.junk(2);
    image = img.bytes();
    const std::uint64_t lost = img.files().back().clusters[2] * test::kLayoutClusterBytes;
    std::mt19937 random(3);
    for (std::uint64_t i = 0; i < test::kLayoutClusterBytes; ++i) image[lost + i] = static_cast<std::uint8_t>(random());
  }
};

TEST(RepairSearch, APackageThatCannotBeCompletedKeepsWhatHeldTogether) {
  const LostCluster lost;
  const test::PlacedFile& file = lost.img.files().back();
  const Searched s = search(lost.image, file);
  EXPECT_FALSE(s.found);
  ASSERT_GE(s.work.furthest.size(), 2u * kPerCluster);
  EXPECT_EQ(s.work.furthest.front(), static_cast<std::int64_t>(file.clusters.front() * kPerCluster));
  // Every continuation the small image holds was tried once: searching with more jumps
  // allowed learns nothing new, so the search ends without reaching a bound, having taken
  // few clusters.
  EXPECT_FALSE(s.work.gaveUp);
  EXPECT_LE(s.work.clustersTried, 20);
  // The work is bounded by what the limits allow.
  GapSearchLimits tight;
  tight.maxClustersTried = 6;
  const Searched bounded = search(lost.image, file, tight);
  EXPECT_FALSE(bounded.found);
  EXPECT_TRUE(bounded.work.gaveUp);
  EXPECT_LE(bounded.work.clustersTried, 7);
}

TEST(RepairSearch, AGivenUpPackageGoesOnlyIntoTheDamagedFolder) {
  for (bool keep : {false, true}) {
    const LostCluster lost;
    test::TempDir out;
    test::CarveSetup setup(lost.image, kSector, out.path().string());
    setup.state.geometry.sectorsPerCluster = kPerCluster;
    setup.state.typeFlags = kFamilyDoc | kFamilyXls | kFamilyPpt;
    setup.state.keepDamaged = keep;
    const std::int64_t start = static_cast<std::int64_t>(lost.img.files().back().clusters.front() * test::kLayoutClusterBytes);
    carveOoxmlConfirmed(setup.ctx, start);
    EXPECT_EQ(setup.state.recoveredCount, 0u);
    EXPECT_EQ(setup.state.damagedCount, 1u);
    EXPECT_TRUE(setup.state.usedSectorMap.isSectorUsed(start / kSector)) << "the ordinary pass must not assemble it again";
    int damaged = 0;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(out.path())) {
      if (!e.is_regular_file()) continue;
      EXPECT_EQ(e.path().parent_path().filename(), "damaged") << e.path();
      ++damaged;
      const Bytes8 written = test::readFileBytes(e.path());
      EXPECT_EQ(e.path().extension(), ".DOCX");
      EXPECT_TRUE(std::equal(written.begin(), written.begin() + 2 * test::kLayoutClusterBytes, lost.img.files().back().bytes.begin()));
    }
    EXPECT_EQ(damaged, keep ? 1 : 0);
  }
}

// A package whose first entry is stored data gives the search nothing to go by but that
// entry's CRC-32: while no part has been checked, it is searched blind, within a small bound.
// One whose first part checks whole is searched with the full bound.
TEST(RepairSearch, ABlindSearchIsBoundedAndAGuidedOneIsNot) {
  std::mt19937 random(11);
  std::string noise(6 * test::kLayoutClusterBytes, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  const GapSearchLimits limits = defaultPackageSearchLimits();
  for (const bool blind : {true, false}) {
    std::vector<test::ZipEntry> parts;
    if (!blind) parts.push_back({"[Content_Types].xml", "<Types/>"});
    parts.push_back({"word/media/image1.bin", noise});
    Bytes8 package = test::makeZip(parts);
    package[package.size() / 2] ^= 0x5A;  // inside the stored part: its CRC-32 fails
    Bytes8 image(256 * test::kLayoutClusterBytes);
    for (std::uint8_t& b : image) b = static_cast<std::uint8_t>(random());
    std::copy(package.begin(), package.end(), image.begin());
    const test::PlacedFile file{"broken", package, true, {0}};
    const Searched s = search(image, file, limits);
    EXPECT_FALSE(s.found) << blind;
    if (blind) EXPECT_LE(s.work.clustersTried, limits.maxBlindClustersTried);
    else EXPECT_GT(s.work.clustersTried, limits.maxBlindClustersTried);
  }
}

// The first pass tells from a package candidate's first sector alone that the check will
// refuse its first cluster (by its header, or by its deflate data): every sector so told must
// be refused, whatever the rest of the cluster holds, and no real package's first sector may be.
TEST(ZipFragmentCheck, AFirstSectorToldRefusedIsRefusedWhateverFollows) {
  std::mt19937 random(7);
  const std::string name = "[Content_Types].xml";
  int told = 0;
  for (int i = 0; i < 2000; ++i) {
    Bytes8 cluster(test::kLayoutClusterBytes);
    for (std::uint8_t& b : cluster) b = static_cast<std::uint8_t>(random());
    const std::uint32_t sizes[] = {static_cast<std::uint32_t>(random() % 3000 + 1), static_cast<std::uint32_t>(random() % 9000)};
    // Deflated, or stored with sizes that mostly disagree.
    const std::uint8_t fixed[] = {0x50, 0x4B, 0x03, 0x04, 20, 0, 0, 0, static_cast<std::uint8_t>(i % 2 ? 8 : 0), 0};
    std::memcpy(cluster.data(), fixed, sizeof fixed);
    std::memcpy(cluster.data() + 18, &sizes[0], 4);
    std::memcpy(cluster.data() + 22, &sizes[1], 4);
    cluster[26] = static_cast<std::uint8_t>(name.size());
    cluster[27] = cluster[28] = cluster[29] = 0;
    std::memcpy(cluster.data() + 30, name.data(), name.size());
    if (!zip::firstPieceRefused(Bytes(cluster).first(kSector), 1 << 26)) continue;
    ++told;
    zip::ZipFragmentCheck check(1 << 26);
    EXPECT_EQ(check.take(cluster), FragmentVerdict::Broken) << "sample " << i;
  }
  EXPECT_GT(told, 1900);  // noise is nearly always told
  int packages = 0;
  for (const test::CorpusDocument& doc : test::corpusDocuments()) {
    if (doc.ext != "docx" && doc.ext != "xlsx" && doc.ext != "pptx") continue;
    const Bytes8 bytes = test::readFileBytes(doc.path);
    if (bytes.size() < kSector) continue;
    ++packages;
    EXPECT_FALSE(zip::firstPieceRefused(Bytes(bytes).first(kSector), 1 << 26)) << doc.name;
  }
  EXPECT_GT(packages, 0);
}

}  // namespace
}  // namespace vellumark
