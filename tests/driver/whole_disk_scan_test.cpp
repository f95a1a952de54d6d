// Whole-disk rescues: a disk image with an MBR, a FAT32 partition at sector 2048 whose
// clusters are not aligned to the disk (mkfs.vfat -a) and an NTFS partition, documents live
// and deleted on both. The whole disk gives back every document, "free space only" the
// deleted ones (each partition's own allocation data), and --partition 2 those of NTFS.

#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "support/file_system_images.h"
#include "support/image_builder.h"
#include "util/byte_reader.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;
using test::quoted;

constexpr std::uint64_t kFatSectors = 72 * 2048;   // 72 MiB
constexpr std::uint64_t kNtfsSectors = 40 * 2048;  // 40 MiB
constexpr std::uint64_t kFatStart = 2048;
constexpr std::uint64_t kNtfsStart = kFatStart + kFatSectors;

struct Document {
  std::string name;
  std::vector<std::uint8_t> bytes;
};

class WholeDiskScan : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkfs.vfat", "mcopy", "mdel", "mkntfs", "ntfscp", "blkls", "sfdisk"}) {
      if (!test::haveProgram(tool)) {
        GTEST_SKIP() << tool << " is not installed (scripts/install-deps.sh)";
      }
    }
    std::vector<Document> docs;
    for (const test::CorpusDocument& doc : test::corpusDocuments()) {
      auto bytes = test::readFileBytes(doc.path);
      if (le32(bytes, 0) == 0xE011CFD0 && bytes.size() % 512 == 0 && bytes.size() <= 200'000)
        docs.push_back({doc.name, std::move(bytes)});
      if (docs.size() == 12) break;
    }
    ASSERT_EQ(docs.size(), 12u);
    fatLive_.assign(docs.begin(), docs.begin() + 3);
    fatDeleted_.assign(docs.begin() + 3, docs.begin() + 6);
    ntfsLive_.assign(docs.begin() + 6, docs.begin() + 9);
    ntfsDeleted_.assign(docs.begin() + 9, docs.end());
    buildDisk();
  }

  void buildDisk() {
    const fs::path fat = dir_ / "fat.img";
    // 33 reserved sectors and no alignment: the data area starts at an odd sector.
    ASSERT_TRUE(test::makeFileSystem(fat, kFatSectors / 2, "mkfs.vfat -F 32 -a -s 2 -R 33"));
    for (const Document& d : fatLive_) ASSERT_TRUE(test::fatCopyIn(fat, corpus(d), d.name));
    for (const Document& d : fatDeleted_) ASSERT_TRUE(test::fatCopyIn(fat, corpus(d), d.name));
    for (const Document& d : fatDeleted_) ASSERT_TRUE(test::fatDelete(fat, d.name));

    const fs::path ntfs = dir_ / "ntfs.img";
    ASSERT_TRUE(test::makeFileSystem(ntfs, kNtfsSectors / 2, "mkntfs -F -Q -c 4096"));
    for (const Document& d : ntfsLive_) ASSERT_TRUE(test::ntfsCopyIn(ntfs, corpus(d), d.name));
    placeInFreeClusters(ntfs, ntfsDeleted_);

    disk_ = dir_ / "disk.img";
    const std::string table = "label: dos\\n" + std::to_string(kFatStart) + "," + std::to_string(kFatSectors) + ",c\\n" +
                              std::to_string(kNtfsStart) + "," + std::to_string(kNtfsSectors) + ",7\\n";
    ASSERT_TRUE(test::shellOk("truncate -s " + std::to_string((kNtfsStart + kNtfsSectors + 2048) * 512) + " " +
                              quoted(disk_) + " && printf '" + table + "' | sfdisk -q " + quoted(disk_)));
    ASSERT_TRUE(test::shellOk("dd if=" + quoted(fat) + " of=" + quoted(disk_) + " bs=512 seek=" +
                              std::to_string(kFatStart) + " conv=notrunc"));
    ASSERT_TRUE(test::shellOk("dd if=" + quoted(ntfs) + " of=" + quoted(disk_) + " bs=512 seek=" +
                              std::to_string(kNtfsStart) + " conv=notrunc"));
  }

  // A deleted file as a carver meets it: its bytes in clusters the file system calls free.
  void placeInFreeClusters(const fs::path& image, const std::vector<Document>& docs) {
    auto allocated = test::tskBlockAllocation(image);
    ASSERT_TRUE(allocated.has_value());
    std::vector<std::uint8_t> bytes = test::readFileBytes(image);
    std::size_t cluster = allocated->size() / 2;
    for (const Document& d : docs) {
      const std::size_t need = (d.bytes.size() + 4095) / 4096;
      for (;;) {
        ASSERT_LT(cluster + need, allocated->size());
        bool free = true;
        for (std::size_t c = cluster; c < cluster + need; ++c) free = free && !(*allocated)[c];
        if (free) break;
        ++cluster;
      }
      std::copy(d.bytes.begin(), d.bytes.end(), bytes.begin() + static_cast<std::ptrdiff_t>(cluster * 4096));
      cluster += need + 1;
    }
    test::writeFileBytes(image, bytes);
  }

  static fs::path corpus(const Document& d) { return fs::path(VELLUMARK_TEST_DATA_DIR) / "corpus" / d.name; }

  std::string cli(const std::string& args, int* status) {
    return test::commandOutput(quoted(test::cliPath()) + " " + args, status);
  }

  // The documents a rescue with `options` writes, and its JSON summary.
  std::vector<std::vector<std::uint8_t>> rescue(const std::string& options, std::string* json = nullptr) {
    const fs::path out = dir_ / ("out" + std::to_string(++runs_));
    fs::create_directory(out);
    int status = -1;
    const std::string text = cli("rescue --quiet --json " + options + " " + quoted(disk_) + " -o " + quoted(out), &status);
    EXPECT_EQ(status, 0) << text;
    if (json != nullptr) *json = text;
    std::vector<std::vector<std::uint8_t>> files;
    for (const auto& e : fs::directory_iterator(out))
      if (!test::isRescueRecord(e.path())) files.push_back(test::readFileBytes(e.path()));
    return files;
  }

  static void expectExactly(const std::vector<std::vector<std::uint8_t>>& files,
                            std::initializer_list<const std::vector<Document>*> groups) {
    std::size_t expected = 0;
    for (const auto* group : groups) {
      for (const Document& d : *group) {
        ++expected;
        EXPECT_NE(std::find(files.begin(), files.end(), d.bytes), files.end()) << d.name << " not recovered";
      }
    }
    EXPECT_EQ(files.size(), expected);
  }

  test::TempDir tmp_;
  fs::path dir_ = tmp_.path();
  fs::path disk_;
  int runs_ = 0;
  std::vector<Document> fatLive_, fatDeleted_, ntfsLive_, ntfsDeleted_;
};

