#include "support/test_pictures.h"

#include <zlib.h>

#include <algorithm>

#include "support/image_builder.h"

namespace vellumark::test {

namespace {

// An APP1 "Exif" segment: a big-endian TIFF header with one directory (Make = "Vellumark").
constexpr std::uint8_t kExifSegment[] = {
    0xFF, 0xE1, 0, 44, 'E', 'x', 'i', 'f', 0, 0,                      // marker, length, "Exif\0\0"
    'M', 'M', 0, 42, 0, 0, 0, 8,                                      // TIFF header
    0, 1, 0x01, 0x0F, 0, 2, 0, 0, 0, 10, 0, 0, 0, 26, 0, 0, 0, 0,     // Make, ASCII, 10 bytes at 26
    'V', 'e', 'l', 'l', 'u', 'm', 'a', 'r', 'k', 0};

// Replaces the APP0 segment after SOI by an EXIF segment, as a camera writes it.
std::vector<std::uint8_t> withExif(std::vector<std::uint8_t> jpeg) {
  if (jpeg.size() < 6 || jpeg[3] != 0xE0) return {};
  const auto app0End = static_cast<std::ptrdiff_t>(4 + ((std::size_t{jpeg[4]} << 8) | jpeg[5]));
  jpeg.erase(jpeg.begin() + 2, jpeg.begin() + app0End);
  jpeg.insert(jpeg.begin() + 2, std::begin(kExifSegment), std::end(kExifSegment));
  return jpeg;
}

// Puts an iCCP chunk (a compressed stand-in profile) right after IHDR.
std::vector<std::uint8_t> withIccp(std::vector<std::uint8_t> png) {
  std::vector<std::uint8_t> profile(600);
  for (std::size_t i = 0; i < profile.size(); ++i) profile[i] = static_cast<std::uint8_t>(i * 7);
  uLongf packed = compressBound(static_cast<uLong>(profile.size()));
  std::vector<std::uint8_t> data(6 + packed, 0);
  std::copy_n("test", 4, data.begin());   // profile name, terminator, compression method 0
  if (compress(data.data() + 6, &packed, profile.data(), static_cast<uLong>(profile.size())) != Z_OK) return {};
  data.resize(6 + packed);
  const std::vector<std::uint8_t> chunk = pngChunk("iCCP", data);
  if (png.size() < 33) return {};
  png.insert(png.begin() + 33, chunk.begin(), chunk.end());   // signature 8, IHDR 25
  return png;
}

}  // namespace

bool haveConvert() { return haveProgram("convert"); }

std::vector<std::uint8_t> convertPicture(const std::filesystem::path& dir, const std::string& args, const std::string& out) {
  if (runCommand("cd '" + dir.string() + "' && convert " + args + " " + out) != 0) return {};
  return readFileBytes(dir / out.substr(out.find(':') + 1));
}

std::vector<std::uint8_t> pngChunk(const std::string& type, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> c(12 + data.size(), 0);
  const auto put32 = [&c](std::size_t at, std::uint32_t v) {
    for (std::size_t k = 0; k < 4; ++k) c[at + k] = static_cast<std::uint8_t>(v >> (24 - 8 * k));
  };
  put32(0, static_cast<std::uint32_t>(data.size()));
  std::copy_n(type.begin(), 4, c.begin() + 4);
  std::copy(data.begin(), data.end(), c.begin() + 8);
  put32(8 + data.size(), static_cast<std::uint32_t>(crc32(0, c.data() + 4, static_cast<uInt>(4 + data.size()))));
  return c;
}

std::vector<TestPicture> makeTestPictures(const std::filesystem::path& dir) {
  const std::string photo = "-seed 7 -size 400x300 plasma:fractal";
  const std::string chunks = "-seed 8 -size 200x150 plasma:fractal -density 300 -units PixelsPerInch -set comment 'a test'";
  return {
      {"jpeg-exif", withExif(convertPicture(dir, photo + " -quality 85", "exif.jpg"))},
      {"jpeg-progressive", convertPicture(dir, photo + " -quality 80 -interlace Plane", "progressive.jpg")},
      {"png-text-phys-iccp", withIccp(convertPicture(dir, chunks, "chunks.png"))},
      {"png-16-bit", convertPicture(dir, "-seed 9 -size 120x90 plasma:fractal -depth 16", "PNG48:deep.png")},
      {"bmp", convertPicture(dir, "-seed 10 -size 97x61 plasma:fractal", "BMP3:plain.bmp")},
      {"tiff-little-endian", convertPicture(dir, photo + " -compress none -endian LSB -define tiff:rows-per-strip=16", "le.tif")},
      {"tiff-big-endian", convertPicture(dir, photo + " -compress zip -endian MSB -define tiff:rows-per-strip=32", "be.tif")},
      {"tiff-multi-page", convertPicture(dir, "-seed 11 -size 160x120 plasma:fractal -seed 12 -size 100x80 plasma:fractal "
                                              "-seed 13 -size 90x60 plasma:fractal -compress lzw", "pages.tif")},
  };
}

}  // namespace vellumark::test
