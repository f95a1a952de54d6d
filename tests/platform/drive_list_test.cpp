// The drive and disk lists: a fake machine under tests/data/devices, loop devices set up by
// the test where the machine allows it, and the size text of the disk list.

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/drive_list.h"
#include "support/file_system_images.h"
#include "support/image_builder.h"

namespace vellumark::platform {
namespace {

const std::string kTree = std::string(VELLUMARK_TEST_DATA_DIR) + "/devices";

DeviceView fakeView() { return {kTree + "/sys", kTree + "/mountinfo", kTree + "/udev"}; }

template <typename Entry>
const Entry* byPath(const std::vector<Entry>& entries, const std::string& path) {
  auto it = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.path == path; });
  return it == entries.end() ? nullptr : &*it;
}

TEST(DriveList, FormatDiskSize) {
  EXPECT_EQ(formatDiskSize(1'000'204'886'016), "931.51GB");
  EXPECT_EQ(formatDiskSize(500ull << 20), ".49GB");
  EXPECT_EQ(formatDiskSize(10ull << 20), "10.00MB");
  EXPECT_EQ(formatDiskSize(10'737'418), ".01GB");  // 10.24 MiB: the first size in GB
  EXPECT_EQ(formatDiskSize(10'732'175), "10.23MB");  // the last size shown in MB
  EXPECT_EQ(formatDiskSize(0), ".00MB");
  EXPECT_EQ(formatDiskSize(~0ull), "17179869184.00GB");  // no overflow at the top
}

TEST(DriveList, DisksOfTheFakeMachine) {
  const DriveLists lists = listDrives(fakeView());
  std::vector<std::string> paths;
  for (const DiskEntry& d : lists.disks) paths.push_back(d.path);
  // No card reader without a card, unused loop device, RAM disk or mapped device.
  EXPECT_EQ(paths, (std::vector<std::string>{"/dev/sda", "/dev/sdb", "/dev/sdd", "/dev/loop0"}));
  ASSERT_EQ(lists.disks.size(), 4u);
  EXPECT_EQ(lists.disks[0].text, "HD0 ATA Samsung SSD 860 (931.51GB)");
  EXPECT_EQ(lists.disks[1].text, "RM1 SanDisk Cruzer Blade (.49GB)");
  EXPECT_TRUE(lists.disks[1].removable);
  EXPECT_EQ(lists.disks[2].text, "HD2 (10.00MB)");  // a vendor without a product gives no model
  EXPECT_EQ(lists.disks[3].logicalSectorSize, 4096u);
}

TEST(DriveList, VolumesOfTheFakeMachine) {
  const DriveLists lists = listDrives(fakeView());
  const VolumeEntry* efi = byPath(lists.volumes, "/dev/sda1");
  ASSERT_NE(efi, nullptr);
  EXPECT_EQ(efi->fsType, "vfat");
  EXPECT_EQ(efi->label, "EFI");
  EXPECT_EQ(efi->mountPoint, "/boot/efi");
  EXPECT_EQ(efi->sizeBytes, 1048576ull * 512);

  const VolumeEntry* stick = byPath(lists.volumes, "/dev/sdb");  // no partition table
  ASSERT_NE(stick, nullptr);
  EXPECT_EQ(stick->label, "STICK");
  EXPECT_TRUE(stick->removable);

  const VolumeEntry* image = byPath(lists.volumes, "/dev/loop0p1");
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->fsType, "ntfs3");  // from the mount table when udev knows nothing
  EXPECT_EQ(image->mountPoint, "/mnt/disk image");

  ASSERT_NE(byPath(lists.volumes, "/dev/dm-0"), nullptr);
  EXPECT_EQ(byPath(lists.volumes, "/dev/dm-0")->mountPoint, "/home");
  ASSERT_NE(byPath(lists.volumes, "/dev/sda10"), nullptr);  // partitions are listed even when unknown
  // Whole disks with partitions, and devices holding nothing known, are no volumes.
  EXPECT_EQ(byPath(lists.volumes, "/dev/sda"), nullptr);
  EXPECT_EQ(byPath(lists.volumes, "/dev/sdd"), nullptr);
  // Partitions come in their table's order: sda10 after sda2.
  std::vector<std::string> sdaParts;
  for (const VolumeEntry& v : lists.volumes)
    if (v.name.rfind("sda", 0) == 0) sdaParts.push_back(v.name);
  EXPECT_EQ(sdaParts, (std::vector<std::string>{"sda1", "sda2", "sda10"}));
  for (const VolumeEntry& v : lists.volumes) EXPECT_NE(v.mountPoint, "/mnt/nas");
}

TEST(DriveList, MissingTablesGiveEmptyLists) {
  const DriveLists lists = listDrives({"/nonexistent/sys", "/nonexistent/mountinfo", "/nonexistent/udev"});
  EXPECT_TRUE(lists.disks.empty());
  EXPECT_TRUE(lists.volumes.empty());
}

TEST(DriveList, LoopDevicesOfThisMachine) {
  if (!test::haveProgram("losetup") || !test::haveProgram("sfdisk")) GTEST_SKIP() << "losetup or sfdisk missing";
  test::TempDir dir;
  const auto image = dir / "disk.img";
  ASSERT_TRUE(test::shellOk("truncate -s 32M " + test::quoted(image) + " && printf 'label: dos\\n2048,8192,c\\n' | sfdisk -q " +
                            test::quoted(image)));
  int status = -1;
  std::string loop = test::commandOutput("losetup -f --show -P " + test::quoted(image) + " 2>/dev/null", &status);
  if (status != 0 || loop.empty()) GTEST_SKIP() << "loop devices cannot be set up here";
  loop.erase(loop.find_last_not_of('\n') + 1);
  test::shellOk("udevadm settle 2>/dev/null");
  const DriveLists lists = listDrives();
  const DiskEntry* disk = byPath(lists.disks, loop);
  const VolumeEntry* part = byPath(lists.volumes, loop + "p1");
  test::shellOk("losetup -d " + loop);
  ASSERT_NE(disk, nullptr) << loop;
  EXPECT_EQ(disk->sizeBytes, 32ull << 20);
  EXPECT_EQ(disk->text.rfind("HD", 0), 0u) << disk->text;
  EXPECT_NE(disk->text.find("(.03GB)"), std::string::npos) << disk->text;
  // The kernel shows partitions of a loop device only when it scanned them.
  if (part != nullptr) {
    EXPECT_EQ(part->sizeBytes, 8192ull * 512);
  }
}

}  // namespace
}  // namespace vellumark::platform
