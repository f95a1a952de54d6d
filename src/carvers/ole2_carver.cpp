#include "carvers/ole2_carver.h"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <vector>

#include "carvers/carver_framework.h"
#include "formats/ole2.h"
#include "scan/type_codes.h"

namespace vellumark {

namespace {

using ole2::kByteOrderAndShift;
using ole2::kEndOfChain;
using ole2::kFreeSector;
using ole2::kMaxDocumentBytes;
constexpr std::int64_t kCfSector = ole2::kSectorBytes;
// Highest compound-file sector a FAT or DIFAT sector may have while the document length
// is not known yet: the last one below 200 MiB.
constexpr std::int64_t kInitialSectorLimit = 409'598;
// A FAT sector describes 128 compound sectors, so 4096 of them cover more than any
// document under the length limit; more can only be garbage, and is refused before it
// eats memory.
constexpr std::size_t kMaxFatBytes = 4096 * kCfSector;
constexpr std::size_t kMaxDirectoryBytes = 10'240;  // 20 sectors, 80 entries
using ole2::kDirEntryBytes;
using ole2::kHeaderDifatEntries;

// Byte offset in the assembled file of the end of compound sector n.
constexpr std::int64_t endOfSector(std::int64_t n) { return kCfSector * n + 2 * kCfSector; }

enum class DocType { None, Word, Excel, PowerPoint };

// Appends compound sector n (which must be assembled) to a table stream.
bool appendSector(Carve& carve, std::int64_t n, std::vector<std::uint8_t>& stream, std::size_t maxBytes) {
  if (!carve.fetchUpTo(endOfSector(n))) return false;
  if (stream.size() + kCfSector > maxBytes) return false;
  const Bytes all = carve.bytes();
  const auto from = static_cast<std::size_t>(kCfSector * n + kCfSector);
  if (!fits(all, from, kCfSector)) return false;
  stream.insert(stream.end(), all.begin() + static_cast<std::ptrdiff_t>(from),
                all.begin() + static_cast<std::ptrdiff_t>(from + kCfSector));
  return true;
}

// The FAT sectors listed in the header: strictly increasing, ended by the first free entry.
bool collectHeaderFat(Carve& carve, std::vector<std::uint8_t>& fat) {
  std::int64_t lastSeen = -1;
  for (std::size_t i = 0; i < kHeaderDifatEntries; ++i) {
    const std::uint32_t e = le32(carve.bytes(), ole2::kHeaderDifatOffset + 4 * i);
    if (e == kFreeSector) break;
    if (e > kInitialSectorLimit || static_cast<std::int64_t>(e) <= lastSeen) return false;
    lastSeen = e;
    if (!appendSector(carve, e, fat, kMaxFatBytes)) return false;
  }
  return true;
}

// The FAT sectors listed in the DIFAT chain. The chain must be strictly increasing, which
// also ends any loop in it.
bool collectChainedFat(Carve& carve, std::vector<std::uint8_t>& fat) {
  std::uint32_t d = le32(carve.bytes(), ole2::kFirstDifatSectorOffset);
  std::int64_t lastSeen = -1;
  while (d != kEndOfChain && d != kFreeSector) {
    if (d > kInitialSectorLimit || static_cast<std::int64_t>(d) <= lastSeen) return false;
    lastSeen = d;
    if (!carve.fetchUpTo(endOfSector(d))) return false;
    const std::size_t difat = static_cast<std::size_t>(kCfSector * d + kCfSector);
    for (std::size_t i = 0; i < ole2::kDifatEntriesPerSector; ++i) {
      const std::uint32_t e = le32(carve.bytes(), difat + 4 * i);
      if (e == kFreeSector) continue;
      if (e > kInitialSectorLimit) return false;
      if (!appendSector(carve, e, fat, kMaxFatBytes)) return false;
    }
    d = le32(carve.bytes(), difat + ole2::kDifatNextOffset);
  }
  return true;
}

// Length of the document the FAT describes: header plus sectors 0..k, k being the last
// entry in use; 0 when no entry is in use.
std::int64_t documentLength(const std::vector<std::uint8_t>& fat) {
  for (std::size_t i = fat.size() / 4; i-- > 0;) {
    if (le32(fat, 4 * i) != kFreeSector) return endOfSector(static_cast<std::int64_t>(i));
  }
  return 0;
}

// The directory stream, following the chain through the FAT. A sector outside the assembled
// file, a FAT entry outside the collected FAT, or a chain longer than the directory cap
// fails the document.
bool collectDirectory(Carve& carve, const std::vector<std::uint8_t>& fat, std::int64_t sectorLimit,
                      std::vector<std::uint8_t>& dir) {
  std::uint32_t d = le32(carve.bytes(), ole2::kFirstDirectorySectorOffset);
  while (d != kEndOfChain) {
    if (static_cast<std::int64_t>(d) > sectorLimit) return false;
    if (dir.size() >= kMaxDirectoryBytes) return false;
    if (!appendSector(carve, d, dir, kMaxDirectoryBytes)) return false;
    if (!fits(fat, 4 * static_cast<std::size_t>(d), 4)) return false;
    d = le32(fat, 4 * static_cast<std::size_t>(d));
  }
  return true;
}

// True when the UTF-16LE name at off is exactly `name` (ASCII), nameChars characters long.
bool nameIs(Bytes entry, std::size_t nameChars, std::string_view name) {
  if (nameChars != name.size()) return false;
  for (std::size_t i = 0; i < nameChars; ++i) {
    if (le16(entry, 2 * i) != static_cast<std::uint8_t>(name[i])) return false;
  }
  return true;
}

struct Content {
  DocType type = DocType::None;
  bool encrypted = false;
};

// Which application the compound file belongs to, from its stream names. The walk stops at
// the first entry whose name length is not plausible.
Content decideContent(const std::vector<std::uint8_t>& dir) {
  Content c;
  bool hasEncryptionInfo = false;
  bool hasVersion = false;
  for (std::size_t off = 0; off + kDirEntryBytes <= dir.size(); off += kDirEntryBytes) {
    const Bytes entry = Bytes(dir).subspan(off, kDirEntryBytes);
    const std::uint16_t n = le16(entry, ole2::kDirNameLengthOffset);
    if (n < 4 || n > 64) break;
    const std::size_t chars = (n - 2u) / 2u;
    if (nameIs(entry, chars, "EncryptionInfo")) hasEncryptionInfo = true;
    else if (nameIs(entry, chars, "Version")) hasVersion = true;
    else if (nameIs(entry, chars, "WordDocument")) c.type = DocType::Word;
    else if (nameIs(entry, chars, "Workbook")) c.type = DocType::Excel;
    else if (nameIs(entry, chars, "PowerPoint Document")) c.type = DocType::PowerPoint;
  }
  c.encrypted = hasEncryptionInfo && hasVersion;
  if (c.encrypted && c.type == DocType::None) c.type = DocType::Excel;
  return c;
}

// The extension to save under, or "" when the family is not selected (or unknown).
std::string_view extensionFor(const Content& c, std::uint32_t typeFlags) {
  switch (c.type) {
    case DocType::Word:
      if (!(typeFlags & kFamilyDoc)) return {};
      return c.encrypted ? ".ENC.DOCX" : ".DOC";
    case DocType::Excel:
      if (!(typeFlags & kFamilyXls)) return {};
      return c.encrypted ? ".ENC.XLSX" : ".XLS";
    case DocType::PowerPoint:
      return (typeFlags & kFamilyPpt) ? ".PPT" : "";
    case DocType::None:
      break;
  }
  return {};
}

}  // namespace

void carveOle2(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  if (!carve.started()) return;
  if (!std::equal(ole2::kSignature.begin(), ole2::kSignature.end(), carve.bytes().begin())) return;
  if (le32(carve.bytes(), ole2::kByteOrderAndShiftOffset) != kByteOrderAndShift) return;

  std::vector<std::uint8_t> fat;
  if (!collectHeaderFat(carve, fat) || !collectChainedFat(carve, fat)) return;
  const std::int64_t length = documentLength(fat);
  if (length > kMaxDocumentBytes) return;
  if (length > 0 && !carve.fetchUpTo(length)) return;

  // Everything assembled is saved: the document rounded up to whole source sectors.
  const std::int64_t saved = carve.filled();
  const std::int64_t sectorLimit = saved / kCfSector - 2;
  std::vector<std::uint8_t> dir;
  if (!collectDirectory(carve, fat, sectorLimit, dir)) return;

  const Content content = decideContent(dir);
  carve.accept();
  const std::string_view extension = extensionFor(content, carve.typeFlags());
  if (extension.empty()) return;
  const std::int64_t index = carve.saveDocument(extension, kTypeOle2, saved);
  if (index >= 0 && extension == ".DOC") afterWordDocumentSaved(ctx, static_cast<std::size_t>(index));
}

void afterWordDocumentSaved(CarveContext&, std::size_t) {}

}  // namespace vellumark
