#pragma once
// EnCase / Expert Witness images (.E01, .E02, ...) opened read-only through libewf. The
// library is seen nowhere else: the rest of the engine reads them as a sector source.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/os_error.h"

namespace vellumark::platform {

class EwfImage {
 public:
  EwfImage(EwfImage&&) noexcept;
  EwfImage& operator=(EwfImage&&) noexcept;
  ~EwfImage();

  // Opens the set of segment files that `firstSegment` (the .E01 file) begins.
  [[nodiscard]] static Expected<EwfImage> open(const std::string& firstSegment);

  // Media bytes at offset; fewer than asked at the end of the media.
  [[nodiscard]] Expected<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> buffer);
  [[nodiscard]] std::uint64_t mediaSize() const { return mediaSize_; }
  [[nodiscard]] std::uint32_t bytesPerSector() const { return bytesPerSector_; }
  [[nodiscard]] int segmentCount() const { return segments_; }

 private:
  struct Handle;
  EwfImage() = default;
  std::unique_ptr<Handle> handle_;
  std::uint64_t mediaSize_ = 0;
  std::uint32_t bytesPerSector_ = 512;
  int segments_ = 0;
};

// True when the file begins with the EWF segment signature.
[[nodiscard]] bool isEwfFile(const std::string& path);

}  // namespace vellumark::platform
