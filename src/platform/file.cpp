#include "platform/file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

namespace vellumark::platform {

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.release();
  }
  return *this;
}

ReadOnlyFile::~ReadOnlyFile() { close(); }

void ReadOnlyFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Expected<std::size_t> ReadOnlyFile::readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
  std::size_t done = 0;
  while (done < buffer.size()) {
    ssize_t n = ::pread(fd_, buffer.data() + done, buffer.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return OsError{errno, "read at byte " + std::to_string(offset + done)};
    }
    if (n == 0) break;  // end of file or device
    done += static_cast<std::size_t>(n);
  }
  return done;
}

namespace {

// A block device is a partition (a volume) when sysfs gives it a partition number.
bool isPartition(dev_t rdev) {
  std::string path = "/sys/dev/block/" + std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev)) + "/partition";
  std::ifstream in(path);
  return static_cast<bool>(in);
}

}  // namespace

Expected<DeviceInfo> ReadOnlyFile::describe(const std::string& path) const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return OsError{errno, "stat " + path};
  DeviceInfo info;
  info.fileDevice = st.st_dev;
  info.fileInode = st.st_ino;
  if (S_ISBLK(st.st_mode)) {
    std::uint64_t size = 0;
    if (::ioctl(fd_, BLKGETSIZE64, &size) != 0) return OsError{errno, "size of " + path};
    int sectorSize = 0;
    if (::ioctl(fd_, BLKSSZGET, &sectorSize) != 0) return OsError{errno, "sector size of " + path};
    info.kind = isPartition(st.st_rdev) ? SourceKind::Volume : SourceKind::WholeDisk;
    info.sizeBytes = size;
    info.logicalSectorSize = sectorSize > 0 ? static_cast<std::uint32_t>(sectorSize) : 512;
    info.deviceId = st.st_rdev;
    return info;
  }
  if (!S_ISREG(st.st_mode)) return OsError{0, path + " is neither a block device nor a regular file"};
  info.kind = SourceKind::ImageFile;
  info.sizeBytes = static_cast<std::uint64_t>(st.st_size);
  info.logicalSectorSize = 512;
  return info;
}

Expected<ReadOnlyFile> openReadOnly(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return OsError{errno, "open " + path};
  return ReadOnlyFile(fd);
}

}  // namespace vellumark::platform
