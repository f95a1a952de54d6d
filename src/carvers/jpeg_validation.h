#pragma once
// Decoding a traced JPEG in full, to tell a real image from bytes that only look like one.

#include <cstdint>
#include <optional>

#include "util/byte_reader.h"

namespace vellumark {

struct JpegImageSize {
  std::uint32_t width = 0;   // the image's full size, from its frame header
  std::uint32_t height = 0;
};

// How far the decoder scales the picture down while decoding. Every entropy-coded byte is
// decoded at any scale, so a damaged scan fails all the same; scaling only saves the inverse
// transform and the colour conversion.
enum class JpegDecodeScale : std::uint8_t { Full = 1, Eighth = 8 };

// Decodes the whole image. Returns its size when it decoded; empty on any fatal decoder
// error (warnings, such as data that ends early inside a scan, are tolerated). Never throws
// and never exits. The decoder and its output rows are kept per thread between calls.
[[nodiscard]] std::optional<JpegImageSize> validateJpeg(Bytes image, JpegDecodeScale scale = JpegDecodeScale::Eighth);

}  // namespace vellumark
