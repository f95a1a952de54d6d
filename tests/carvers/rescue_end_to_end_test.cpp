// A whole rescue through the command-line program: documents copied onto a FAT32 volume,
// some deleted, the volume quick-formatted, then `vellumark-cli rescue` must bring every
// document back byte for byte.

#include <filesystem>
#include <gtest/gtest.h>
#include <map>

#include "util/byte_reader.h"
#include "support/file_system_images.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

using test::CorpusDocument;
using test::TempDir;
namespace fs = std::filesystem;

bool isCompoundFile(Bytes doc) { return le32(doc, 0) == 0xE011CFD0 && le32(doc, 28) == 0x0009FFFE; }

// A package the scan recognises as a document: its first entry is "[Content_Types].xml".
// Packages with data descriptors cannot be traced record by record and are left out.
bool isTraceablePackage(const CorpusDocument& doc, Bytes bytes) {
  return le32(bytes, 0) == 0x04034B50 && bytesEqual(bytes, 30, "[Content_Types].xml") && !doc.hasNote("data-descriptor");
}

using test::quoted;

struct Document {
  std::string name;
  std::vector<std::uint8_t> bytes;
  bool compound;
};

class RescueEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkfs.vfat", "mcopy", "mdel"})
      if (!test::haveProgram(tool)) GTEST_SKIP() << tool << " is not installed (scripts/install-deps.sh)";
    for (const CorpusDocument& doc : test::corpusDocuments()) {
      auto bytes = test::readFileBytes(doc.path);
      const bool compound = isCompoundFile(bytes);
      if (compound || isTraceablePackage(doc, bytes)) docs_.push_back({doc.name, std::move(bytes), compound});
    }
    ASSERT_GE(docs_.size(), 40u);
  }

  // Builds the formatted-over volume: every document copied in, every third one deleted,
  // then a new file system made over it.
  // mkfsOptions may set the cluster size; the size must leave FAT32 enough clusters.
  fs::path buildVolume(const std::string& size = "64M", const std::string& mkfsOptions = "") {
    const fs::path image = dir_ / "fat32.img";
    const std::string mkfs = "mkfs.vfat -F 32 " + mkfsOptions + " " + quoted(image) + " >/dev/null";
    EXPECT_EQ(test::runCommand("truncate -s " + size + " " + quoted(image)), 0);
    EXPECT_EQ(test::runCommand(mkfs), 0);
    std::string copy = "mcopy -i " + quoted(image);
    for (const Document& d : docs_) copy += " " + quoted(fs::path(VELLUMARK_TEST_DATA_DIR) / "corpus" / d.name);
    EXPECT_EQ(test::runCommand(copy + " ::/"), 0);
    for (std::size_t i = 0; i < docs_.size(); i += 3)
      EXPECT_EQ(test::runCommand("mdel -i " + quoted(image) + " " + quoted(fs::path("::/" + docs_[i].name))), 0);
    EXPECT_EQ(test::runCommand(mkfs), 0);
    return image;
  }

  std::vector<Document> docs_;
  TempDir tmp_;
  fs::path dir_ = tmp_.path();

  void expectEveryDocumentRecovered(const fs::path& image);
};

TEST_F(RescueEndToEnd, EveryDocumentComesBackFromAQuickFormattedFat32Volume) { expectEveryDocumentRecovered(buildVolume()); }

TEST_F(RescueEndToEnd, EveryDocumentComesBackWithEightSectorClusters) {
  // Documents end inside clusters here, so the rest of each last cluster is claimed too.
  expectEveryDocumentRecovered(buildVolume("300M", "-s 8"));
}

void RescueEndToEnd::expectEveryDocumentRecovered(const fs::path& image) {
  const fs::path out = dir_ / "out";
  fs::create_directory(out);
  int status = -1;
  const std::string json =
      test::commandOutput(quoted(test::cliPath()) + " rescue " + quoted(image) + " -o " + quoted(out) + " --json --quiet", &status);
  ASSERT_EQ(status, 0) << json;

  std::map<std::string, std::vector<std::uint8_t>> recovered;
  for (const auto& e : fs::directory_iterator(out)) if (!test::isRescueRecord(e.path())) recovered[e.path().filename().string()] = test::readFileBytes(e.path());
  EXPECT_EQ(recovered.size(), docs_.size());

  for (const Document& d : docs_) {
    SCOPED_TRACE(d.name);
    bool found = false;
    for (const auto& [name, bytes] : recovered) {
      if (bytes == d.bytes) found = true;
      // A compound file is saved in whole sectors: one whose file is shorter than its last
      // sector (its FAT says so) comes back as the file plus the rest of that sector.
      else if (d.compound && d.bytes.size() % 512 != 0 && bytes.size() == (d.bytes.size() + 511) / 512 * 512 &&
               std::equal(d.bytes.begin(), d.bytes.end(), bytes.begin()))
        found = true;
      if (found) break;
    }
    EXPECT_TRUE(found) << "not recovered";
  }
}

TEST_F(RescueEndToEnd, OnlyTheChosenFamiliesAreWritten) {
  const fs::path image = buildVolume();
  const fs::path out = dir_ / "out";
  fs::create_directory(out);
  int status = -1;
  const std::string json = test::commandOutput(
      quoted(test::cliPath()) + " rescue " + quoted(image) + " -o " + quoted(out) + " --types ppt --quiet", &status);
  ASSERT_EQ(status, 0) << json;
  std::size_t expected = 0;
  for (const Document& d : docs_) expected += d.name.ends_with(".ppt") || d.name.ends_with(".pptx");
  std::size_t written = 0;
  for (const auto& e : fs::directory_iterator(out)) {
    if (test::isRescueRecord(e.path())) continue;
    const std::string name = e.path().filename().string();
    EXPECT_TRUE(name.ends_with(".PPT") || name.ends_with(".PPTX")) << name;
    ++written;
  }
  EXPECT_EQ(written, expected);
}

}  // namespace
}  // namespace vellumark
