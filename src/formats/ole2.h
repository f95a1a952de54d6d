#pragma once
// OLE2 compound files (Word, Excel and PowerPoint 97-2003): the signature the classifier
// looks for and the header fields, markers and limits the compound-document carver reads.

#include <array>
#include <cstddef>
#include <cstdint>

namespace vellumark::ole2 {

inline constexpr std::array<std::uint8_t, 8> kSignature{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// Header fields (byte offsets in the first 512 bytes).
inline constexpr std::size_t kByteOrderAndShiftOffset = 28;
inline constexpr std::size_t kFirstDirectorySectorOffset = 48;
inline constexpr std::size_t kFirstDifatSectorOffset = 68;
inline constexpr std::size_t kHeaderDifatOffset = 76;
inline constexpr std::size_t kHeaderDifatEntries = 109;

inline constexpr std::size_t kMinorVersionOffset = 24;
inline constexpr std::size_t kMajorVersionOffset = 26;
inline constexpr std::size_t kDirectorySectorCountOffset = 40;
inline constexpr std::size_t kFatSectorCountOffset = 44;
inline constexpr std::size_t kMiniStreamCutoffOffset = 56;
inline constexpr std::size_t kFirstMiniFatSectorOffset = 60;
inline constexpr std::size_t kMiniFatSectorCountOffset = 64;
inline constexpr std::size_t kDifatSectorCountOffset = 72;

// Byte order mark FE FF followed by the sector shift: 9 for 512-byte compound sectors
// (major version 3), 12 for 4096-byte ones (major version 4). The header takes the first
// 512 bytes either way; with 4096-byte sectors the rest of its sector is zero, and sector n
// lies at sectorBytes * (n + 1).
inline constexpr std::uint32_t kByteOrderAndShift = 0x0009FFFE;
inline constexpr std::uint32_t kByteOrderAndShift4096 = 0x000CFFFE;
inline constexpr std::int64_t kSectorBytes = 512;
inline constexpr std::int64_t kLargeSectorBytes = 4096;
inline constexpr std::size_t kHeaderBytes = 512;
inline constexpr std::uint32_t kMiniStreamCutoff = 4096;
inline constexpr std::int64_t kMiniSectorBytes = 64;

// FAT markers.
inline constexpr std::uint32_t kFreeSector = 0xFFFFFFFF;
inline constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
inline constexpr std::uint32_t kFatSectorMark = 0xFFFFFFFD;
inline constexpr std::uint32_t kDifatSectorMark = 0xFFFFFFFC;
inline constexpr std::uint32_t kHighestRegularSector = 0xFFFFFFFA;

// A DIFAT sector holds sectorBytes / 4 - 1 FAT sector numbers (127 with 512-byte sectors)
// and, in its last four bytes, the number of the next DIFAT sector.
inline constexpr std::size_t kDifatEntriesPerSector = 127;
inline constexpr std::size_t kDifatNextOffset = 508;

// Directory entries.
inline constexpr std::size_t kDirEntryBytes = 128;
inline constexpr std::size_t kDirNameLengthOffset = 64;
inline constexpr std::size_t kDirNameBytes = 64;
inline constexpr std::size_t kDirTypeOffset = 66;
inline constexpr std::size_t kDirColorOffset = 67;
inline constexpr std::size_t kDirLeftSiblingOffset = 68;
inline constexpr std::size_t kDirRightSiblingOffset = 72;
inline constexpr std::size_t kDirChildOffset = 76;
inline constexpr std::size_t kDirStartSectorOffset = 116;
inline constexpr std::size_t kDirStreamSizeOffset = 120;
inline constexpr std::uint32_t kNoStream = 0xFFFFFFFF;

// Directory entry object types.
inline constexpr std::uint8_t kEntryUnused = 0;
inline constexpr std::uint8_t kEntryStorage = 1;
inline constexpr std::uint8_t kEntryStream = 2;
inline constexpr std::uint8_t kEntryRoot = 5;

// Limits: no document is longer than 200 MiB.
inline constexpr std::int64_t kMaxDocumentBytes = 209'715'200;

}  // namespace vellumark::ole2
