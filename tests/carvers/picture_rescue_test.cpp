// A document written around a picture (document part 1, the picture, part 2, each from a
// 4 KiB cluster boundary, noise in the rest of each last cluster) on a raw image with no file
// system and no cluster size given comes back whole only when the picture is traced exactly.

#include <filesystem>
#include <gtest/gtest.h>

#include "carvers/carver_registry.h"
#include "driver/scan_driver.h"
#include "scan/sector_classifier.h"
#include "support/image_builder.h"
#include "support/recording_front_end.h"
#include "support/test_pictures.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;
using Bytes8 = std::vector<std::uint8_t>;

constexpr std::uint64_t kCluster = 4096;

std::uint64_t clustersFor(std::uint64_t bytes) { return (bytes + kCluster - 1) / kCluster; }

// Small pictures, one cluster each (enough for the cluster size to be estimated), then the
// document around the picture.
Bytes8 buildImage(const std::vector<Bytes8>& neighbours, const Bytes8& doc, const Bytes8& picture) {
  const std::uint64_t firstPart = kCluster * std::max<std::uint64_t>(1, doc.size() / kCluster / 2);
  const std::uint64_t clusters = 1 + neighbours.size() + clustersFor(doc.size()) + clustersFor(picture.size()) + 3;
  test::ImageBuilder b(clusters * kCluster / 512);
  b.fillRandom(0, clusters * kCluster, 4242);
  std::uint64_t at = kCluster;
  for (const Bytes8& n : neighbours) {
    b.putBytes(at, n);
    at += clustersFor(n.size()) * kCluster;
  }
  b.putBytes(at, std::span(doc).first(firstPart));
  at += firstPart;
  b.putBytes(at, picture);
  at += clustersFor(picture.size()) * kCluster;
  b.putBytes(at, std::span(doc).subspan(firstPart));
  return b.bytes();
}

// The document byte for byte. A compound file is saved in whole source sectors, so on
// 4096-byte sectors it may come back followed by the rest of its last sector.
bool holdsDocument(const fs::path& folder, const Bytes8& doc, std::uint32_t bps = 512) {
  const bool compound = doc[0] == 0xD0;
  for (const auto& e : fs::directory_iterator(folder)) {
    const Bytes8 got = test::readFileBytes(e.path());
    if (got == doc) return true;
    if (compound && got.size() == (doc.size() + bps - 1) / bps * bps && std::equal(doc.begin(), doc.end(), got.begin()))
      return true;
  }
  return false;
}

std::uint8_t removedCode = 0;
CarverFn carverWithoutRemoved(std::uint8_t code) { return code == removedCode ? nullptr : mainPassCarver(code); }

// The whole scan in this process, as the command-line program runs it, on sectors of any size.
bool rescuedInProcess(const Bytes8& image, std::uint32_t bps, const Bytes8& doc, std::uint8_t withoutCode = 0,
                      bool estimateClusters = true) {
  test::TempDir out;
  ScanState state;
  openScanSource(state, std::make_unique<MemorySource>(image, bps, SourceKind::Volume), "image");
  test::RecordingFrontEnd frontEnd;
  ScanRequest request;
  request.outputFolder = out.path().string();
  request.endSector = state.geometry.lastSector;
  request.folderOnSource = [](const std::string&) { return false; };
  request.clusterSizeChosen = !estimateClusters;
  ScanHooks hooks = defaultScanHooks();
  removedCode = withoutCode;
  hooks.mainPassCarver = carverWithoutRemoved;
  EXPECT_EQ(runScan(state, frontEnd, request, hooks).refusal, ScanRefusal::None);
  return holdsDocument(out.path(), doc, bps);
}

class PictureRescue : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::haveConvert()) GTEST_SKIP() << "ImageMagick is not installed";
    for (const test::CorpusDocument& d : test::corpusDocuments())
      if (d.name == "simple-list.doc" || d.name == "TestPackageCommon.docx") docs_.push_back(test::readFileBytes(d.path));
    ASSERT_EQ(docs_.size(), 2u);
    const Bytes8 jpeg = test::convertPicture(dir_.path(), "-seed 1 -size 64x48 plasma:fractal", "n.jpg");
    const Bytes8 png = test::convertPicture(dir_.path(), "-seed 2 -size 24x16 plasma:fractal", "n.png");
    for (int i = 0; i < 12; ++i) {
      neighbours_.push_back(jpeg);
      neighbours_.push_back(png);
    }
    pictures_ = test::makeTestPictures(dir_.path());
  }

  test::TempDir dir_;
  std::vector<Bytes8> docs_;
  std::vector<Bytes8> neighbours_;
  std::vector<test::TestPicture> pictures_;
};

TEST_F(PictureRescue, DocumentsAroundPicturesComeBackWhole) {
  for (const test::TestPicture& p : pictures_) {
    for (const Bytes8& doc : docs_) {
      SCOPED_TRACE(p.name + (doc[0] == 0xD0 ? " in OLE2" : " in OOXML"));
      const Bytes8 image = buildImage(neighbours_, doc, p.bytes);
      // 512-byte sectors: through the command-line program, which estimates 4 KiB clusters.
      const fs::path file = dir_ / "disk.img";
      test::writeFileBytes(file, image);
      const fs::path out = dir_ / "out";
      fs::remove_all(out);
      fs::create_directory(out);
      int status = -1;
      const std::string json = test::commandOutput("'" + test::cliPath().string() + "' rescue '" + file.string() +
                                                       "' -o '" + out.string() + "' --json --quiet",
                                                   &status);
      ASSERT_EQ(status, 0) << json;
      EXPECT_NE(json.find("\"estimatedClusterBytes\": 4096,"), std::string::npos) << json;
      EXPECT_TRUE(holdsDocument(out, doc)) << json;
      // 4096-byte sectors: one sector per cluster.
      EXPECT_TRUE(rescuedInProcess(image, 4096, doc));
      // Without the picture's carver a package's own checks find its sectors all the same (a
      // compound document's do too where its records tell the picture's clusters from its
      // own); with one sector per cluster a compound document takes the noise after the picture.
      const bool package = doc[0] != 0xD0;
      if (package) {
        EXPECT_TRUE(rescuedInProcess(image, 512, doc, classifySector(p.bytes)));
      }
      if (p.bytes.size() % kCluster != 0 && !package) {
        EXPECT_FALSE(rescuedInProcess(image, 512, doc, 0, false));
      }
    }
  }
}

}  // namespace
}  // namespace vellumark
