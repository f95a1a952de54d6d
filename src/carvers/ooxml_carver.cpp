#include "carvers/ooxml_carver.h"

#include <string_view>

#include "carvers/carver_framework.h"
#include "carvers/document_naming.h"
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

}  // namespace

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
