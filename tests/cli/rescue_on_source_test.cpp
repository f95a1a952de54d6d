// The rescue refuses output folders that a FUSE mount or a loop device would store on the
// source, on this machine's real loop devices and FUSE. Needs root, loop devices, FUSE and
// the mkfs tools; skipped otherwise.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "support/file_system_images.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;
using test::quoted;
using test::shellOk;
using test::TempDir;

// A loop device over a file, detached on destruction.
class LoopDevice {
 public:
  explicit LoopDevice(const fs::path& file) {
    int status = -1;
    std::string out = test::commandOutput("losetup -f --show " + test::quoted(file) + " 2>/dev/null", &status);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    if (status == 0 && out.rfind("/dev/loop", 0) == 0) node_ = out;
  }
  ~LoopDevice() {
    if (!node_.empty()) shellOk("losetup -d " + node_);
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  bool ok() const { return !node_.empty(); }
  const std::string& node() const { return node_; }

 private:
  std::string node_;
};

// A mount made by a command, unmounted on destruction (lazily when it stays busy).
class Mounted {
 public:
  Mounted(const std::string& command, const fs::path& point) : point_(point) {
    fs::create_directories(point);
    ok_ = shellOk(command + " " + test::quoted(point)) && isMountPoint(point);
  }
  ~Mounted() {
    if (!isMountPoint(point_)) return;
    for (int attempt = 0; attempt < 20; ++attempt) {
      if (shellOk("umount " + test::quoted(point_))) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    shellOk("umount -l " + test::quoted(point_));
  }
  Mounted(const Mounted&) = delete;
  Mounted& operator=(const Mounted&) = delete;
  bool ok() const { return ok_; }

 private:
  static bool isMountPoint(const fs::path& p) { return shellOk("mountpoint -q " + test::quoted(p)); }
  fs::path point_;
  bool ok_ = false;
};

struct CliRun {
  int status = -1;
  std::string err;
};

CliRun rescue(const TempDir& dir, const std::string& source, const fs::path& out) {
  CliRun r;
  const fs::path errFile = dir / "stderr.txt";
  test::commandOutput(test::quoted(test::cliPath()) + " rescue -q " + test::quoted(source) + " -o " + test::quoted(out) +
                          " </dev/null 2>" + test::quoted(errFile),
                      &r.status);
  auto bytes = test::readFileBytes(errFile);
  r.err.assign(bytes.begin(), bytes.end());
  return r;
}

bool isEmptyFolder(const fs::path& p) { return fs::is_directory(p) && fs::is_empty(p); }

class RescueOnSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0 || !fs::exists("/dev/loop-control") || !test::haveProgram("losetup"))
      GTEST_SKIP() << "needs root and loop devices";
    for (const auto& d : test::corpusDocuments()) {
      if (d.ext == "doc") {
        document = d.path;
        break;
      }
    }
    ASSERT_FALSE(document.empty());
  }

  // The refusal of a rescue into `out`: exit status 2, the message naming the source, and
  // nothing written.
  void expectRefused(const std::string& source, const fs::path& out) {
    fs::create_directories(out);
    CliRun r = rescue(dir, source, out);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("Dest folder can't be on source drive!"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("the source '" + source + "'"), std::string::npos) << r.err;
    EXPECT_TRUE(isEmptyFolder(out)) << out;
  }

  // The same source rescued into a plain folder does write the document: the refusals above
  // kept real files away.
  void expectRescuedElsewhere(const std::string& source) {
    const fs::path out = dir / ("elsewhere" + std::to_string(++elsewhere));
    fs::create_directories(out);
    CliRun r = rescue(dir, source, out);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(isEmptyFolder(out)) << r.err;
  }

  TempDir dir;
  fs::path document;
  int elsewhere = 0;
};

