#pragma once
// ISO base media files (MP4, 3GP, QuickTime and their kin): the box header the classifier
// recognises at the start of a file and the box types the ISO-media carver walks over.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vellumark::iso_media {

// Box header: 32-bit big-endian size (the whole box, header included) and a four-character
// type. A size of 1 means a 64-bit big-endian size follows the type; 0 means "to the end".
inline constexpr std::size_t kTypeOffset = 4;
inline constexpr std::size_t kHeaderBytes = 8;
inline constexpr std::size_t kLargeSizeOffset = 8;
inline constexpr std::size_t kLargeHeaderBytes = 16;
inline constexpr std::uint32_t kLargeSizeMarker = 1;

// A file begins with its "ftyp" box; its major brand follows the header.
inline constexpr std::string_view kFileTypeBox = "ftyp";
inline constexpr std::size_t kMajorBrandOffset = 8;
inline constexpr std::string_view kBrand3gp = "3gp";
inline constexpr std::string_view kBrandMp4 = "mp4";
// A file-type box this long or longer is not a real one.
inline constexpr std::uint64_t kMaxFileTypeBoxBytes = 256;

// Top-level boxes that may follow "ftyp". The first seven are what cameras and muxers write
// for whole-file media; "moof", "mfra" and "sidx" are the boxes of fragmented files (the
// movie fragments, their random-access index and the segment index), which ffmpeg and
// streaming recorders write after "moov".
inline constexpr std::array<std::string_view, 10> kTopLevelBoxes{"isom", "free", "uuid", "mdat", "moov",
                                                                 "wide", "skip", "moof", "mfra", "sidx"};

}  // namespace vellumark::iso_media
