#include "carvers/ooxml_carver.h"

#include <algorithm>
#include <array>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "carvers/carve_memory.h"
#include "carvers/carver_framework.h"
#include "carvers/document_naming.h"
#include "carvers/gap_search.h"
#include "carvers/zip_gap_search.h"
#include "carvers/zip_walk.h"
#include "carvers/zip_walk_memory.h"
#include "formats/zip.h"
#include "scan/type_codes.h"

namespace vellumark {

namespace {

constexpr std::int64_t kMaxPackageHeldBytes = 209'715'200;  // 200 MiB

// The extension for a part name, when it lies in an application's part folder and that
// family is selected; "" otherwise.
std::string_view extensionForPart(std::string_view name, std::uint32_t typeFlags) {
  const Bytes b(reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
  if (bytesEqualNoCase(b, 0, "word/")) return (typeFlags & kFamilyDoc) ? ".DOCX" : "";
  if (bytesEqualNoCase(b, 0, "xl/")) return (typeFlags & kFamilyXls) ? ".XLSX" : "";
  if (bytesEqualNoCase(b, 0, "ppt/")) return (typeFlags & kFamilyPpt) ? ".PPTX" : "";
  return {};
}

// Accepts and writes the package the carve holds when it is a whole document of a selected
// family; true when it did.
bool saveWholePackage(Carve& carve, const zip::WalkResult& walk) {
  if (walk.stop != zip::WalkStop::End || zip::beganInsideArchive(walk.archive)) return false;
  const Bytes held = carve.bytes();
  if (carve.keptFrom() != 0 || static_cast<std::uint64_t>(walk.archive.length) > held.size()) return false;
  const std::string_view extension = packageExtension(walk.archive, carve.typeFlags());
  if (extension.empty()) return false;
  const Bytes file = held.first(static_cast<std::size_t>(walk.archive.length));
  if (!zip::checkArchive(file, walk.archive).empty()) return false;
  carve.accept();
  const std::int64_t index = carve.saveDocument(extension, kTypeOoxml, walk.archive.length);
  if (index >= 0) carve.context().documents.describe(static_cast<std::size_t>(index), describePackage(file, walk.archive));
  return true;
}

// The extension of a chosen family from the part names the walk met, "" when none.
std::string_view walkedExtension(const zip::Archive& archive, std::uint32_t typeFlags) {
  for (const zip::LocalRecord& local : archive.locals)
    if (std::string_view ext = extensionForPart(local.name, typeFlags); !ext.empty()) return ext;
  return packageExtension(archive, typeFlags);
}

// The first walk stops where a record's end holds no record, before it reads that record's
// name; the package's kind is then learnt from the records in front of the lost cluster, by
// a walk that reads no further than the search's longest accepted assembly reached.
std::string_view extensionWithin(CarveContext& ctx, std::int64_t startOffset, std::span<const std::int64_t> furthest) {
  const CarveSettings settings = ctx.settings.current(startOffset);
  const auto bytes = static_cast<std::int64_t>(furthest.size()) * settings.bytesPerSector;
  if (bytes == 0) return {};
  Carve carve(ctx, startOffset);
  if (!carve.started()) return {};
  zip::WalkOptions options;
  options.holdBytes = bytes;
  options.maxArchiveBytes = bytes;
  return walkedExtension(zip::walkArchive(carve, options).archive, carve.typeFlags());
}

// A package the search could not complete: the longest assembly its check accepted is counted
// as damaged, and written into the damaged folder when the user asked for damaged
// documents, never as a document. Its start sector is claimed, so that the ordinary pass
// does not assemble it again over other files' clusters.
void keepGivenUp(CarveContext& ctx, std::int64_t startOffset, std::string_view extension, std::span<const std::int64_t> sectors) {
  const CarveSettings settings = ctx.settings.current(startOffset);
  const std::int64_t bps = settings.bytesPerSector;
  const std::int64_t startSector = startOffset / bps;
  if (sectors.empty() || sectors.front() != startSector || ctx.claims.isSectorUsed(startSector)) return;
  std::vector<std::uint8_t> bytes(sectors.size() * static_cast<std::size_t>(bps));
  for (std::size_t i = 0; i < sectors.size(); ++i) {
    const std::span<std::uint8_t> sector(bytes.data() + i * static_cast<std::size_t>(bps), static_cast<std::size_t>(bps));
    if (ctx.reader.read(sectors[i] * bps, sector)) continue;
    bytes.resize(i * static_cast<std::size_t>(bps));
    break;
  }
  const DocumentToSave document{startOffset, startSector, extension, kTypeOoxml, {}};
  (void)ctx.documents.saveDamaged(document, bytes);
  ctx.claims.markSector(startSector);
  // A claimed sector changes where later walks step: what failed walks learnt no longer holds.
  if (ctx.memory != nullptr) ctx.memory->forget();
}

// The package's clusters, searched among the free ones; empty when they were not found.
std::optional<FragmentAssembly> searchPackage(CarveContext& ctx, std::int64_t startOffset, zip::ZipFragmentCheck& check,
                                              GapSearchWork& work) {
  const CarveSettings settings = ctx.settings.current(startOffset);
  if (settings.bytesPerSector == 0) return std::nullopt;
  const GapSearchGeometry geometry = searchGeometry(settings, ctx.claims);
  return searchFragments(ctx.claims, ctx.reader, geometry, startOffset / settings.bytesPerSector, check,
                         packageSearchLimits(), work);
}

// A note of a package candidate holds where its first record ends, counted from its start,
// under this mark.
constexpr std::uint32_t kNotedRecordEnd = 0x80000000;
// Under this one, whether or not that is noted, when the search for the package's clusters
// refuses any first cluster that begins with the candidate's first sector (its header, or
// its deflated data failing within the sector).
constexpr std::uint32_t kNotedFirstPieceRefused = 0x40000000;
constexpr std::uint32_t kNotedEndMask = kNotedFirstPieceRefused - 1;

// The walk a first-record look stands for: the tag it remembers its failures under, the
// archive length up to which it looks at record ends, and whether it reports a refusal.
struct FirstRecordWalk {
  std::uint8_t tag = kTypeOoxml;
  std::int64_t maxArchiveBytes = zip::kMaxArchiveBytes;
  bool reports = true;
};
constexpr FirstRecordWalk kOrdinaryWalk{};
constexpr FirstRecordWalk kConfirmedWalk{kConfirmedWalkTag, kMaxPackageHeldBytes, false};

// Where a candidate's noted first record ends, as a walk of it would step there: the file
// offset, and the source sector the walk would look at (-1 past the free sectors of the
// range). The walk holds the first sector; the look lands that many free sectors past it.
struct NotedEnd {
  std::int64_t startSector = 0;
  std::int64_t end = 0;
  std::int64_t sector = -1;
  [[nodiscard]] std::int64_t source() const { return sector * kNotedSectorBytes + (end - kNotedSectorBytes) % kNotedSectorBytes; }
};
// nullopt when the note says nothing of the first record, or the candidate is not free.
std::optional<NotedEnd> notedEnd(CarveContext& ctx, std::int64_t startOffset) {
  if ((ctx.note & kNotedRecordEnd) == 0) return std::nullopt;
  CarveSettings settings;
  const std::int64_t startSector = freeFirstSector(ctx, startOffset, settings);
  if (startSector < 0 || settings.bytesPerSector != kNotedSectorBytes) return std::nullopt;
  NotedEnd n{startSector, static_cast<std::int64_t>(ctx.note & kNotedEndMask)};
  n.sector = ctx.claims.freeSectorAfter(startSector + 1, (n.end - kNotedSectorBytes) / kNotedSectorBytes, settings.scanEndSector);
  return n;
}

// The 4 bytes where the noted first record ends, looked at on their own: only where the scan
// read every sector from the candidate's up to them cleanly, so that neither the walk's read
// of its first sector nor its look there could fail.
bool peekedCleanly(CarveContext& ctx, const NotedEnd& noted, std::span<std::uint8_t> signature) {
  return ctx.reader.readCleanly(noted.startSector, noted.sector) && ctx.reader.peek(noted.source(), signature);
}

// The first step of a walk, from the note alone: it looks at the 4 bytes where the first
// record ends (the first pass kept them, the read window holds them, or a look of one sector
// reads them) and stops there when no record begins there, or when they lie past the free
// sectors of the range. True when the candidate was so turned down, with what the walk would
// have learnt taught; false when the walk has to be run (a look that could fail, a record
// there, a stop the memory already knows).
bool firstRecordRefused(CarveContext& ctx, std::int64_t startOffset, const NotedEnd& noted, const FirstRecordWalk& walk) {
  if (ctx.memory != nullptr && ctx.memory->recall(walk.tag, startOffset)) return false;
  if (noted.end > walk.maxArchiveBytes) return false;
  zip::WalkStop stop = zip::WalkStop::OutOfRange;
  if (noted.sector >= 0) {
    std::array<std::uint8_t, 4> signature{};
    if (!ctx.reader.peekHeld(noted.source(), signature) && !peekedCleanly(ctx, noted, signature)) return false;
    if (zip::isRecordSignature(le32(Bytes(signature), 0))) return false;
    stop = zip::WalkStop::UnknownRecord;
  }
  if (ctx.memory != nullptr) ctx.memory->remember(walk.tag, startOffset, CarveMemory::Failure{static_cast<std::uint8_t>(stop), 0});
  if (walk.reports) ctx.reporter.rejected(noted.startSector, zip::stopReason(stop));
  return true;
}

// The longest first record the walk for whole packages is told past without a read: one whose
// fetch could not run out of memory.
constexpr std::int64_t kMostToldRecordBytes = 1 << 20;

// The walk for whole packages from the note alone, when its first record ends where a record
// begins whose walk the memory knows (zip::stopPastFirstRecord): true when the candidate was
// so turned down, with what the walk would have learnt taught. Only where the scan read every
// sector the walk would read cleanly, so that no read of the walk could have failed.
bool confirmedWalkTold(CarveContext& ctx, std::int64_t startOffset, const NotedEnd& noted) {
  if (ctx.memory == nullptr || noted.end > kMostToldRecordBytes) return false;
  if (noted.sector < 0 || !ctx.reader.readCleanly(noted.startSector, noted.sector)) return false;
  return zip::stopPastFirstRecord(*ctx.memory, kConfirmedWalkTag, startOffset, noted.end, noted.source(), kMaxPackageHeldBytes)
      .has_value();
}

}  // namespace

void carveOoxmlConfirmed(CarveContext& ctx, std::int64_t startOffset) {
  // The search cannot take the first cluster: a first record that also ends where no record
  // begins stops the walk there, so the walk's failure is all there is to keep, and the
  // candidate is not read again.
  const bool searchRefused = (ctx.note & kNotedFirstPieceRefused) != 0;
  if (const std::optional<NotedEnd> noted = searchRefused ? notedEnd(ctx, startOffset) : std::nullopt;
      noted && (firstRecordRefused(ctx, startOffset, *noted, kConfirmedWalk) || confirmedWalkTold(ctx, startOffset, *noted)))
    return;
  std::string_view extension;
  bool walkRefused = false;
  {
    Carve carve(ctx, startOffset);
    if (!carve.started() || le32(carve.bytes(), 0) != zip::kLocalHeader) return;
    zip::WalkOptions options;
    options.holdBytes = kMaxPackageHeldBytes;
    options.maxArchiveBytes = kMaxPackageHeldBytes;
    // Only a walk that reaches the end record is saved here, so a size that points at no
    // record stops the walk before the data is fetched, and a lower candidate whose walk
    // runs into a record that failed before stops there too.
    options.checkRecordEnds = true;
    options.rememberAs = kConfirmedWalkTag;
    const zip::WalkResult walk = zip::walkArchive(carve, options);
    extension = walkedExtension(walk.archive, carve.typeFlags());
    // Only a walk stopped by the bytes themselves: one that met an unreadable sector or ran
    // out of memory is the ordinary pass's to report.
    walkRefused = (walk.stop == zip::WalkStop::UnknownRecord || walk.stop == zip::WalkStop::BadEntry) && !carve.troubled();
    if (saveWholePackage(carve, walk)) return;
    // A whole archive that is no chosen document, or a package begun inside another, is the
    // ordinary pass's to trace.
    if (walk.stop == zip::WalkStop::End && zip::checkArchive(carve.bytes().first(static_cast<std::size_t>(
                                                                 std::min<std::int64_t>(walk.archive.length, static_cast<std::int64_t>(carve.bytes().size())))),
                                                             walk.archive).empty())
      return;
  }
  // Nothing the search could find, nothing for it to give up with.
  if (searchRefused) return;
  zip::ZipFragmentCheck check(kMaxPackageHeldBytes);
  std::optional<FragmentAssembly> found;
  GapSearchWork work;
  try {
    found = searchPackage(ctx, startOffset, check, work);
  } catch (const std::bad_alloc&) {
    return;  // the ordinary pass reports what the document needed
  }
  // A package the search could not complete and the ordinary walk cannot follow either: its
  // partial copy is all there is. One the walk can follow is left to the ordinary pass,
  // which keeps it whole, if damaged.
  if (!found && walkRefused) {
    if (extension.empty()) extension = extensionWithin(ctx, startOffset, work.furthest);
    if (!extension.empty()) keepGivenUp(ctx, startOffset, extension, work.furthest);
  }
  if (!found) return;
  Carve carve(ctx, startOffset);
  if (!carve.started() || !carve.adopt(found->sectors, check.package())) return;
  saveWholePackage(carve, zip::walkArchive(carve));
}

std::string_view packageExtension(const zip::Archive& archive, std::uint32_t typeFlags) {
  for (const zip::CentralRecord& entry : archive.centrals)
    if (std::string_view ext = extensionForPart(entry.name, typeFlags); !ext.empty()) return ext;
  return {};
}

void savePackage(Carve& carve, const zip::Archive& archive) {
  const std::string_view extension = packageExtension(archive, carve.typeFlags());
  const Bytes held = carve.bytes();
  if (extension.empty()) return;
  // A package not held whole was traced only: it showed no part of a chosen document early on.
  if (carve.keptFrom() != 0 || static_cast<std::uint64_t>(archive.length) > held.size())
    return carve.reportUnsaved("a package over 200 MiB whose document parts come late was traced, not held");
  const bool whole = zip::checkArchive(held.first(static_cast<std::size_t>(archive.length)), archive).empty();
  if (!whole) {
    carve.saveDamaged(extension, kTypeOoxml, archive.length);
    return;
  }
  const std::int64_t index = carve.saveDocument(extension, kTypeOoxml, archive.length);
  if (index >= 0)
    carve.context().documents.describe(static_cast<std::size_t>(index),
                                       describePackage(held.first(static_cast<std::size_t>(archive.length)), archive));
}

namespace {

// Where the first record ends, under its mark, when the header alone says so; 0 otherwise.
std::uint32_t notedRecordEnd(Bytes firstSector) {
  const std::optional<zip::PlainLocalHeader> plain = zip::plainLocalHeader(firstSector);
  // As the walk: the header within the sector it holds, a record no longer than it allows,
  // and the 4 bytes looked at past that sector, within one sector.
  if (!plain || plain->headerBytes > kNotedSectorBytes || plain->dataBytes > zip::kMaxRecordBytes - plain->headerBytes) return 0;
  const std::int64_t end = plain->recordBytes();
  if (end < kNotedSectorBytes || (end - kNotedSectorBytes) % kNotedSectorBytes > kNotedSectorBytes - 4) return 0;
  return kNotedRecordEnd | static_cast<std::uint32_t>(end);
}

}  // namespace

std::uint32_t ooxmlNote(Bytes firstSector) {
  if (firstSector.size() != static_cast<std::size_t>(kNotedSectorBytes)) return 0;
  const std::uint32_t refused = zip::firstPieceRefused(firstSector, kMaxPackageHeldBytes) ? kNotedFirstPieceRefused : 0;
  return notedRecordEnd(firstSector) | refused;
}

bool turnedDownByConfirmedWalk(CarveContext& ctx, std::int64_t startOffset, std::initializer_list<zip::WalkStop> stops) {
  if (ctx.memory == nullptr) return false;
  CarveSettings settings;
  const std::int64_t startSector = freeFirstSector(ctx, startOffset, settings);
  if (startSector < 0) return false;
  const std::optional<CarveMemory::Failure> known = ctx.memory->recall(kConfirmedWalkTag, startOffset);
  if (!known) return false;
  const auto stop = static_cast<zip::WalkStop>(known->stop);
  if (std::find(stops.begin(), stops.end(), stop) == stops.end()) return false;
  ctx.reporter.rejected(startSector, zip::stopReason(stop));
  return true;
}

void carveOoxml(CarveContext& ctx, std::int64_t startOffset) {
  // Below 200 MiB the ordinary walk fetches and holds the same records as the walk for whole
  // packages, and its limits are only wider.
  if (turnedDownByConfirmedWalk(ctx, startOffset, {zip::WalkStop::UnknownRecord, zip::WalkStop::OutOfRange})) return;
  if (const std::optional<NotedEnd> noted = notedEnd(ctx, startOffset); noted && firstRecordRefused(ctx, startOffset, *noted, kOrdinaryWalk))
    return;
  Carve carve(ctx, startOffset);
  if (!carve.started() || le32(carve.bytes(), 0) != zip::kLocalHeader) return;
  // A ZIP is held in memory up to the document length limit, and further only when its
  // entries so far name parts of a chosen document; any other archive is only traced.
  zip::WalkOptions options;
  options.holdBytes = kMaxPackageHeldBytes;
  options.checkRecordEnds = true;
  options.rememberAs = kTypeOoxml;
  const std::uint32_t typeFlags = carve.typeFlags();
  options.holdPast = [typeFlags](const zip::Archive& a) {
    for (const zip::LocalRecord& local : a.locals)
      if (!extensionForPart(local.name, typeFlags).empty()) return true;
    return false;
  };
  const zip::WalkResult walk = zip::walkArchive(carve, options);
  if (walk.stop != zip::WalkStop::End) return carve.reject(zip::stopReason(walk.stop));
  // Begun at an entry inside a longer archive: its sectors belong to the archive that starts
  // earlier, whose own carve comes later.
  if (zip::beganInsideArchive(walk.archive)) return carve.reject("a local header inside a longer archive");
  carve.accept();
  savePackage(carve, walk.archive);
}

}  // namespace vellumark
