#pragma once
// The ZIP record walk shared by the carvers of ZIP-based files (OOXML packages, ZIP
// archives, CorelDRAW drawings). It assembles the file through a Carve from its first local
// header to the end of its end-of-central-directory record and its comment, and hands back
// every record it met, so that each carver decides on its own what the file is and whether
// it is whole.
//
//   zip::WalkResult walk = zip::walkArchive(carve);
//   if (walk.stop != zip::WalkStop::End) return;          // sectors released on the way out
//   carve.accept();
//   if (zip::checkArchive(carve.bytes(), walk.archive).empty()) ...   // every entry inflates
//
// What the walk understands:
// - local headers whose sizes are in the header, or in a ZIP64 extra field;
// - entries with a trailing data descriptor (flag bit 3), whose local header may say 0:
//   a deflated entry is inflated to learn where its data ends; a stored one is searched for
//   a descriptor whose CRC-32 and size match the bytes before it; the descriptor (with or
//   without its signature, 32- or 64-bit sizes) must agree with the data it follows;
// - central directory headers (ZIP64 extra fields too), the digital signature record, the
//   ZIP64 end record and its locator, and the end record with the archive comment.
// Anything else where a record should begin ends the walk (WalkStop::UnknownRecord) at that
// offset; the caller decides whether what came before is a file.

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

#include "formats/zip.h"
#include "util/byte_reader.h"

namespace vellumark {

class Carve;

namespace zip {

struct LocalRecord {
  std::int64_t offset = 0;       // of the local header in the file
  std::int64_t dataOffset = 0;   // first byte of the entry's (compressed) data
  std::int64_t dataEnd = 0;      // just past the data
  std::int64_t end = 0;          // just past the record, descriptor included
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  // From the local header (or its ZIP64 field), or from the data descriptor when there is one.
  std::uint32_t crc = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
  bool hasDescriptor = false;
  // True when the walk itself inflated (or read) the data: dataCrc and dataSize are then the
  // CRC-32 and length of the entry's real content.
  bool contentKnown = false;
  std::uint32_t dataCrc = 0;
  std::uint64_t dataSize = 0;
  std::string name;
};

struct CentralRecord {
  std::int64_t offset = 0;       // of the central header in the file
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
  std::uint64_t localOffset = 0;
  std::uint32_t diskStart = 0;
  std::string name;
};

struct Archive {
  std::vector<LocalRecord> locals;      // in file order
  std::vector<CentralRecord> centrals;  // in file order
  std::int64_t centralOffset = -1;      // first central header; -1 when there is none
  std::int64_t centralEnd = -1;         // just past the central directory (signature record included)
  bool hasZip64End = false;
  // What the end record (or the ZIP64 end record, where the end record defers to it) declares.
  std::uint64_t declaredEntries = 0;
  std::uint64_t declaredCentralSize = 0;
  std::uint64_t declaredCentralOffset = 0;
  std::int64_t endRecordOffset = -1;
  std::int64_t length = 0;              // just past the end record and its comment
};

enum class WalkStop {
  End,             // the end record and its comment were reached: archive.length is the file's length
  UnknownRecord,   // bytes at stoppedAt are no record this walk knows
  OutOfRange,      // the file runs past the scan range, or a read failed
  RecordTooLong,   // a record beyond maxRecordBytes, or the file beyond maxArchiveBytes
  BadEntry,        // an entry whose end cannot be found: its deflate stream is broken, its
                   // descriptor lies or is missing, or its method gives no way to find it
};

struct WalkOptions {
  std::int64_t maxRecordBytes = kMaxRecordBytes;
  std::int64_t maxArchiveBytes = kMaxArchiveBytes;
  // An entry whose data inflates to more than this is taken as broken (an inflate bomb).
  std::uint64_t maxInflatedBytes = 0xFFFFFFFFull;
  // File bytes kept in memory from the start; past this the walk only traces: it lets the
  // carve drop parsed bytes and claims long known-size bodies without reading them...
  std::int64_t holdBytes = kMaxArchiveBytes;
  // ...unless this, asked once when the walk first passes holdBytes with what it has seen so
  // far, says to go on holding the whole file.
  std::function<bool(const Archive&)> holdPast;
  // Before the data of an entry whose header gives its size is fetched, the bytes where the
  // next record must then begin are looked at: no ZIP record there stops the walk at once
  // (UnknownRecord, at the entry's own header). For carvers that take any stop other than
  // End as a rejection, whatever its offset.
  bool checkRecordEnds = false;
  // When not 0: the walk learns from, and teaches, the carve memory of the context, under
  // this tag (one per carver and set of options). Stops the carver turns into a file of its
  // own (UnknownRecord, when keepsPartial) are neither learnt nor taught.
  std::uint8_t rememberAs = 0;
  // When not 0: where walks taught under this tag ran past the scan range, this walk stops
  // too. For a walk that follows the same records with limits no narrower than theirs.
  std::uint8_t takesRunsPastFrom = 0;
  bool keepsPartial = false;
};

struct WalkResult {
  WalkStop stop = WalkStop::OutOfRange;
  std::int64_t stoppedAt = 0;  // offset of the record where the walk stopped
  Archive archive;
};

// What a stop other than End says about the file, for the rejection log.
[[nodiscard]] std::string_view stopReason(WalkStop stop);

// Walks the file the carve began (its first bytes must be a local header). The carve has
// fetched exactly what the walk needed, so on End its filled() ends in the last sector of
// the file.
[[nodiscard]] WalkResult walkArchive(Carve& carve, const WalkOptions& options = {});

// Checks a walked archive, held whole in `file`, before it is passed off as a file: the end
// record agrees with the central directory, every central entry points at a local header the
// walk saw (same name, method, CRC-32 and sizes) and every local header has one, and every
// entry's data inflates (or, stored, reads) to exactly the CRC-32 and sizes the central
// directory gives. Returns "" when the archive is whole, else what is wrong with it.
[[nodiscard]] std::string checkArchive(Bytes file, const Archive& archive);

// True when the walk began inside a longer archive: at one of its later local headers that
// happens to start a sector, so that the end record places the central directory further
// from the start than the walk found it.
[[nodiscard]] bool beganInsideArchive(const Archive& archive);

// Inflates one raw deflate stream, discarding the output. complete is true when the stream
// ended within `compressed`; consumed is how much of it the stream took.
struct InflateResult {
  bool complete = false;
  std::uint64_t consumed = 0;
  std::uint64_t produced = 0;
  std::uint32_t crc = 0;
};
[[nodiscard]] InflateResult inflateRaw(Bytes compressed, std::uint64_t maxOutput);

// The content of the entry of a walked archive, held whole in `file`, whose name is `name`
// (ASCII case ignored, as part names of a package): stored or inflated, at most maxOutput
// bytes. nullopt when there is no such entry, or it is encrypted, broken or longer.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> entryContent(Bytes file, const Archive& archive, std::string_view name,
                                                                    std::uint64_t maxOutput);

}  // namespace zip
}  // namespace vellumark
