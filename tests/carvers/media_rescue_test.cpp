// Whole rescues where a Word document was stored in two pieces around a video or sound
// file: the document comes back byte for byte only because the media carver claimed the
// file's sectors first, so that the document carver stepped over them.

#include <gtest/gtest.h>

#include <filesystem>

#include "carvers/carver_registry.h"
#include "carvers/recovered_output.h"
#include "driver/scan_driver.h"
#include "scan/type_codes.h"
#include "support/file_system_images.h"
#include "support/image_builder.h"
#include "support/media_files.h"
#include "support/recording_front_end.h"
#include "util/byte_reader.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;
using test::quoted;

struct Placed {
  std::string media;
  std::int64_t docOffset;  // byte offset of the document's first piece
};

struct Volume {
  fs::path image;
  std::vector<Placed> placed;
};

// A FAT16 volume with 4 KiB clusters; in its data area, for every media file, the
// document's first two clusters, the media file from the next cluster, and the rest of the
// document from the cluster after the media file's last one.
class CutDocuments {
 public:
  CutDocuments() : doc_(test::readFileBytes(fs::path(VELLUMARK_TEST_DATA_DIR) / "corpus" / "58804_1.doc")) {}

  static bool toolsMissing() { return !test::haveProgram("mkfs.vfat") || test::ffmpegMediaFiles().empty(); }

  Volume build(std::uint32_t bps) {
    Volume v{tmp_ / "volume.img", {}};
    const std::uint32_t spc = 4096 / bps;
    EXPECT_TRUE(test::makeFileSystem(v.image, 32 * 1024, "mkfs.vfat -F 16 -S " + std::to_string(bps) + " -s " + std::to_string(spc)));
    std::vector<std::uint8_t> bytes = test::readFileBytes(v.image);
    const Bytes boot(bytes);
    const std::int64_t dataStart = le16(boot, 14) + std::int64_t{bytes[16]} * le16(boot, 22) + (le16(boot, 17) * 32 + bps - 1) / bps;
    constexpr std::int64_t kCluster = 4096;
    constexpr std::size_t kHead = 2 * kCluster;
    std::int64_t at = (dataStart + 64 * spc) * bps;  // well past the root directory
    for (const test::MediaFile& m : test::ffmpegMediaFiles()) {
      const std::int64_t mediaAt = at + static_cast<std::int64_t>(kHead);
      const std::int64_t tailAt = mediaAt + (static_cast<std::int64_t>(m.bytes.size()) + kCluster - 1) / kCluster * kCluster;
      std::copy(doc_.begin(), doc_.begin() + kHead, bytes.begin() + at);
      std::copy(m.bytes.begin(), m.bytes.end(), bytes.begin() + mediaAt);
      std::copy(doc_.begin() + kHead, doc_.end(), bytes.begin() + tailAt);
      v.placed.push_back({m.name, at});
      at = tailAt + static_cast<std::int64_t>(doc_.size() - kHead) + 2 * kCluster;
    }
    test::writeFileBytes(v.image, bytes);
    return v;
  }

  // The media files whose document came back byte for byte.
  std::vector<std::string> identical(const Volume& v, const fs::path& out) const {
    std::vector<std::string> names;
    for (const Placed& p : v.placed) {
      const fs::path file = recoveredFileName(out.string() + "/", p.docOffset, ".DOC");
      if (fs::exists(file) && test::readFileBytes(file) == doc_) names.push_back(p.media);
    }
    return names;
  }

  static std::vector<std::string> allMedia(const Volume& v) {
    std::vector<std::string> names;
    for (const Placed& p : v.placed) names.push_back(p.media);
    return names;
  }

  fs::path outputFolder(const std::string& name = "out") const {
    fs::create_directories(tmp_ / name);
    return tmp_ / name;
  }

 private:
  std::vector<std::uint8_t> doc_;
  test::TempDir tmp_;
};

class MediaRescue : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(MediaRescue, DocumentsCutAroundMediaFilesComeBackWhole) {
  if (CutDocuments::toolsMissing()) GTEST_SKIP() << "mkfs.vfat or ffmpeg is not installed (scripts/install-deps.sh)";
  CutDocuments cut;
  const Volume v = cut.build(GetParam());
  const fs::path out = cut.outputFolder();
  int status = -1;
  const std::string json =
      test::commandOutput(quoted(test::cliPath()) + " rescue " + quoted(v.image) + " -o " + quoted(out) + " --json --quiet", &status);
  ASSERT_EQ(status, 0) << json;
  EXPECT_EQ(cut.identical(v, out), CutDocuments::allMedia(v));
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, MediaRescue, ::testing::Values(512u, 4096u));

// Without the media carvers the document carver takes the media file's sectors as its own.
CarverFn documentCarversOnly(std::uint8_t code) {
  return code == kTypeOle2 || code == kTypeOoxml ? mainPassCarver(code) : nullptr;
}

TEST(MediaRescueControl, WithoutTheMediaCarversNoCutDocumentComesBack) {
  if (CutDocuments::toolsMissing()) GTEST_SKIP() << "mkfs.vfat or ffmpeg is not installed (scripts/install-deps.sh)";
  CutDocuments cut;
  const Volume v = cut.build(512);
  auto rescue = [&](const ScanHooks& hooks, const fs::path& out) {
    ScanState state;
    EXPECT_TRUE(openScanSource(state, v.image.string()).ok());
    test::RecordingFrontEnd frontEnd;
    ScanRequest request;
    request.outputFolder = out.string();
    request.endSector = state.geometry.lastSector;
    request.folderOnSource = [](const std::string&) { return false; };
    EXPECT_EQ(runScan(state, frontEnd, request, hooks).refusal, ScanRefusal::None);
    return cut.identical(v, out);
  };
  ScanHooks hooks = defaultScanHooks();
  EXPECT_EQ(rescue(hooks, cut.outputFolder("with")), CutDocuments::allMedia(v));
  hooks.mainPassCarver = documentCarversOnly;
  EXPECT_TRUE(rescue(hooks, cut.outputFolder("without")).empty());
}

}  // namespace
}  // namespace vellumark
