#include "platform/storage_topology.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <map>
#include <sstream>

#include "support/image_builder.h"

namespace vellumark::platform {
namespace {

std::uint64_t dev(unsigned maj, unsigned min) { return makedev(maj, min); }

std::uint64_t parseDev(const std::string& text) {
  unsigned maj = 0, min = 0;
  char colon = 0;
  std::istringstream(text) >> maj >> colon >> min;
  return makedev(maj, min);
}

// The fake machine in tests/data/topology/stacked: its mount table, its sysfs and the stat
// answers listed in its "files".
StorageView fakeMachine() {
  const std::string tree = std::string(VELLUMARK_TEST_DATA_DIR) + "/topology/stacked";
  auto table = std::make_shared<std::map<std::string, PathFacts>>();
  std::ifstream in(tree + "/files");
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string item; std::getline(fields, item, '\t');) f.push_back(item);
    PathFacts facts;
    facts.type = f[1] == "dir" ? PathFacts::Type::Directory
                 : f[1] == "reg" ? PathFacts::Type::Regular
                                 : PathFacts::Type::Block;
    facts.device = parseDev(f[2]);
    facts.inode = std::stoull(f[3]);
    if (f.size() > 4) facts.rdev = parseDev(f[4]);
    (*table)[f[0]] = facts;
  }
  EXPECT_FALSE(table->empty());
  StorageView view;
  view.mountInfo = tree + "/mountinfo";
  view.sys = tree + "/sys";
  view.stat = [table](const std::string& path) -> std::optional<PathFacts> {
    auto it = table->find(path);
    if (it == table->end()) return std::nullopt;
    return it->second;
  };
  return view;
}

SourceStorage device(const std::string& name, std::uint64_t rdev, bool wholeDisk) {
  return SourceStorage{name, false, rdev, 0, wholeDisk};
}

SourceStorage image(const std::string& name, std::uint64_t inode) {
  return SourceStorage{name, true, dev(254, 0), inode, false};
}

class FakeTopologyTest : public ::testing::Test {
 protected:
  Placement place(const std::string& folder, const SourceStorage& source) {
    last = checkOutputPlacement(folder, source, view);
    return last.placement;
  }
  bool detailHas(const std::string& text) const { return last.detail.find(text) != std::string::npos; }

  StorageView view = fakeMachine();
  PlacementCheck last;
};

TEST_F(FakeTopologyTest, ALoopOverAFileOnALoopLeadsDownToTheDisk) {
  const std::string out = "/mnt/inner/out";
  EXPECT_EQ(place(out, device("/dev/loop0", dev(7, 0), true)), Placement::OnSource);
  EXPECT_TRUE(detailHas("/dev/loop1, a loop device over '/mnt/outer/inner.img', which is on /dev/loop0")) << last.detail;
  EXPECT_TRUE(detailHas("source '/dev/loop0'")) << last.detail;
  EXPECT_EQ(place(out, image("outer.img", 100)), Placement::OnSource);
  EXPECT_TRUE(detailHas("a loop device over '/images/outer.img', which is the source 'outer.img'")) << last.detail;
  EXPECT_EQ(place(out, SourceStorage{"inner.img", true, dev(7, 0), 12, false}), Placement::OnSource);
  EXPECT_EQ(place(out, device("/dev/vda", dev(254, 0), true)), Placement::OnSource);

  EXPECT_EQ(place(out, device("/dev/sdb", dev(8, 16), true)), Placement::Elsewhere) << last.detail;
  EXPECT_EQ(place(out, image("other.img", 104)), Placement::Elsewhere) << last.detail;
  // A plain folder beside the image.
  EXPECT_EQ(place("/home/out", image("outer.img", 100)), Placement::Elsewhere) << last.detail;
}

