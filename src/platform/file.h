#pragma once
// The only place that touches file descriptors. A source is always opened read-only;
// output files are created through createOutputFile, never through this path.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/os_error.h"

namespace vellumark::platform {

enum class SourceKind { ImageFile, Volume, WholeDisk };

struct DeviceInfo {
  SourceKind kind = SourceKind::ImageFile;
  std::uint64_t sizeBytes = 0;
  std::uint32_t logicalSectorSize = 512;  // 512 for plain files
  std::uint64_t deviceId = 0;             // st_rdev of a block device, 0 for files
  std::uint64_t fileDevice = 0;           // st_dev and st_ino of what is open
  std::uint64_t fileInode = 0;
};

// A read-only descriptor. Move-only; closes on destruction.
class ReadOnlyFile {
 public:
  ReadOnlyFile() = default;
  explicit ReadOnlyFile(int fd) : fd_(fd) {}
  ReadOnlyFile(ReadOnlyFile&& other) noexcept : fd_(other.release()) {}
  ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  ~ReadOnlyFile();

  [[nodiscard]] bool isOpen() const { return fd_ >= 0; }
  void close();

  // Positioned read, retried on EINTR and continued after partial transfers until the
  // buffer is full or the end of the file is reached. Returns the bytes read: fewer
  // than requested means the end was reached (a short read).
  [[nodiscard]] Expected<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) const;

  // Kind, size and logical sector size of what is open.
  [[nodiscard]] Expected<DeviceInfo> describe(const std::string& path) const;

 private:
  int release() { int fd = fd_; fd_ = -1; return fd; }
  int fd_ = -1;
};

// Opens path with O_RDONLY | O_CLOEXEC. Nothing else in the program opens a source.
[[nodiscard]] Expected<ReadOnlyFile> openReadOnly(const std::string& path);

}  // namespace vellumark::platform
