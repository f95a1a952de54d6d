#pragma once
// Real pictures made by ImageMagick at test time, of every kind the picture carvers trace,
// plus a few edits (EXIF and iCCP segments spliced in) that ImageMagick does not write by
// itself.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vellumark::test {

struct TestPicture {
  std::string name;
  std::vector<std::uint8_t> bytes;
};

// True when ImageMagick's convert is on PATH.
bool haveConvert();

// Runs `convert ARGS OUT` in dir and returns the file; empty when it failed.
std::vector<std::uint8_t> convertPicture(const std::filesystem::path& dir, const std::string& args, const std::string& out);

// JPEG with EXIF, progressive JPEG, PNG with pHYs/tEXt/iCCP, 16-bit PNG, BMP, TIFF in both
// byte orders with several strips, multi-page TIFF; tens to hundreds of KiB each. A picture
// that could not be made has no bytes.
std::vector<TestPicture> makeTestPictures(const std::filesystem::path& dir);

// A PNG chunk with its length and CRC.
std::vector<std::uint8_t> pngChunk(const std::string& type, const std::vector<std::uint8_t>& data);

}  // namespace vellumark::test