TEST_F(RescueOnSourceTest, AFuseMountOfTheSourceDeviceIsRefused) {
  if (!fs::exists("/dev/fuse") || !test::haveProgram("fusefat") || !test::haveProgram("mkfs.vfat"))
    GTEST_SKIP() << "needs FUSE, fusefat and mkfs.vfat";
  const fs::path image = dir / "fat.img";
  ASSERT_TRUE(test::makeFileSystem(image, 8192, "mkfs.vfat"));
  ASSERT_TRUE(test::fatCopyIn(image, document, "LOST.DOC"));
  LoopDevice loop(image);
  if (!loop.ok()) GTEST_SKIP() << "no loop device could be set up";
  {
    Mounted fat("fusefat -o rw+ " + loop.node(), dir / "fat");
    if (!fat.ok()) GTEST_SKIP() << "fusefat could not mount the loop device";
    // The mount names no device ("fusefat"): what it stores on cannot be told, so neither
    // the device nor the image may be written there.
    expectRefused(loop.node(), dir / "fat" / "out");
    expectRefused(image.string(), dir / "fat" / "out2");
  }
  expectRescuedElsewhere(loop.node());
}

TEST_F(RescueOnSourceTest, Ntfs3gMountsOfTheSourceAreRefused) {
  if (!fs::exists("/dev/fuse") || !test::haveProgram("ntfs-3g") || !test::haveProgram("mkntfs"))
    GTEST_SKIP() << "needs FUSE, ntfs-3g and mkntfs";
  const fs::path image = dir / "ntfs.img";
  ASSERT_TRUE(test::makeFileSystem(image, 16384, "mkntfs -F -q -f"));
  ASSERT_TRUE(test::ntfsCopyIn(image, document, "lost.doc"));
  // A copy for the loop device, so that the first daemon, which may still be finishing after
  // its unmount, does not hold the same volume.
  const fs::path copy = dir / "ntfs-copy.img";
  fs::copy_file(image, copy);
  {
    // Of the image file itself: the mount source is the image's path.
    Mounted ntfs("ntfs-3g " + test::quoted(image), dir / "ntfs");
    if (!ntfs.ok()) GTEST_SKIP() << "ntfs-3g could not mount the image";
    expectRefused(image.string(), dir / "ntfs" / "out");
  }
  LoopDevice loop(copy);
  if (!loop.ok()) GTEST_SKIP() << "no loop device could be set up";
  {
    // Of a loop device (fuseblk).
    Mounted ntfs("ntfs-3g " + loop.node(), dir / "ntfs-loop");
    ASSERT_TRUE(ntfs.ok());
    expectRefused(loop.node(), dir / "ntfs-loop" / "out");
    expectRefused(copy.string(), dir / "ntfs-loop" / "out2");
  }
  expectRescuedElsewhere(image.string());
}

TEST_F(RescueOnSourceTest, ALoopDeviceOverTheSourceImageIsRefused) {
  if (!test::haveProgram("mkfs.ext4")) GTEST_SKIP() << "needs mkfs.ext4";
  const fs::path image = dir / "disk.img";
  ASSERT_TRUE(test::makeFileSystem(image, 16384, "mkfs.ext4 -q -F"));
  LoopDevice loop(image);
  if (!loop.ok()) GTEST_SKIP() << "no loop device could be set up";
  {
    Mounted outer("mount " + loop.node(), dir / "outer");
    if (!outer.ok()) GTEST_SKIP() << "the kernel could not mount ext4 from a loop device";
    fs::copy_file(document, dir / "outer" / "lost.doc");
    ASSERT_TRUE(shellOk("sync"));
    expectRefused(image.string(), dir / "outer" / "out");

    // A loop device over a file that lies on the source, mounted in turn.
    const fs::path inner = dir / "outer" / "inner.img";
    ASSERT_TRUE(test::makeFileSystem(inner, 4096, "mkfs.ext4 -q -F"));
    LoopDevice innerLoop(inner);
    ASSERT_TRUE(innerLoop.ok());
    Mounted innerMount("mount " + innerLoop.node(), dir / "inner");
    ASSERT_TRUE(innerMount.ok());
    expectRefused(image.string(), dir / "inner" / "out");
    expectRefused(loop.node(), dir / "inner" / "out");
    // Another image is not refused on the same mount.
    const fs::path other = dir / "other.img";
    ASSERT_TRUE(test::makeFileSystem(other, 1024, "mkfs.ext4 -q -F"));
    fs::create_directories(dir / "inner" / "for-other");
    CliRun r = rescue(dir, other.string(), dir / "inner" / "for-other");
    EXPECT_EQ(r.status, 0) << r.err;
  }
  expectRescuedElsewhere(image.string());
}

}  // namespace
}  // namespace vellumark