TEST_F(FakeTopologyTest, FuseMountsFollowTheirSource) {
  // ntfs-3g of an image file.
  EXPECT_EQ(place("/mnt/ntfs/out", image("ntfs.img", 101)), Placement::OnSource);
  EXPECT_TRUE(detailHas("fuse mount at /mnt/ntfs of '/images/ntfs.img'")) << last.detail;
  EXPECT_EQ(place("/mnt/ntfs/out", image("other.img", 104)), Placement::Elsewhere);
  // exfat-fuse of a partition: on the disk and on that partition, not on its sibling.
  EXPECT_EQ(place("/mnt/exfat/out", device("/dev/sda", dev(8, 0), true)), Placement::OnSource);
  EXPECT_EQ(place("/mnt/exfat/out", device("/dev/sda1", dev(8, 1), false)), Placement::OnSource);
  EXPECT_EQ(place("/mnt/exfat/out", device("/dev/sda2", dev(8, 2), false)), Placement::Elsewhere) << last.detail;
  // bindfs of a folder on loop0.
  EXPECT_EQ(place("/mnt/bind/out", image("outer.img", 100)), Placement::OnSource);
}

TEST_F(FakeTopologyTest, AFuseMountWithoutASourcePathIsUnknown) {
  EXPECT_EQ(place("/mnt/fat/out", device("/dev/sdb", dev(8, 16), true)), Placement::Unknown);
  EXPECT_TRUE(detailHas("fuse.fusefat mount at /mnt/fat of 'fusefat'")) << last.detail;
  EXPECT_TRUE(detailHas("source '/dev/sdb'")) << last.detail;
  // It could be serving any file, the image too.
  EXPECT_EQ(place("/mnt/fat/out", image("other.img", 104)), Placement::Unknown);
  EXPECT_EQ(place("/mnt/sshfs/out", image("other.img", 104)), Placement::Unknown);
}

TEST_F(FakeTopologyTest, StackedDevicesAndPartitions) {
  // dm-0 on sda2.
  EXPECT_EQ(place("/mnt/lvm/out", device("/dev/sda", dev(8, 0), true)), Placement::OnSource);
  EXPECT_EQ(place("/mnt/lvm/out", device("/dev/sda2", dev(8, 2), false)), Placement::OnSource);
  EXPECT_TRUE(detailHas("/dev/dm-0, which lies on the source '/dev/sda2'")) << last.detail;
  EXPECT_EQ(place("/mnt/lvm/out", device("/dev/sda1", dev(8, 1), false)), Placement::Elsewhere);
  // An encrypted container in an image: dm-1 on loop4 over it.
  EXPECT_EQ(place("/mnt/crypt/out", image("crypt.img", 105)), Placement::OnSource);
  EXPECT_TRUE(detailHas("/dev/dm-1, built on /dev/loop4, a loop device over '/images/crypt.img'")) << last.detail;
  // A partition of a loop device over an image.
  EXPECT_EQ(place("/mnt/part2/out", image("parted.img", 102)), Placement::OnSource);
  EXPECT_TRUE(detailHas("a partition of /dev/loop3, a loop device over '/images/parted.img'")) << last.detail;
  EXPECT_EQ(place("/mnt/part2/out", device("/dev/loop3", dev(7, 3), true)), Placement::OnSource);
  EXPECT_EQ(place("/mnt/part2/out", device("/dev/loop3p2", dev(259, 1), false)), Placement::OnSource);
  EXPECT_EQ(place("/mnt/part2/out", device("/dev/loop3p1", dev(259, 0), false)), Placement::Elsewhere) << last.detail;

  EXPECT_EQ(devicesOn(dev(8, 0), true, view), (std::set<std::uint64_t>{dev(8, 0), dev(8, 1), dev(8, 2), dev(253, 0)}));
  EXPECT_EQ(devicesOn(dev(8, 1), false, view), (std::set<std::uint64_t>{dev(8, 1)}));
}

