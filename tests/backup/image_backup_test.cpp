// Backup to an image file: block reads, unreadable sectors, cancellation, refusals and a full
// output disk on in-memory sources; whole, free-space and range copies of a real FAT32 volume
// through the command-line program; a device-mapper disk with failing sectors and a tmpfs
// that fills up where the machine allows it (skipped otherwise).

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "backup/image_backup.h"
#include "support/file_system_images.h"
#include "support/image_builder.h"
#include "support/recording_front_end.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;
using test::shellOk;

// Records the keep-or-delete question and answers it.
struct AskingFrontEnd : test::RecordingFrontEnd {
  bool deletePartialImage(std::string_view) override {
    ++questions;
    return answerDelete;
  }
  int questions = 0;
  bool answerDelete = true;
};

struct BackupTest : ::testing::Test {
  test::TempDir dir;
  ScanState state;
  MemorySource* source = nullptr;
  std::vector<std::uint8_t> bytes;

  void openMemory(std::uint64_t sectors) {
    test::ImageBuilder image(sectors);
    image.fillRandom(0, sectors * 512, 7);
    bytes = image.bytes();
    auto owned = image.source();
    source = owned.get();
    openScanSource(state, std::move(owned), "memory");
    state.geometry.sectorsPerCluster = 8;
  }
  BackupRequest request(std::int64_t first, std::int64_t last, const std::string& name = "out.img") {
    BackupRequest r;
    r.imagePath = (dir / name).string();
    r.startSector = first;
    r.endSector = last;
    r.folderOnSource = [](const std::string&) { return false; };
    return r;
  }
  std::vector<std::uint8_t> sourceSectors(std::int64_t first, std::int64_t count) const {
    return {bytes.begin() + first * 512, bytes.begin() + (first + count) * 512};
  }
  std::vector<std::string> filesInDir() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(BackupTest, CopiesInMegabyteBlocksAndCutsAtTheRangeEnd) {
  openMemory(5000);
  AskingFrontEnd fe;
  const std::size_t readsBefore = source->readCalls();
  BackupSummary s = runBackup(state, fe, request(3, 4099));
  ASSERT_EQ(s.refusal, ScanRefusal::None);
  EXPECT_EQ(source->readCalls() - readsBefore, 3u);  // 2048 + 2048 + 1 sectors
  EXPECT_EQ(s.sectorsCopied, 4097);
  EXPECT_EQ(test::readFileBytes(dir / "out.img"), sourceSectors(3, 4097));
  EXPECT_EQ(filesInDir(), std::vector<std::string>{"out.img"});  // no map file, no temporary file
  EXPECT_EQ(fe.questions, 0);
}

TEST_F(BackupTest, UnreadableSectorsBecomeZerosAreCountedAndMapped) {
  openMemory(6000);
  source->failReadsIn(2500 * 512 + 100, 3 * 512);  // touches sectors 2500..2503
  AskingFrontEnd fe;
  BackupSummary s = runBackup(state, fe, request(1000, 5999));
  ASSERT_TRUE(s.imageKept);
  EXPECT_EQ(s.sectorsUnreadable, 4);
  ASSERT_EQ(s.unreadableRuns.size(), 1u);
  EXPECT_EQ(s.unreadableRuns[0].first, 2500);
  auto expected = sourceSectors(1000, 5000);
  std::fill_n(expected.begin() + 1500 * 512, 4 * 512, 0);  // zeros, not the previous block's bytes
  const fs::path image = dir / "out.img";
  EXPECT_EQ(test::readFileBytes(image), expected);
  const std::string map = test::commandOutput("grep -v '^#' " + test::quoted(s.mapFilePath));
  EXPECT_EQ(map,
            "0x002EE000     +               1\n"
            "0x0007D000  0x000BB800  +\n"
            "0x00138800  0x00000800  -\n"
            "0x00139000  0x001B5000  +\n");
  if (!test::haveProgram("ddrescue")) GTEST_SKIP() << "ddrescue is missing: the map file is not read back";
  // ddrescue reads the map back and retries only the bad sectors, from a source that now reads.
  test::writeFileBytes(dir / "source.bin", bytes);
  ASSERT_TRUE(shellOk("ddrescue -r1 -i 512000 -o 0 -s 2560000 " + test::quoted(dir / "source.bin") + " " + test::quoted(image) +
                      " " + test::quoted(s.mapFilePath)));
  EXPECT_EQ(test::readFileBytes(image), sourceSectors(1000, 5000));
  EXPECT_EQ(test::commandOutput("ddrescuelog -D -i 512000 -s 2560000 " + test::quoted(s.mapFilePath) + " >/dev/null; echo $?"), "0\n");
}

TEST_F(BackupTest, CancelAsksWhetherToKeepThePartialImage) {
  for (bool answerDelete : {true, false}) {
    openMemory(8192);
    fs::remove_all(dir / "out.img");
    fs::remove_all(dir / "out.img.map");
    AskingFrontEnd fe;
    fe.answerDelete = answerDelete;
    fe.onPump = [&] {  // the first refresh, after one block, presses Cancel
      if (fe.pumps == 1) ++state.displayTick;
      if (fe.pumps == 2) state.scanCancelled = true;
    };
    BackupSummary s = runBackup(state, fe, request(0, 8191));
    EXPECT_TRUE(s.cancelled);
    EXPECT_EQ(fe.questions, 1);
    if (answerDelete) {
      EXPECT_TRUE(filesInDir().empty());
      continue;
    }
    EXPECT_TRUE(s.partial);
    EXPECT_EQ(test::readFileBytes(dir / "out.img"), sourceSectors(0, 2048));
    // The rest is "not tried": ddrescue can finish the image.
    EXPECT_NE(test::commandOutput("cat " + test::quoted(dir / "out.img.map")).find("0x00100000  0x00300000  ?"),
              std::string::npos);
  }
}

TEST_F(BackupTest, RefusesBadRangesTheSourceItselfAndExistingImages) {
  openMemory(100);
  SilentFrontEnd fe;
  EXPECT_EQ(runBackup(state, fe, request(5, 4)).refusal, ScanRefusal::BadRange);
  EXPECT_EQ(runBackup(state, fe, request(0, 100)).refusal, ScanRefusal::BadRange);
  BackupRequest onSource = request(0, 9);
  onSource.folderOnSource = [](const std::string&) { return true; };
  EXPECT_EQ(runBackup(state, fe, onSource).refusal, ScanRefusal::OutputOnSource);
  EXPECT_EQ(runBackup(state, fe, request(0, 9, "missing/out.img")).refusal, ScanRefusal::NoOutputFolder);
  fs::create_directory(dir / "folder");
  EXPECT_EQ(runBackup(state, fe, request(0, 9, "folder")).refusal, ScanRefusal::ImageNotAFile);

  test::writeFileBytes(dir / "out.img.map", bytes);  // a map file of that name counts as the image
  EXPECT_EQ(runBackup(state, fe, request(0, 9)).refusal, ScanRefusal::ImageExists);
  BackupRequest force = request(0, 9);
  force.replaceExisting = true;
  ASSERT_TRUE(runBackup(state, fe, force).imageKept);
  EXPECT_EQ(filesInDir(), (std::vector<std::string>{"folder", "out.img"}));  // the stale map went with the old image

  const fs::path file = dir / "source.img";
  test::writeFileBytes(file, bytes);
  ASSERT_TRUE(openScanSource(state, file.string()));
  BackupRequest over = request(0, 9, "source.img");
  over.replaceExisting = true;
  EXPECT_EQ(runBackup(state, fe, over).refusal, ScanRefusal::ImageIsSource);
  EXPECT_EQ(test::readFileBytes(file), bytes);
}

// The CLI on a real FAT32 volume with documents, some of them deleted.
struct Fat32BackupTest : BackupTest {
  fs::path volume = dir / "fat32.img";
  void SetUp() override {
    for (const char* tool : {"mkfs.vfat", "mcopy", "mdel", "blkls"})
      if (!test::haveProgram(tool)) GTEST_SKIP() << tool << " is missing (scripts/install-deps.sh installs it)";
    ASSERT_TRUE(test::makeFileSystem(volume, 40 * 1024, "mkfs.vfat -F 32 -s 1"));
    std::vector<std::string> names;
    for (const test::CorpusDocument& doc : test::corpusDocuments()) {
      if (names.size() == 12) break;
      names.push_back("D" + std::to_string(names.size()) + "." + doc.ext);
      ASSERT_TRUE(test::fatCopyIn(volume, doc.path, names.back()));
    }
    for (std::size_t i = 0; i < names.size(); i += 3) ASSERT_TRUE(test::fatDelete(volume, names[i]));
  }
  int cli(const std::string& args) { return test::runCommand(test::quoted(test::cliPath()) + " " + args + " -q >/dev/null 2>&1"); }
  std::vector<std::vector<std::uint8_t>> rescued(const fs::path& source, const std::string& name) {
    fs::create_directory(dir / name);
    EXPECT_EQ(cli("rescue " + test::quoted(source) + " -o " + test::quoted(dir / name)), 0);
    std::vector<std::vector<std::uint8_t>> files;
    for (const auto& e : fs::directory_iterator(dir / name)) if (!test::isRescueRecord(e.path())) files.push_back(test::readFileBytes(e.path()));
    std::sort(files.begin(), files.end());
    return files;
  }
};

TEST_F(Fat32BackupTest, WholeFreeSpaceAndRangeCopies) {
  ASSERT_EQ(cli("backup " + test::quoted(volume) + " -o " + test::quoted(dir / "whole.img")), 0);
  EXPECT_EQ(test::readFileBytes(dir / "whole.img"), test::readFileBytes(volume));
  const auto fromSource = rescued(volume, "a");
  EXPECT_GE(fromSource.size(), 4u);
  EXPECT_EQ(rescued(dir / "whole.img", "b"), fromSource);

  ASSERT_EQ(cli("backup --free-space " + test::quoted(volume) + " -o " + test::quoted(dir / "free.img")), 0);
  ASSERT_EQ(test::runCommand("blkls " + test::quoted(volume) + " >" + test::quoted(dir / "blkls.bin")), 0);
  EXPECT_EQ(test::readFileBytes(dir / "free.img"), test::readFileBytes(dir / "blkls.bin"));

  ASSERT_EQ(cli("backup --range 1000-1012 " + test::quoted(volume) + " -o " + test::quoted(dir / "range.img")), 0);
  const auto all = test::readFileBytes(volume);
  EXPECT_EQ(test::readFileBytes(dir / "range.img"), std::vector<std::uint8_t>(all.begin() + 1000 * 512, all.begin() + 1013 * 512));
  EXPECT_EQ(cli("backup " + test::quoted(volume) + " -o " + test::quoted(dir / "range.img")), 2);  // exists
}

// A small tmpfs, mounted where the machine allows it.
struct TmpfsBackupTest : BackupTest {
  fs::path mountPoint = dir / "small";
  bool mounted = false;
  void SetUp() override {
    fs::create_directory(mountPoint);
    mounted = shellOk("mount -t tmpfs -o size=4m tmpfs " + test::quoted(mountPoint));
    if (!mounted) GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  void TearDown() override {
    if (mounted) shellOk("umount " + test::quoted(mountPoint));
  }
};

TEST_F(TmpfsBackupTest, AFullOutputDiskStopsTheCopy) {
  openMemory(6144);  // 3 MiB: fits at first, then a 2.5 MiB file takes the space
  source->failReadsIn(3000 * 512, 512);  // in the block that cannot be written
  for (bool answerDelete : {true, false}) {
    AskingFrontEnd fe;
    fe.answerDelete = answerDelete;
    fe.onPump = [&] { test::writeFileBytes(mountPoint / "filler", std::vector<std::uint8_t>(5 << 19, 1)); };
    BackupRequest r = request(0, 6143);
    r.imagePath = (mountPoint / "out.img").string();
    BackupSummary s = runBackup(state, fe, r);
    EXPECT_TRUE(s.outputFull);
    EXPECT_EQ(fe.questions, 1);
    EXPECT_EQ(fs::exists(mountPoint / "out.img"), !answerDelete);
    if (!answerDelete) {
      EXPECT_EQ(fs::file_size(mountPoint / "out.img"), 1u << 20);  // whole blocks only
      EXPECT_EQ(s.sectorsUnreadable, 0);  // the bad sector did not get into the image
      EXPECT_NE(test::commandOutput("cat " + test::quoted(mountPoint / "out.img.map")).find("0x00100000  0x00200000  ?"),
                std::string::npos);
    }
    fs::remove(mountPoint / "filler");
    EXPECT_EQ(std::distance(fs::directory_iterator(mountPoint), {}), answerDelete ? 0 : 2);  // image and map
    fs::remove(mountPoint / "out.img");
    fs::remove(mountPoint / "out.img.map");
  }
  // An image that cannot fit is refused before anything is written.
  test::TempDir tmp;
  test::writeFileBytes(tmp / "big.img", std::vector<std::uint8_t>(5 << 20, 3));
  EXPECT_EQ(test::runCommand(test::quoted(test::cliPath()) + " backup -q " + test::quoted(tmp / "big.img") + " -o " +
                             test::quoted(mountPoint / "big.img") + " 2>/dev/null"),
            1);
  EXPECT_EQ(std::distance(fs::directory_iterator(mountPoint), {}), 0);
}

// A disk whose sectors 100..103 fail, from device-mapper's error target over a loop device.
TEST(DeviceMapperBackupTest, FailingSectorsOfARealDevice) {
  if (!shellOk("dmsetup targets | grep -q error")) GTEST_SKIP() << "device-mapper is not available here";
  test::TempDir dir;
  std::vector<std::uint8_t> data(2048 * 512, 0x5A);
  test::writeFileBytes(dir / "disk.bin", data);
  const std::string loop = test::commandOutput("losetup -f --show " + test::quoted(dir / "disk.bin") + " | tr -d '\\n'");
  if (loop.empty()) GTEST_SKIP() << "no loop device";
  const std::string table = "0 100 linear " + loop + " 0\n100 4 error\n104 1944 linear " + loop + " 104\n";
  const bool made = shellOk("printf '" + table + "' | dmsetup create vellumark-bad");
  if (made) {
    EXPECT_EQ(test::runCommand(test::quoted(test::cliPath()) + " backup -q /dev/mapper/vellumark-bad -o " +
                               test::quoted(dir / "out.img") + " >/dev/null 2>&1"),
              1);
    std::fill_n(data.begin() + 100 * 512, 4 * 512, 0);
    EXPECT_EQ(test::readFileBytes(dir / "out.img"), data);
    EXPECT_NE(test::commandOutput("cat " + test::quoted(dir / "out.img.map")).find("0x0000C800  0x00000800  -"),
              std::string::npos);
    shellOk("dmsetup remove vellumark-bad");
  }
  shellOk("losetup -d " + loop);
  if (!made) GTEST_SKIP() << "dmsetup create failed";
}

}  // namespace
}  // namespace vellumark
