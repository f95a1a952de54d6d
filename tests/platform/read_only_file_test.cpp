#include "platform/file.h"

#include <gtest/gtest.h>
#include <fcntl.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "support/image_builder.h"

namespace vellumark::platform {
namespace {

TEST(ReadOnlyFile, ReadsAtOffsetsAndReportsShortReads) {
  test::TempDir dir;
  std::vector<std::uint8_t> data(1000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  test::writeFileBytes(dir / "f.img", data);

  auto file = openReadOnly((dir / "f.img").string());
  ASSERT_TRUE(file.ok()) << file.error().message();
  std::array<std::uint8_t, 512> buf{};
  auto got = file->readAt(600, buf);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(*got, 400u);  // short: the file ends
  EXPECT_EQ(buf[0], static_cast<std::uint8_t>(600 & 0xFF));
  got = file->readAt(5000, buf);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(*got, 0u);

  auto info = file->describe("f.img");
  ASSERT_TRUE(info.ok());
  EXPECT_EQ(info->kind, SourceKind::ImageFile);
  EXPECT_EQ(info->sizeBytes, 1000u);
  EXPECT_EQ(info->logicalSectorSize, 512u);
}

// Flags of the descriptor this process holds on `path`, from /proc; -1 when none is open.
long openFlagsOf(const std::filesystem::path& path) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    auto target = std::filesystem::read_symlink(entry.path(), ec);
    if (ec || target != path) continue;
    std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
    std::string key;
    std::string value;
    while (info >> key >> value)
      if (key == "flags:") return std::stol(value, nullptr, 8);
  }
  return -1;
}

TEST(ReadOnlyFile, DescriptorIsReadOnlyAndClosedOnExec) {
  test::TempDir dir;
  test::writeFileBytes(dir / "f.img", std::vector<std::uint8_t>(512, 1));
  auto path = std::filesystem::canonical(dir / "f.img");
  {
    auto file = openReadOnly(path.string());
    ASSERT_TRUE(file.ok());
    long flags = openFlagsOf(path);
    ASSERT_NE(flags, -1);
    EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
    EXPECT_NE(flags & O_CLOEXEC, 0);
  }
  EXPECT_EQ(openFlagsOf(path), -1);  // closed with its owner
}

TEST(ReadOnlyFile, MissingFileAndDirectoryAreClearErrors) {
  test::TempDir dir;
  auto missing = openReadOnly((dir / "absent").string());
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().code, ENOENT);
  EXPECT_NE(missing.error().message().find("absent"), std::string::npos);

  auto folder = openReadOnly(dir.path().string());
  ASSERT_TRUE(folder.ok());
  auto info = folder->describe(dir.path().string());
  EXPECT_FALSE(info.ok());
  EXPECT_NE(info.error().message().find("neither a block device nor a regular file"), std::string::npos);
}

TEST(OsError, PermissionErrorsSayWhatToDo) {
  OsError e{EACCES, "open /dev/sdz"};
  EXPECT_EQ(e.message(), "open /dev/sdz: Permission denied (permission denied: run as root)");
}

}  // namespace
}  // namespace vellumark::platform
