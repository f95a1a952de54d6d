#pragma once
// ASF files (Windows Media audio and video): object identifiers in their stored byte order,
// the object header, the file-size field and the size bound the classifier and the ASF
// carvers share.

#include <array>
#include <cstddef>
#include <cstdint>

namespace vellumark::asf {

using Guid = std::array<std::uint8_t, 16>;

// 75B22630-668E-11CF-A6D9-00AA0062CE6C
inline constexpr Guid kHeaderObject{0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                    0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
// 8CABDCA1-A947-11CF-8EE4-00C00C205365
inline constexpr Guid kFilePropertiesObject{0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                            0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
// The Data Object is 75B22636-668E-11CF-A6D9-00AA0062CE6C: the header's family, first byte 36.
inline constexpr std::uint8_t kDataObjectFirstByte = 0x36;

// Index objects that follow the Data Object: Simple Index, Index, Media Object Index and
// Timecode Index.
inline constexpr std::array<Guid, 4> kIndexObjects{
    Guid{0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11, 0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB},
    Guid{0xD3, 0x29, 0xE2, 0xD6, 0xDA, 0x35, 0xD1, 0x11, 0x90, 0x34, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xBE},
    Guid{0xF8, 0x03, 0xB1, 0xFE, 0xAD, 0x12, 0x64, 0x4C, 0x84, 0x0F, 0x2A, 0x1D, 0x2F, 0x7A, 0xD4, 0x8C},
    Guid{0xD0, 0x3F, 0xB7, 0x3C, 0x4A, 0x0C, 0x03, 0x48, 0x95, 0x3D, 0xED, 0xF7, 0xB6, 0x22, 0x8F, 0x0C}};

// Families of top-level objects, compared on bytes 1 to 15 (byte 0 varies within a family):
// 75B226xx-668E-11CF-A6D9-00AA0062CE6C and D2D0A4xx-E307-11D2-97F0-00A0C95EA850.
using FamilyTail = std::array<std::uint8_t, 15>;
inline constexpr std::array<FamilyTail, 2> kObjectFamilies{
    FamilyTail{0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C},
    FamilyTail{0xA4, 0xD0, 0xD2, 0x07, 0xE3, 0xD2, 0x11, 0x97, 0xF0, 0x00, 0xA0, 0xC9, 0x5E, 0xA8, 0x50}};

// Object header: identifier, then the 64-bit little-endian size of the whole object.
inline constexpr std::size_t kObjectSizeOffset = 16;
inline constexpr std::size_t kObjectHeaderBytes = 24;

// The File Properties Object follows the Header Object's 30-byte header in most files; the
// file size sits 40 bytes into it.
inline constexpr std::size_t kFilePropertiesOffset = 30;
inline constexpr std::size_t kFileSizeOffset = 70;

// No ASF file or object is larger than 20 GiB.
inline constexpr std::uint64_t kMaxBytes = 5 * (std::uint64_t{1} << 32);

}  // namespace vellumark::asf