std::int64_t jsonNumber(const std::string& json, const std::string& key) {
  std::smatch m;
  if (!std::regex_search(json, m, std::regex("\"" + key + "\": ?(-?[0-9]+)"))) return -1;
  return std::stoll(m[1]);
}

TEST_F(WholeDiskScan, InfoListsBothPartitionsWithTheirFileSystems) {
  int status = -1;
  const std::string json = cli("info --json " + quoted(disk_), &status);
  ASSERT_EQ(status, 0) << json;
  EXPECT_NE(json.find("\"fileSystem\":\"OTHER\""), std::string::npos);  // the disk itself
  EXPECT_NE(json.find("\"number\":1,\"firstSector\":2048,\"sectorCount\":147456,\"type\":\"FAT32\",\"name\":\"\","
                      "\"fileSystem\":\"FAT32\",\"recognised\":true,\"sectorsPerCluster\":2"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"type\":\"NTFS/exFAT\",\"name\":\"\",\"fileSystem\":\"NTFS\",\"recognised\":true,"
                      "\"sectorsPerCluster\":8,\"clusterOffset\":0"),
            std::string::npos)
      << json;
}

TEST_F(WholeDiskScan, TheWholeDiskGivesBackEveryDocument) {
  std::string json;
  const auto files = rescue("", &json);
  expectExactly(files, {&fatLive_, &fatDeleted_, &ntfsLive_, &ntfsDeleted_});
  // Inside the partitions only the first sector of each cluster is examined.
  const std::int64_t examined = jsonNumber(json, "sectorsExamined");
  const std::int64_t expectedExamined = 2048 + kFatSectors / 2 + kNtfsSectors / 8 + 2048;
  EXPECT_NEAR(static_cast<double>(examined), static_cast<double>(expectedExamined), 64.0) << json;
}

TEST_F(WholeDiskScan, FreeSpaceOnlyGivesTheDeletedDocumentsOfBothPartitions) {
  expectExactly(rescue("--free-space"), {&fatDeleted_, &ntfsDeleted_});
}

TEST_F(WholeDiskScan, OnePartitionIsScannedAsAVolume) {
  expectExactly(rescue("--partition 2"), {&ntfsLive_, &ntfsDeleted_});
  expectExactly(rescue("--partition 2 --free-space"), {&ntfsDeleted_});
  int status = -1;
  const std::string text = cli("rescue --quiet --partition 3 " + quoted(disk_) + " -o " + quoted(dir_) + " 2>&1", &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(text.find("has no partition 3"), std::string::npos) << text;
  // A volume has no partitions, whatever its boot code looks like.
  const std::string fat = (dir_ / "fat.img").string();
  EXPECT_NE(cli("info --partition 1 '" + fat + "' 2>&1", &status).find("is a FAT32 volume"), std::string::npos);
}

}  // namespace
}  // namespace vellumark
