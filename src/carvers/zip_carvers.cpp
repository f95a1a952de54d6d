// Tracers for ZIP archives (code 16) and CorelDRAW drawings in ZIP form (code 28), on the
// shared record walk. A ZIP archive that turns out to be a document package (one whose first
// entry is not "[Content_Types].xml", as about one real package in ten) is saved exactly as
// the package carver saves it, so no document is lost to the archive tracer.

#include <string_view>

#include "carvers/archive_carvers.h"
#include "carvers/carver_framework.h"
#include "carvers/ooxml_carver.h"
#include "carvers/zip_walk.h"
#include "formats/zip.h"
#include "scan/type_codes.h"

namespace vellumark {

namespace {

// Bytes an archive is held for before the walk decides whether to keep holding it: long
// enough to see the first entries, short enough that a big archive costs only its headers.
constexpr std::int64_t kHeldBeforeDeciding = 1 << 20;
// An archive tracer takes unknown bytes past this offset as the end of what it can follow.
constexpr std::int64_t kShortestKeptArchive = 100;

// Names that only document packages carry: such an archive is held whole, to be checked.
bool namesAPackagePart(std::string_view name) {
  const Bytes b(reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
  for (std::string_view prefix : {"[Content_Types].xml", "_rels/", "docProps/", "customXml/", "word/", "xl/", "ppt/"})
    if (bytesEqualNoCase(b, 0, prefix)) return true;
  return false;
}

zip::WalkOptions tracingOptions() {
  zip::WalkOptions options;
  options.maxRecordBytes = zip::kMaxArchiveBytes;  // archives hold members of any size
  options.holdBytes = kHeldBeforeDeciding;
  return options;
}

}  // namespace

void carveZip(CarveContext& ctx, std::int64_t startOffset) {
  // The walk for whole packages already ran past the scan range from here, on the bytes alone:
  // this walk follows the same records with wider limits, and would too. (A stop on unknown
  // bytes is not taken over: the tracer keeps what comes before them.)
  if (turnedDownByConfirmedWalk(ctx, startOffset, {zip::WalkStop::OutOfRange})) return;
  Carve carve(ctx, startOffset);
  if (!carve.started()) return;
  if (le32(carve.bytes(), 0) != zip::kLocalHeader) return carve.reject("no ZIP local header");
  zip::WalkOptions options = tracingOptions();
  options.rememberAs = kTypeZip;
  options.takesRunsPastFrom = kConfirmedWalkTag;
  options.keepsPartial = true;
  options.holdPast = [](const zip::Archive& a) {
    for (const zip::LocalRecord& local : a.locals)
      if (namesAPackagePart(local.name)) return true;
    return false;
  };
  const zip::WalkResult walk = zip::walkArchive(carve, options);
  if (walk.stop == zip::WalkStop::UnknownRecord && walk.stoppedAt > kShortestKeptArchive) {
    // Bytes the walk cannot follow: what came before them is kept as the archive.
    carve.trimTo(walk.stoppedAt);
    carve.accept();
    return;
  }
  if (walk.stop != zip::WalkStop::End) return carve.reject(zip::stopReason(walk.stop));
  if (zip::beganInsideArchive(walk.archive)) return carve.reject("a local header inside a longer archive");
  carve.accept();
  savePackage(carve, walk.archive);
}

void carveCdrZip(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  if (!carve.started()) return;
  if (le32(carve.bytes(), 0) != zip::kLocalHeader) return carve.reject("no ZIP local header");
  zip::WalkOptions options = tracingOptions();
  options.checkRecordEnds = true;
  options.rememberAs = kTypeCdrZip;
  const zip::WalkResult walk = zip::walkArchive(carve, options);
  if (walk.stop != zip::WalkStop::End) return carve.reject("the drawing's ZIP records do not reach an end record");
  carve.accept();
}

}  // namespace vellumark
