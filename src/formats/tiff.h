#pragma once
// TIFF-structured files (TIFF and the camera raw formats built on it): the headers the
// classifier accepts, the directory layout, the tags the TIFF carver follows, and its limits.

#include <array>
#include <cstddef>
#include <cstdint>

namespace vellumark::tiff {

// First four bytes, read big-endian: "II*\0", "IIU\0", "IIRO" (little-endian files) and
// "MM\0*", "MM\0U", "MMOR" (big-endian files).
inline constexpr std::array<std::uint32_t, 3> kLittleEndianMagics{0x49492A00, 0x49495500, 0x4949524F};
inline constexpr std::array<std::uint32_t, 3> kBigEndianMagics{0x4D4D002A, 0x4D4D0055, 0x4D4D4F52};
inline constexpr std::size_t kFirstDirectoryOffset = 4;  // u32 in the file's byte order

// A directory: u16 entry count, 12-byte entries (u16 tag, u16 type, u32 count, u32 value or
// offset), u32 offset of the next directory (0 ends the chain).
inline constexpr std::int64_t kEntryBytes = 12;
inline constexpr std::size_t kEntryTypeOffset = 2;
inline constexpr std::size_t kEntryCountOffset = 4;
inline constexpr std::size_t kEntryValueOffset = 8;
inline constexpr std::uint32_t kInlineValueBytes = 4;
inline constexpr std::uint16_t kMaxEntries = 32'767;

// Bytes per value for field types 1..20 (index = type); 0 for types without fixed size.
inline constexpr std::array<std::uint8_t, 21> kElementBytes{0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 0, 0, 0, 0, 0, 0, 0, 0};

// Tags the carver follows.
inline constexpr std::uint16_t kTagStripOffsets = 273;
inline constexpr std::uint16_t kTagStripByteCounts = 279;
inline constexpr std::uint16_t kTagRawDataOffset = 280;
inline constexpr std::uint16_t kTagFreeOffsets = 288;
inline constexpr std::uint16_t kTagFreeByteCounts = 289;
inline constexpr std::uint16_t kTagTileOffsets = 324;
inline constexpr std::uint16_t kTagTileByteCounts = 325;
inline constexpr std::uint16_t kTagJpegOffset = 513;
inline constexpr std::uint16_t kTagJpegLength = 514;
inline constexpr std::uint16_t kTagImageDataOffset = 48320;
inline constexpr std::uint16_t kTagImageDataByteCount = 48321;
inline constexpr std::uint16_t kTagAlphaDataOffset = 48322;
inline constexpr std::uint16_t kTagAlphaDataByteCount = 48323;
inline constexpr std::uint16_t kTagMakerNote = 37500;
inline constexpr std::array<std::uint16_t, 6> kSubDirectoryTags{330, 400, 34665, 34853, 40965, 50933};
inline constexpr std::uint32_t kNoStripArray = 0xFFFFFFFF;

// A maker note of at least this many bytes may begin with an "STMN" block header: 8 bytes
// "STMN0001".."STMN9999", then u32 offset and u32 length of the block.
inline constexpr std::uint32_t kMinMakerNoteBytes = 16;

// Nothing the walk reads or claims may reach beyond this.
inline constexpr std::int64_t kMaxFileBytes = 209'715'200;  // 200 MiB
// More directories than this in one file can only be a damaged or hostile chain.
inline constexpr std::size_t kMaxDirectories = 1000;

}  // namespace vellumark::tiff
