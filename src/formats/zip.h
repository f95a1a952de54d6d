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

// Local file header: 30 fixed bytes, then the name and the extra field, then the data.
inline constexpr std::size_t kLocalHeaderBytes = 30;
inline constexpr std::size_t kLocalCompressedSizeOffset = 18;
inline constexpr std::size_t kLocalNameLengthOffset = 26;
inline constexpr std::size_t kLocalExtraLengthOffset = 28;
inline constexpr std::size_t kLocalNameOffset = 30;

// Central directory header: 46 fixed bytes, then name, extra field and comment.
inline constexpr std::size_t kCentralHeaderBytes = 46;
inline constexpr std::size_t kCentralNameLengthOffset = 28;
inline constexpr std::size_t kCentralExtraLengthOffset = 30;
inline constexpr std::size_t kCentralCommentLengthOffset = 32;
inline constexpr std::size_t kCentralNameOffset = 46;

// End of central directory: 22 fixed bytes, then the archive comment.
inline constexpr std::size_t kEndRecordBytes = 22;
inline constexpr std::size_t kEndCommentLengthOffset = 20;

// First entry names the classifier tells apart.
inline constexpr std::string_view kOoxmlFirstEntry = "[Content_Types].xml";
inline constexpr std::string_view kCdrFirstEntry = "content/riffData.cdr";

// No single record is longer than this; a longer one is garbage.
inline constexpr std::int64_t kMaxRecordBytes = 209'715'200;  // 200 MiB
// Offsets in an archive without ZIP64 records are 32-bit: nothing longer is one archive.
inline constexpr std::int64_t kMaxArchiveBytes = std::int64_t{1} << 32;

}  // namespace vellumark::zip
