#pragma once
// Image formats beyond a plain raw file, read-only behind the one sector-source interface:
// EnCase / Expert Witness images (.E01, .E02, ...) and raw images split into numbered
// pieces (.001, .002, ...).

#include <memory>
#include <string>
#include <vector>

#include "platform/ewf_image.h"
#include "platform/file.h"
#include "source/sector_source.h"

namespace vellumark {

enum class ImageFormat { Raw, Ewf, SplitRaw };

// The format the name (and, for EWF, the signature) of `path` says.
[[nodiscard]] ImageFormat imageFormatOf(const std::string& path);

class EwfSource final : public SectorSource {
 public:
  EwfSource(platform::EwfImage image, platform::DeviceInfo firstSegment)
      : image_(std::move(image)), first_(firstSegment) {}
  platform::Expected<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
    return image_.readAt(offset, buffer);
  }
  std::uint64_t sizeBytes() const override { return image_.mediaSize(); }
  std::uint32_t logicalSectorSize() const override { return image_.bytesPerSector(); }
  SourceKind kind() const override { return SourceKind::ImageFile; }
  std::uint64_t fileDevice() const override { return first_.fileDevice; }
  std::uint64_t fileInode() const override { return first_.fileInode; }

 private:
  platform::EwfImage image_;
  platform::DeviceInfo first_;
};

// The pieces of a split raw image, one after another.
class SplitRawSource final : public SectorSource {
 public:
  struct Piece {
    platform::ReadOnlyFile file;
    std::uint64_t start = 0;  // offset of its first byte in the whole image
    std::uint64_t size = 0;
    platform::DeviceInfo info;
  };
  explicit SplitRawSource(std::vector<Piece> pieces);
  platform::Expected<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override;
  std::uint64_t sizeBytes() const override { return size_; }
  std::uint32_t logicalSectorSize() const override { return 512; }
  SourceKind kind() const override { return SourceKind::ImageFile; }
  std::uint64_t fileDevice() const override { return pieces_.front().info.fileDevice; }
  std::uint64_t fileInode() const override { return pieces_.front().info.fileInode; }
  [[nodiscard]] std::size_t pieceCount() const { return pieces_.size(); }

 private:
  std::vector<Piece> pieces_;
  std::uint64_t size_ = 0;
};

[[nodiscard]] platform::Expected<std::unique_ptr<SectorSource>> openEwfSource(const std::string& firstSegment);
// Opens `first` (NAME.001) and every piece after it (NAME.002, ...) up to the first missing one.
[[nodiscard]] platform::Expected<std::unique_ptr<SectorSource>> openSplitRawSource(const std::string& first);

// The name of the piece after `piece` ("disk.009" -> "disk.010"); empty when it has no number.
[[nodiscard]] std::string nextPieceName(const std::string& piece);

}  // namespace vellumark
