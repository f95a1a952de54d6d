#include "support/test_pictures.h"

#include <zlib.h>

#include <algorithm>

#include "support/image_builder.h"

namespace vellumark::test {

namespace {

void appendBe16(std::vector<std::uint8_t>& b, std::uint32_t v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}
void appendBe32(std::vector<std::uint8_t>& b, std::uint32_t v) {
  appendBe16(b, v >> 16);
  appendBe16(b, v & 0xFFFF);
}

// An APP1 "Exif" segment: a big-endian TIFF header with one directory (Make = "Vellumark").
std::vector<std::uint8_t> exifSegment() {
  std::vector<std::uint8_t> tiff = {'M', 'M', 0, 42, 0, 0, 0, 8};
  appendBe16(tiff, 1);                       // one entry
  appendBe16(tiff, 0x010F);                  // Make
  appendBe16(tiff, 2);                       // ASCII
  appendBe32(tiff, 10);
  appendBe32(tiff, 26);                      // offset of the text
  appendBe32(tiff, 0);                       // no next directory
  for (char c : std::string("Vellumark")) tiff.push_back(static_cast<std::uint8_t>(c));
  tiff.push_back(0);
  std::vector<std::uint8_t> seg = {0xFF, 0xE1};
  appendBe16(seg, static_cast<std::uint32_t>(2 + 6 + tiff.size()));
  for (char c : std::string("Exif\0\0", 6)) seg.push_back(static_cast<std::uint8_t>(c));
  seg.insert(seg.end(), tiff.begin(), tiff.end());
  return seg;
}

// Replaces the APP0 segment after SOI by an EXIF segment, as a camera writes it.
std::vector<std::uint8_t> withExif(std::vector<std::uint8_t> jpeg) {
  if (jpeg.size() < 6 || jpeg[2] != 0xFF || jpeg[3] != 0xE0) return {};
  const std::size_t app0End = 4 + ((std::size_t{jpeg[4]} << 8) | jpeg[5]);
  const std::vector<std::uint8_t> exif = exifSegment();
  jpeg.erase(jpeg.begin() + 2, jpeg.begin() + static_cast<std::ptrdiff_t>(app0End));
  jpeg.insert(jpeg.begin() + 2, exif.begin(), exif.end());
  return jpeg;
}

// Puts an iCCP chunk (a compressed stand-in profile) right after IHDR.
std::vector<std::uint8_t> withIccp(std::vector<std::uint8_t> png) {
  std::vector<std::uint8_t> profile(600);
  for (std::size_t i = 0; i < profile.size(); ++i) profile[i] = static_cast<std::uint8_t>(i * 7);
  uLongf packed = compressBound(static_cast<uLong>(profile.size()));
  std::vector<std::uint8_t> data = {'t', 'e', 's', 't', 0, 0};
  const std::size_t head = data.size();
  data.resize(head + packed);
  if (compress(data.data() + head, &packed, profile.data(), static_cast<uLong>(profile.size())) != Z_OK) return {};
  data.resize(head + packed);
  const std::vector<std::uint8_t> chunk = pngChunk("iCCP", data);
  const std::size_t afterIhdr = 8 + 12 + 13;
  if (png.size() < afterIhdr) return {};
  png.insert(png.begin() + static_cast<std::ptrdiff_t>(afterIhdr), chunk.begin(), chunk.end());
  return png;
}

}  // namespace

bool haveConvert() { return haveProgram("convert"); }

std::vector<std::uint8_t> convertPicture(const std::filesystem::path& dir, const std::string& args, const std::string& out) {
  const std::filesystem::path file = dir / out;
  const std::string name = out.substr(out.find(':') + 1);
  if (runCommand("cd '" + dir.string() + "' && convert " + args + " " + out) != 0) return {};
  return readFileBytes(dir / name);
}

std::vector<std::uint8_t> pngChunk(const std::string& type, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> c(12 + data.size(), 0);
  const auto put32 = [&c](std::size_t at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) c[at + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(v >> (24 - 8 * k));
  };
  put32(0, static_cast<std::uint32_t>(data.size()));
  for (std::size_t i = 0; i < 4 && i < type.size(); ++i) c[4 + i] = static_cast<std::uint8_t>(type[i]);
  std::copy(data.begin(), data.end(), c.begin() + 8);
  put32(8 + data.size(), static_cast<std::uint32_t>(crc32(0, c.data() + 4, static_cast<uInt>(4 + data.size()))));
  return c;
}

std::vector<TestPicture> makeTestPictures(const std::filesystem::path& dir) {
  const std::string photo = "-seed 7 -size 400x300 plasma:fractal";
  std::vector<TestPicture> pictures = {
      {"jpeg-exif", withExif(convertPicture(dir, photo + " -quality 85", "exif.jpg"))},
      {"jpeg-progressive", convertPicture(dir, photo + " -quality 80 -interlace Plane", "progressive.jpg")},
      {"png-text-phys-iccp",
       withIccp(convertPicture(dir, "-seed 8 -size 200x150 plasma:fractal -density 300 -units PixelsPerInch "
                                    "-set comment 'a test picture'",
                               "chunks.png"))},
      {"png-16-bit", convertPicture(dir, "-seed 9 -size 120x90 plasma:fractal -depth 16", "PNG48:deep.png")},
      {"bmp", convertPicture(dir, "-seed 10 -size 97x61 plasma:fractal", "BMP3:plain.bmp")},
      {"tiff-little-endian",
       convertPicture(dir, photo + " -compress none -endian LSB -define tiff:rows-per-strip=16", "little.tif")},
      {"tiff-big-endian",
       convertPicture(dir, photo + " -compress zip -endian MSB -define tiff:rows-per-strip=32", "big.tif")},
      {"tiff-multi-page",
       convertPicture(dir, "-seed 11 -size 160x120 plasma:fractal -seed 12 -size 100x80 plasma:fractal "
                           "-seed 13 -size 90x60 plasma:fractal -compress lzw",
                      "pages.tif")},
  };
  return pictures;
}

}  // namespace vellumark::test
