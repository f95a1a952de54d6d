#include "carvers/ooxml_carver.h"

#include <algorithm>
#include <new>
#include <optional>
#include <string_view>

#include "carvers/carver_framework.h"
#include "carvers/document_naming.h"
#include "carvers/gap_search.h"
#include "carvers/zip_gap_search.h"
#include "carvers/zip_walk.h"
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

// The package's clusters, searched among the free ones; empty when they were not found.
std::optional<FragmentAssembly> searchPackage(CarveContext& ctx, std::int64_t startOffset, zip::ZipFragmentCheck& check) {
  const CarveSettings settings = ctx.settings.current(startOffset);
  if (settings.bytesPerSector == 0) return std::nullopt;
  GapSearchGeometry geometry;
  geometry.bytesPerSector = settings.bytesPerSector;
  geometry.sectorsPerCluster = std::max<std::uint32_t>(1, settings.sectorsPerCluster);
  geometry.clusterPhase = settings.clusterPhase;
  geometry.firstSector = ctx.claims.firstSector();
  geometry.lastSector = std::min(settings.scanEndSector, ctx.claims.sectorCount() - 1);
  GapSearchWork work;
  return searchFragments(ctx.claims, ctx.reader, geometry, startOffset / settings.bytesPerSector, check, packageSearchLimits(), work);
}

}  // namespace

void carveOoxmlConfirmed(CarveContext& ctx, std::int64_t startOffset) {
  {
    Carve carve(ctx, startOffset);
    if (!carve.started() || le32(carve.bytes(), 0) != zip::kLocalHeader) return;
    zip::WalkOptions options;
    options.holdBytes = kMaxPackageHeldBytes;
    options.maxArchiveBytes = kMaxPackageHeldBytes;
    const zip::WalkResult walk = zip::walkArchive(carve, options);
    if (saveWholePackage(carve, walk)) return;
    // A whole archive that is no chosen document, or a package begun inside another, is the
    // ordinary pass's to trace.
    if (walk.stop == zip::WalkStop::End && zip::checkArchive(carve.bytes().first(static_cast<std::size_t>(
                                                                 std::min<std::int64_t>(walk.archive.length, static_cast<std::int64_t>(carve.bytes().size())))),
                                                             walk.archive).empty())
      return;
  }
  zip::ZipFragmentCheck check(kMaxPackageHeldBytes);
  std::optional<FragmentAssembly> found;
  try {
    found = searchPackage(ctx, startOffset, check);
  } catch (const std::bad_alloc&) {
    return;  // the ordinary pass reports what the document needed
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

void carveOoxml(CarveContext& ctx, std::int64_t startOffset) {
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
