#pragma once
// What a carver is handed: the few services it needs, never the whole scan state.
//
// - claims: the used-sector map (claim, release, "next free sector at or after s");
// - reader: source bytes through the read-ahead window;
// - documents: writing a recovered document, with the counters;
// - reporter: progress of the carve in hand, and why a candidate was turned down;
// - settings: the scan's settings (families, sector and cluster geometry, scan range);
// - memory: what failed carves learnt, so that later ones need not read it again.
//
// The driver builds these over its scan state; tests and tools can build their own.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "carvers/carve_memory.h"
#include "scan/document_families.h"
#include "scan/recovered_file.h"
#include "scan/sector_marks.h"
#include "scan/thumbnail_rules.h"
#include "scan/used_sector_map.h"
#include "util/byte_reader.h"

namespace vellumark {

// What a carve may know of the scan. Fixed for the length of one carve.
struct CarveSettings {
  std::uint32_t typeFlags = 0;          // document families to write
  std::uint32_t bytesPerSector = 512;
  std::uint32_t sectorsPerCluster = 1;  // never 0
  std::uint32_t clusterPhase = 0;       // sector offset of cluster starts
  std::int64_t scanEndSector = -1;      // inclusive: no carve steps past it
  const ThumbnailRules* thumbnails = nullptr;  // which decoded pictures are thumbnails; none when null
};

class CarveSettingsSource {
 public:
  virtual ~CarveSettingsSource() = default;
  // The settings for a carve that begins at byte startOffset: the cluster geometry is that of
  // the part of the source the carve starts in (a partition of a whole disk has its own).
  [[nodiscard]] virtual CarveSettings current(std::int64_t startOffset) const = 0;
};

class CarveReader {
 public:
  virtual ~CarveReader() = default;
  // Fills dest with the source bytes at byte offset. False when any of them cannot be read
  // or lies past the scan range.
  [[nodiscard]] virtual bool read(std::int64_t offset, std::span<std::uint8_t> dest) = 0;
  // As read, for a look at a few bytes away from where the carve reads (a table a header
  // points to): a reader with a read-ahead window may serve it without moving the window.
  [[nodiscard]] virtual bool peek(std::int64_t offset, std::span<std::uint8_t> dest) { return read(offset, dest); }
  // As peek, but only from bytes the reader already holds: false (dest untouched) when the
  // bytes would have to be read.
  [[nodiscard]] virtual bool peekHeld(std::int64_t /*offset*/, std::span<std::uint8_t> /*dest*/) { return false; }
  // True when the scan has already read every sector from firstSector to lastSector without a
  // failure, so that a read of them now is not expected to fail either: a carver may then tell
  // what a read of them would lead to without making it.
  [[nodiscard]] virtual bool readCleanly(std::int64_t /*firstSector*/, std::int64_t /*lastSector*/) const { return false; }
};

// A document a carver hands over to be written.
struct DocumentToSave {
  std::int64_t startOffset = 0;    // byte offset of its first sector on the source
  std::int64_t startSector = 0;
  std::string_view extension;      // ".DOC", ".XLSX", ...
  std::uint8_t typeCode = 0;
  // The source stretches the saved bytes came from, in file order (empty when not known).
  std::span<const ByteRun> byteRuns;
};

// What a recovered document says of itself, for its file name, its modification time and
// the summary.
struct DocumentDescription {
  std::string title;      // its title property (UTF-8), as written
  std::string nameTitle;  // what its file name is to carry (filtered and cut), "" for nothing
  std::string author;
  std::optional<std::int64_t> lastSaved;  // seconds since 1970-01-01 UTC
};

class DocumentSink {
 public:
  virtual ~DocumentSink() = default;
  // Writes data as a recovered document under its output name: counted as recovered when
  // written, as a save failure when not. Returns its index in the list of recovered files,
  // or -1 when nothing was written.
  [[nodiscard]] virtual std::int64_t save(const DocumentToSave& document, Bytes data) = 0;
  // A document that failed its check: counted as damaged, never as recovered, and written
  // under its output name into the output folder's "damaged" folder when the user asked
  // for damaged documents. Returns whether it was written.
  [[nodiscard]] virtual bool saveDamaged(const DocumentToSave& document, Bytes data) = 0;
  // A recovered file by index, for steps that follow the save (renaming); null if none.
  [[nodiscard]] virtual const RecoveredFile* recovered(std::size_t index) const = 0;
  // Records what a recovered file says of itself; sets its modification time to its
  // last-saved time when that is plausible, and, unless renaming is switched off, renames it
  // with "_" + nameTitle before its extension (never replacing another file).
  virtual void describe(std::size_t /*index*/, const DocumentDescription& /*description*/) {}
};

class CarveReporter {
 public:
  virtual ~CarveReporter() = default;
  // The carve that began at startSector has reached sector; cheap to call per sector (the
  // reporter refreshes the display only when it is due).
  virtual void carving(std::int64_t startSector, std::int64_t sector) = 0;
  // The candidate at startSector was turned down, and why (a fixed text).
  virtual void rejected(std::int64_t startSector, std::string_view reason) = 0;
  // The carve that began at startSector met a sector it could not read, and gives up.
  virtual void unreadable(std::int64_t startSector, std::int64_t sector) = 0;
  // The carve that began at startSector needed `bytes` in memory and could not have them.
  virtual void outOfMemory(std::int64_t startSector, std::int64_t bytes) = 0;
};

struct CarveContext {
  UsedSectorMap& claims;
  CarveReader& reader;
  DocumentSink& documents;
  CarveReporter& reporter;
  const CarveSettingsSource& settings;
  // What earlier carves of this scan learnt; none when null.
  CarveMemory* memory = nullptr;
  // What the scan noted of the candidate's first sector when it found it (its format's own
  // code), 0 for nothing: what the carver can tell from it needs no read. The formats work
  // out what they note for sectors of kNotedSectorBytes only.
  std::uint64_t note = 0;
  // The sectors the scan found no carver's far look to be after; none when null.
  const SectorMarks* marks = nullptr;
};

inline constexpr std::int64_t kNotedSectorBytes = 512;

// A carver traces (and for documents, writes) the file that begins at a byte offset.
using CarverFn = void (*)(CarveContext& ctx, std::int64_t startOffset);

}  // namespace vellumark