TEST_F(FakeTopologyTest, WhatCannotBeResolvedRefusesDevicesButNotImagesItCannotHold) {
  EXPECT_EQ(place("/mnt/nas/out", device("/dev/sdb", dev(8, 16), true)), Placement::Unknown);
  EXPECT_TRUE(detailHas("nfs4 mount at /mnt/nas of 'server:/export'")) << last.detail;
  EXPECT_EQ(place("/mnt/nas/out", image("other.img", 104)), Placement::Elsewhere);
  EXPECT_TRUE(detailHas("cannot hold the image 'other.img'")) << last.detail;
  // A loop device whose backing file is gone could have been the image.
  EXPECT_EQ(place("/mnt/gone/out", image("other.img", 104)), Placement::Unknown);
  EXPECT_TRUE(detailHas("deleted")) << last.detail;
  EXPECT_EQ(place("/no/such/folder", image("other.img", 104)), Placement::Unknown);
  // Memory holds nothing of a disk.
  EXPECT_EQ(place("/mnt/shm/out", device("/dev/vda", dev(254, 0), true)), Placement::Elsewhere);
}

TEST_F(FakeTopologyTest, OverlaysAndSubvolumesAreFollowed) {
  // Writes into an overlay go to its upper directory, on /.
  EXPECT_EQ(place("/mnt/overlay/out", device("/dev/vda", dev(254, 0), true)), Placement::OnSource);
  EXPECT_EQ(place("/mnt/overlay/out", device("/dev/sdb", dev(8, 16), true)), Placement::Elsewhere);
  // A btrfs subvolume has a device number the mount table does not list; the mount point
  // has an escaped space.
  EXPECT_EQ(place("/mnt/usb stick/sub/out", device("/dev/sdb", dev(8, 16), true)), Placement::OnSource) << last.detail;
}

// The real machine: the folder's own file system.

TEST(StorageTopology, AFolderIsOnTheDeviceItsFileSystemLivesOn) {
  test::TempDir dir;
  const std::string folder = dir.path().string();
  struct stat st {};
  ASSERT_EQ(::stat(folder.c_str(), &st), 0);
  const std::string block = "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
  if (!std::filesystem::exists(block)) GTEST_SKIP() << "the temp folder is not on a block device";
  PlacementCheck same = checkOutputPlacement(folder, SourceStorage{"disk", false, st.st_dev, 0, false});
  EXPECT_EQ(same.placement, Placement::OnSource) << same.detail;
  PlacementCheck other = checkOutputPlacement(folder, SourceStorage{"none", false, makedev(4095, 1048575), 0, true});
  EXPECT_EQ(other.placement, Placement::Elsewhere) << other.detail;
}

TEST(StorageTopology, MissingFoldersAreUnknownAndNotDirectories) {
  test::TempDir dir;
  const std::string missing = (dir / "nope").string();
  EXPECT_FALSE(isDirectory(missing));
  EXPECT_FALSE(isDirectory(""));
  EXPECT_TRUE(isDirectory(dir.path().string()));
  test::writeFileBytes(dir / "file", std::vector<std::uint8_t>{1, 2, 3});
  EXPECT_FALSE(isDirectory((dir / "file").string()));
  EXPECT_EQ(checkOutputPlacement(missing, SourceStorage{"disk", false, 1, 0, false}).placement, Placement::Unknown);
}

TEST(StorageTopology, AWholeDiskIncludesItsPartitions) {
  // Any disk of this machine with partitions will do; skip when there is none.
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/block", ec)) {
    struct stat st {};
    const std::string node = "/dev/" + entry.path().filename().string();
    if (::stat(node.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) continue;
    for (const auto& part : std::filesystem::directory_iterator(entry.path(), ec)) {
      if (!std::filesystem::exists(part.path() / "partition")) continue;
      struct stat pst {};
      const std::string pnode = "/dev/" + part.path().filename().string();
      if (::stat(pnode.c_str(), &pst) != 0) continue;
      EXPECT_EQ(devicesOn(st.st_rdev, true).count(pst.st_rdev), 1u) << pnode;
      EXPECT_EQ(devicesOn(st.st_rdev, false).count(pst.st_rdev), 0u) << pnode;
      return;
    }
  }
  GTEST_SKIP() << "no partitioned disk visible";
}

}  // namespace
}  // namespace vellumark::platform
