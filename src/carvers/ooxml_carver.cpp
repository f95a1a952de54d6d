#include "carvers/ooxml_carver.h"

#include <string_view>

#include "carvers/carver_framework.h"
#include "formats/zip.h"
#include "scan/type_codes.h"

namespace vellumark {

namespace {

using zip::kCentralHeader;
using zip::kEndOfCentralDirectory;
using zip::kLocalHeader;
using zip::kMaxRecordBytes;
constexpr std::int64_t kMaxPackageBytes = zip::kMaxArchiveBytes;

// The extension for a part name, when it lies in an application's part folder and that
// family is selected; "" otherwise.
std::string_view extensionForPart(Bytes name, std::uint32_t typeFlags) {
  if (bytesEqualNoCase(name, 0, "word/")) return (typeFlags & kFamilyDoc) ? ".DOCX" : "";
  if (bytesEqualNoCase(name, 0, "xl/")) return (typeFlags & kFamilyXls) ? ".XLSX" : "";
  if (bytesEqualNoCase(name, 0, "ppt/")) return (typeFlags & kFamilyPpt) ? ".PPTX" : "";
  return {};
}

}  // namespace

void carveOoxml(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  if (!carve.started() || le32(carve.bytes(), 0) != kLocalHeader) return;

  std::int64_t pos = 0;
  std::string_view extension;
  for (;;) {
    if (pos > kMaxPackageBytes || !carve.fetchUpTo(pos + 4)) return;
    const auto at = static_cast<std::size_t>(pos);
    const std::uint32_t signature = le32(carve.bytes(), at);
    std::int64_t length = 0;
    if (signature == kLocalHeader) {
      if (!carve.fetchUpTo(pos + 30)) return;
      const Bytes b = carve.bytes();
      length = 30 + std::int64_t{le32(b, at + 18)} + le16(b, at + 26) + le16(b, at + 28);
    } else if (signature == kCentralHeader) {
      if (!carve.fetchUpTo(pos + 46)) return;
      const Bytes b = carve.bytes();
      length = 46 + std::int64_t{le16(b, at + 28)} + le16(b, at + 30) + le16(b, at + 32);
      // The name is compared once the whole record is assembled.
      if (length <= kMaxRecordBytes && !carve.fetchUpTo(pos + length)) return;
      if (extension.empty() && length <= kMaxRecordBytes) {
        const std::size_t nameLength = le16(carve.bytes(), at + 28);
        extension = extensionForPart(carve.bytes().subspan(at + 46, nameLength), carve.typeFlags());
      }
    } else if (signature == kEndOfCentralDirectory) {
      if (!carve.fetchUpTo(pos + 22)) return;
      pos += 22 + le16(carve.bytes(), at + 20);
      if (!carve.fetchUpTo(pos)) return;
      break;
    } else {
      return;
    }
    if (length > kMaxRecordBytes) return;
    pos += length;
    if (!carve.fetchUpTo(pos)) return;
  }

  carve.accept();
  if (!extension.empty()) (void)carve.saveDocument(extension, kTypeOoxml, pos);
}

}  // namespace vellumark
