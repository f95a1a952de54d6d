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

// Byte order mark FE FF followed by sector shift 9: only 512-byte compound sectors.
inline constexpr std::uint32_t kByteOrderAndShift = 0x0009FFFE;
inline constexpr std::int64_t kSectorBytes = 512;

// FAT markers.
inline constexpr std::uint32_t kFreeSector = 0xFFFFFFFF;
inline constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;

// A DIFAT sector holds 127 FAT sector numbers and the number of the next DIFAT sector.
inline constexpr std::size_t kDifatEntriesPerSector = 127;
inline constexpr std::size_t kDifatNextOffset = 508;

// Directory entries.
inline constexpr std::size_t kDirEntryBytes = 128;
inline constexpr std::size_t kDirNameLengthOffset = 64;

// Limits: no document is longer than 200 MiB.
inline constexpr std::int64_t kMaxDocumentBytes = 209'715'200;

}  // namespace vellumark::ole2
