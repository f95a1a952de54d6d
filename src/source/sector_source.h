#pragma once
// Where sectors come from. The engine reads every source through this interface, so an
// in-memory source stands in for a disk in tests and fuzzing. Nothing here can write.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/file.h"

namespace vellumark {

using platform::SourceKind;

class SectorSource {
 public:
  virtual ~SectorSource() = default;
  // Reads up to buffer.size() bytes at a byte offset. Returns the bytes read; fewer than
  // asked means the source ended (a short read). An OS failure comes back as an error.
  [[nodiscard]] virtual platform::Expected<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) = 0;
  [[nodiscard]] virtual std::uint64_t sizeBytes() const = 0;
  [[nodiscard]] virtual std::uint32_t logicalSectorSize() const = 0;
  [[nodiscard]] virtual SourceKind kind() const = 0;
  [[nodiscard]] virtual std::uint64_t deviceId() const { return 0; }
  // st_dev and st_ino of an open file or device node; zero for sources that are no file.
  [[nodiscard]] virtual std::uint64_t fileDevice() const { return 0; }
  [[nodiscard]] virtual std::uint64_t fileInode() const { return 0; }
};

// A file or block device opened read-only.
class FileSource final : public SectorSource {
 public:
  FileSource(platform::ReadOnlyFile file, platform::DeviceInfo info) : file_(std::move(file)), info_(info) {}
  platform::Expected<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
    return file_.readAt(offset, buffer);
  }
  std::uint64_t sizeBytes() const override { return info_.sizeBytes; }
  std::uint32_t logicalSectorSize() const override { return info_.logicalSectorSize; }
  SourceKind kind() const override { return info_.kind; }
  std::uint64_t deviceId() const override { return info_.deviceId; }
  std::uint64_t fileDevice() const override { return info_.fileDevice; }
  std::uint64_t fileInode() const override { return info_.fileInode; }

 private:
  platform::ReadOnlyFile file_;
  platform::DeviceInfo info_;
};

// Opens a path (image file or block device) read-only and learns its size and sector size.
// NAME.E01 opens the EnCase image it begins, NAME.001 the split raw image.
[[nodiscard]] platform::Expected<std::unique_ptr<SectorSource>> openFileSource(const std::string& path);

// Bytes held in memory; for tests, fuzzing and benchmarks. Reads of listed offsets can be
// made to fail, to exercise error paths.
class MemorySource final : public SectorSource {
 public:
  explicit MemorySource(std::vector<std::uint8_t> bytes, std::uint32_t sectorSize = 512,
                        SourceKind kind = SourceKind::ImageFile)
      : bytes_(std::move(bytes)), sectorSize_(sectorSize), kind_(kind) {}
  platform::Expected<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override;
  std::uint64_t sizeBytes() const override { return bytes_.size(); }
  std::uint32_t logicalSectorSize() const override { return sectorSize_; }
  SourceKind kind() const override { return kind_; }

  std::vector<std::uint8_t>& bytes() { return bytes_; }
  // Any read touching [offset, offset + length) fails with EIO; each call adds a range.
  void failReadsIn(std::uint64_t offset, std::uint64_t length) { bad_.push_back({offset, length}); }
  std::size_t readCalls() const { return readCalls_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint32_t sectorSize_;
  SourceKind kind_;
  struct BadRange {
    std::uint64_t start;
    std::uint64_t length;
  };
  std::vector<BadRange> bad_;
  std::size_t readCalls_ = 0;
};

}  // namespace vellumark
