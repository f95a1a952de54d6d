#pragma once
// Which decoded JPEG images count as thumbnails: pictures embedded in another file (a
// document's preview, a camera's EXIF thumbnail) whose sectors belong to that file and must
// be released again after tracing.

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vellumark {

struct ThumbnailRules {
  // Images of at most this many pixels are thumbnails; -1 when not set ("ThumbSiz.ini").
  std::int64_t pixelLimit = -1;
  // Pixel counts that are thumbnails whatever the limit ("ThumbSpc.ini"); empty when not set.
  std::vector<std::int64_t> pixelCounts;

  // Width and height are the image's full size from its header. The product is taken in
  // 64 bits: a huge image must never wrap round into a "small" one.
  [[nodiscard]] bool isThumbnail(std::uint32_t width, std::uint32_t height) const {
    const std::int64_t pixels = std::int64_t{width} * std::int64_t{height};
    if (pixels <= pixelLimit) return true;
    return std::find(pixelCounts.begin(), pixelCounts.end(), pixels) != pixelCounts.end();
  }
};

}  // namespace vellumark
