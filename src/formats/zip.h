#pragma once
// ZIP archives (and the OOXML packages and CorelDRAW drawings built on them): record
// signatures, fixed record sizes and the field offsets read by the classifier and the
// ZIP-based carvers.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vellumark::zip {

inline constexpr std::uint32_t kLocalHeader = 0x04034B50;
inline constexpr std::uint32_t kCentralHeader = 0x02014B50;
inline constexpr std::uint32_t kEndOfCentralDirectory = 0x06054B50;
inline constexpr std::uint32_t kDataDescriptor = 0x08074B50;
inline constexpr std::uint32_t kZip64EndOfCentralDirectory = 0x06064B50;
inline constexpr std::uint32_t kZip64EndLocator = 0x07064B50;
inline constexpr std::uint32_t kDigitalSignature = 0x05054B50;
inline constexpr std::uint32_t kArchiveExtraData = 0x08064B50;

// General-purpose flags and compression methods.
inline constexpr std::uint16_t kFlagEncrypted = 0x0001;
inline constexpr std::uint16_t kFlagDataDescriptor = 0x0008;
inline constexpr std::uint16_t kMethodStored = 0;
inline constexpr std::uint16_t kMethodDeflated = 8;
// A 32-bit size or offset of this value means "see the ZIP64 extra field".
inline constexpr std::uint32_t kZip64Marker = 0xFFFFFFFF;
inline constexpr std::uint16_t kZip64ExtraId = 0x0001;

// Local file header: 30 fixed bytes, then the name and the extra field, then the data.
inline constexpr std::size_t kLocalHeaderBytes = 30;
inline constexpr std::size_t kLocalFlagsOffset = 6;
inline constexpr std::size_t kLocalMethodOffset = 8;
inline constexpr std::size_t kLocalCrcOffset = 14;
inline constexpr std::size_t kLocalUncompressedSizeOffset = 22;
inline constexpr std::size_t kLocalCompressedSizeOffset = 18;
inline constexpr std::size_t kLocalNameLengthOffset = 26;
inline constexpr std::size_t kLocalExtraLengthOffset = 28;
inline constexpr std::size_t kLocalNameOffset = 30;

// Central directory header: 46 fixed bytes, then name, extra field and comment.
inline constexpr std::size_t kCentralHeaderBytes = 46;
inline constexpr std::size_t kCentralFlagsOffset = 8;
inline constexpr std::size_t kCentralMethodOffset = 10;
inline constexpr std::size_t kCentralCrcOffset = 16;
inline constexpr std::size_t kCentralCompressedSizeOffset = 20;
inline constexpr std::size_t kCentralUncompressedSizeOffset = 24;
inline constexpr std::size_t kCentralDiskStartOffset = 34;
inline constexpr std::size_t kCentralLocalOffsetOffset = 42;
inline constexpr std::size_t kCentralNameLengthOffset = 28;
inline constexpr std::size_t kCentralExtraLengthOffset = 30;
inline constexpr std::size_t kCentralCommentLengthOffset = 32;
inline constexpr std::size_t kCentralNameOffset = 46;

// End of central directory: 22 fixed bytes, then the archive comment.
inline constexpr std::size_t kEndRecordBytes = 22;
inline constexpr std::size_t kEndEntryCountOffset = 10;
inline constexpr std::size_t kEndCentralSizeOffset = 12;
inline constexpr std::size_t kEndCentralOffsetOffset = 16;
inline constexpr std::size_t kEndCommentLengthOffset = 20;

// ZIP64 end of central directory: 12 bytes, then as many as the uint64 at 4 says.
inline constexpr std::size_t kZip64EndFixedBytes = 56;
inline constexpr std::size_t kZip64EndSizeOffset = 4;
inline constexpr std::size_t kZip64EndEntryCountOffset = 32;
inline constexpr std::size_t kZip64EndCentralSizeOffset = 40;
inline constexpr std::size_t kZip64EndCentralOffsetOffset = 48;
inline constexpr std::size_t kZip64LocatorBytes = 20;
inline constexpr std::size_t kDigitalSignatureFixedBytes = 6;
inline constexpr std::size_t kArchiveExtraDataFixedBytes = 8;

// Data descriptor after an entry's data (flag bit 3): optional signature, CRC-32, then the
// compressed and uncompressed sizes, 4 bytes each (8 each for a ZIP64 entry).
inline constexpr std::size_t kDescriptorBytes = 12;
inline constexpr std::size_t kDescriptor64Bytes = 20;

// First entry names the classifier tells apart.
inline constexpr std::string_view kOoxmlFirstEntry = "[Content_Types].xml";
inline constexpr std::string_view kCdrFirstEntry = "content/riffData.cdr";

// No single record is longer than this; a longer one is garbage.
inline constexpr std::int64_t kMaxRecordBytes = 209'715'200;  // 200 MiB
// Offsets in an archive without ZIP64 records are 32-bit: nothing longer is one archive.
inline constexpr std::int64_t kMaxArchiveBytes = std::int64_t{1} << 32;

}  // namespace vellumark::zip
