#include "platform/storage_topology.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "support/image_builder.h"

namespace vellumark::platform {
namespace {

std::uint64_t deviceOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st.st_dev;
}

TEST(StorageTopology, AFolderIsOnTheDeviceItsFileSystemLivesOn) {
  test::TempDir dir;
  const std::string folder = dir.path().string();
  const std::uint64_t dev = deviceOf(folder);
  auto devices = folderDevices(folder);
  ASSERT_TRUE(devices.ok());
  EXPECT_EQ(devices->count(dev), 1u);

  auto same = folderIsOnDevice(folder, dev, false);
  ASSERT_TRUE(same.ok());
  EXPECT_TRUE(*same);
  // A device number no file system uses.
  auto other = folderIsOnDevice(folder, makedev(4095, 1048575), true);
  ASSERT_TRUE(other.ok());
  EXPECT_FALSE(*other);
}

TEST(StorageTopology, MissingFoldersAreErrorsAndNotDirectories) {
  test::TempDir dir;
  const std::string missing = (dir / "nope").string();
  EXPECT_FALSE(isDirectory(missing));
  EXPECT_FALSE(isDirectory(""));
  EXPECT_TRUE(isDirectory(dir.path().string()));
  test::writeFileBytes(dir / "file", std::vector<std::uint8_t>{1, 2, 3});
  EXPECT_FALSE(isDirectory((dir / "file").string()));
  EXPECT_FALSE(folderIsOnDevice(missing, 1, false).ok());
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
