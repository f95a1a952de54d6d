// Forensic and split images: an E01 made by ewfacquire and a raw image split into numbered
// pieces read byte for byte like the raw image, and info, map and rescue give the same
// results on all three.

#include <gtest/gtest.h>

#include <map>

#include "source/image_sources.h"
#include "support/file_system_images.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;
using test::quoted;
using test::TempDir;

TEST(ImageSources, NextPieceName) {
  EXPECT_EQ(nextPieceName("disk.001"), "disk.002");
  EXPECT_EQ(nextPieceName("/a.b/disk.009"), "/a.b/disk.010");
  EXPECT_EQ(nextPieceName("disk.999"), "disk.1000");
  EXPECT_EQ(nextPieceName("disk.img"), "");
  EXPECT_EQ(nextPieceName("disk."), "");
}

TEST(ImageSources, FormatByName) {
  TempDir dir;
  test::writeFileBytes(dir / "plain.E01", std::vector<std::uint8_t>(4096, 0));  // no EWF signature
  EXPECT_EQ(imageFormatOf((dir / "plain.E01").string()), ImageFormat::Raw);
  EXPECT_EQ(imageFormatOf("x.001"), ImageFormat::SplitRaw);
  EXPECT_EQ(imageFormatOf("x.002"), ImageFormat::Raw);  // a later piece alone is just a file
  EXPECT_EQ(imageFormatOf("x.img"), ImageFormat::Raw);
}

// Reads the whole source in pieces that straddle sector and piece boundaries.
std::vector<std::uint8_t> readAll(SectorSource& source) {
  std::vector<std::uint8_t> all(source.sizeBytes());
  for (std::size_t at = 0; at < all.size(); at += 70001) {
    const std::size_t n = std::min<std::size_t>(70001, all.size() - at);
    auto got = source.readAt(at, std::span(all).subspan(at, n));
    if (!got || *got != n) return {};
  }
  return all;
}

class ImageFormats : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkfs.vfat", "mcopy", "mdel", "ewfacquire", "split"}) {
      if (!test::haveProgram(tool)) {
        GTEST_SKIP() << tool << " is not installed (scripts/install-deps.sh)";
      }
    }
    raw_ = dir_ / "fat32.img";
    ASSERT_TRUE(test::makeFileSystem(raw_, 40 * 1024, "mkfs.vfat -F 32"));
    int copied = 0;
    for (const test::CorpusDocument& doc : test::corpusDocuments()) {
      if (doc.ext != "doc" && doc.ext != "xls") continue;
      ASSERT_TRUE(test::fatCopyIn(raw_, doc.path, doc.name));
      if (copied % 2 == 0) {
        ASSERT_TRUE(test::fatDelete(raw_, doc.name));
      }
      if (++copied == 8) break;
    }
    // Several 1 MiB segments, and pieces whose size is no multiple of a sector.
    ASSERT_TRUE(test::shellOk("ewfacquire -u -q -c none -S 1MiB -t " + quoted(dir_ / "disk") + " " + quoted(raw_) +
                              " </dev/null >/dev/null 2>&1"));
    ASSERT_TRUE(fs::exists(dir_ / "disk.E02"));
    ASSERT_TRUE(test::shellOk("split -b 7000001 -d -a 3 --numeric-suffixes=1 " + quoted(raw_) + " " +
                              quoted(dir_ / "piece.")));
  }

  std::string cli(const std::string& args, int* status) {
    return test::commandOutput(quoted(test::cliPath()) + " " + args + " 2>&1", status);
  }

  // Name and bytes of every document a rescue of `image` writes.
  std::map<std::string, std::vector<std::uint8_t>> rescued(const fs::path& image, const std::string& tag) {
    const fs::path out = dir_ / ("out-" + tag);
    fs::create_directory(out);
    int status = -1;
    const std::string text = cli("rescue --quiet " + quoted(image) + " -o " + quoted(out), &status);
    EXPECT_EQ(status, 0) << text;
    std::map<std::string, std::vector<std::uint8_t>> files;
    for (const auto& e : fs::directory_iterator(out)) if (!test::isRescueRecord(e.path())) files[e.path().filename().string()] = test::readFileBytes(e.path());
    return files;
  }

  TempDir tmp_;
  fs::path dir_ = tmp_.path();
  fs::path raw_;
};

TEST_F(ImageFormats, BytesAreThoseOfTheRawImage) {
  const std::vector<std::uint8_t> expected = test::readFileBytes(raw_);
  auto ewf = openFileSource((dir_ / "disk.E01").string());
  ASSERT_TRUE(ewf.ok()) << ewf.error().message();
  EXPECT_EQ((*ewf)->sizeBytes(), expected.size());
  EXPECT_TRUE(readAll(**ewf) == expected);

  auto split = openFileSource((dir_ / "piece.001").string());
  ASSERT_TRUE(split.ok()) << split.error().message();
  EXPECT_EQ(dynamic_cast<SplitRawSource&>(**split).pieceCount(), 6u);
  EXPECT_TRUE(readAll(**split) == expected);
  // Past the end: nothing, and no error.
  std::vector<std::uint8_t> tail(1024);
  auto got = (*split)->readAt(expected.size() - 512, tail);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(*got, 512u);
}

TEST_F(ImageFormats, InfoMapAndRescueMatchTheRawImage) {
  int status = -1;
  const std::string rawInfo = cli("info --json " + quoted(raw_), &status);
  ASSERT_EQ(status, 0) << rawInfo;
  const std::string rawMap = cli("map " + quoted(raw_), &status);
  ASSERT_EQ(status, 0) << rawMap;
  const auto rawFiles = rescued(raw_, "raw");
  EXPECT_GE(rawFiles.size(), 4u);

  for (const char* name : {"disk.E01", "piece.001"}) {
    SCOPED_TRACE(name);
    const fs::path image = dir_ / name;
    std::string info = cli("info --json " + quoted(image), &status);
    EXPECT_EQ(status, 0);
    // Only the source's name differs.
    info.replace(info.find(image.string()), image.string().size(), raw_.string());
    EXPECT_EQ(info, rawInfo);
    EXPECT_EQ(cli("map " + quoted(image), &status), rawMap);
    EXPECT_TRUE(rescued(image, name) == rawFiles);
  }
}

TEST_F(ImageFormats, AMissingFirstPieceIsAClearError) {
  auto opened = openFileSource((dir_ / "absent.001").string());
  ASSERT_FALSE(opened.ok());
  EXPECT_NE(opened.error().message().find("absent.001"), std::string::npos);
}

}  // namespace
}  // namespace vellumark
