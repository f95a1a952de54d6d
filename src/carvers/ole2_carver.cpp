#include "carvers/ole2_carver.h"

#include <algorithm>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "carvers/carver_framework.h"
#include "carvers/compound_file.h"
#include "carvers/compound_gap_search.h"
#include "carvers/document_naming.h"
#include "carvers/gap_search.h"
#include "carvers/lookahead_supply.h"
#include "formats/ole2.h"
#include "scan/type_codes.h"

namespace vellumark {

namespace {

using ole2::kMaxDocumentBytes;

enum class DocType { None, Word, Excel, PowerPoint };

struct Content {
  DocType type = DocType::None;
  bool encrypted = false;
  // The entry of the stream that decided the type (for an encrypted package without an
  // application stream, its EncryptedPackage stream); -1 when there is none.
  std::ptrdiff_t mainStream = -1;
};

// Which application the compound file belongs to, from its stream names. An entry whose
// name length is not plausible (a blank root entry, say) is passed over, not taken as the
// end of the directory.
Content decideContent(const std::vector<cfb::DirEntry>& entries) {
  Content c;
  bool hasEncryptionInfo = false;
  bool hasVersion = false;
  std::ptrdiff_t package = -1;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const cfb::DirEntry& e = entries[i];
    if (e.nameLength < 4 || e.nameLength > 64) continue;
    const auto index = static_cast<std::ptrdiff_t>(i);
    if (e.nameIs("EncryptionInfo")) hasEncryptionInfo = true;
    else if (e.nameIs("Version")) hasVersion = true;
    else if (e.nameIs("EncryptedPackage")) package = index;
    else if (e.nameIs("WordDocument")) c = {DocType::Word, false, index};
    else if (e.nameIs("Workbook")) c = {DocType::Excel, false, index};
    else if (e.nameIs("PowerPoint Document")) c = {DocType::PowerPoint, false, index};
  }
  c.encrypted = hasEncryptionInfo && hasVersion;
  if (c.encrypted && c.type == DocType::None) c = {DocType::Excel, true, package};
  return c;
}

// Why a compound file is not whole, or "" when every check passes: its structure, and the
// stream that made it a document being there.
std::string damageOf(Bytes file, std::int64_t length, const cfb::Header& header, const cfb::Fat& fat,
                     const std::vector<cfb::DirEntry>& entries, const Content& content) {
  if (content.mainStream < 0) return "no application stream";
  const cfb::DirEntry& main = entries[static_cast<std::size_t>(content.mainStream)];
  if (main.type != ole2::kEntryStream || main.size == 0) return "no application stream";
  return cfb::checkStructure(file, length, header, fat, entries);
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

// Where the carve below would look for a noted header's FAT sector and directory sectors: the
// file's sector n + 1 (compound sector n) lies n free sectors past the one after the header.
struct FatLookPlan {
  const UsedSectorMap& claims;
  const cfb::NotedHeader& noted;
  std::int64_t startSector = 0;
  std::int64_t lastSector = 0;
  std::int64_t fatSector = -1;

  [[nodiscard]] std::int64_t sourceOf(std::int64_t n) const { return claims.freeSectorAfter(startSector + 1, n, lastSector); }
  // The carve fetches the file as far as its FAT says when the free sectors reach, and only
  // then goes on.
  [[nodiscard]] bool reachable(std::int64_t length) const {
    return length <= kNotedSectorBytes || sourceOf((length - 1) / kNotedSectorBytes - 1) >= 0;
  }
};

constexpr std::uint32_t kFatEntries = kNotedSectorBytes / 4;

// Where the FAT sector lies where the first pass saw it, the pass kept the link of a first
// directory sector below the FAT sector: that sector lies within the file however short its
// FAT says the file is, and a link past the longest it can say leaves the file whatever it says.
std::optional<std::string_view> toldByLink(CarveContext& ctx, const FatLookPlan& plan) {
  const std::uint32_t first = plan.noted.header.firstDirectorySector;
  const std::uint32_t fat = plan.noted.firstFatSector;
  std::array<std::uint8_t, 4> link{};
  if (first > fat || first >= kFatEntries || plan.fatSector != plan.startSector + 1 + fat ||
      !ctx.reader.peekHeld(plan.fatSector * kNotedSectorBytes + 4 * std::int64_t{first}, link))
    return std::nullopt;
  const std::uint32_t next = le32(Bytes(link), 0);
  const std::int64_t longest = std::max<std::int64_t>(fat, kFatEntries - 1);
  if (next == ole2::kEndOfChain || next <= longest || !plan.reachable(plan.noted.header.sectorEnd(kFatEntries - 1)))
    return std::nullopt;
  return cfb::kDirectoryBeyondFile;
}

// From the FAT sector itself, looked at: how long the file is, and where the first directory
// sector links to.
std::optional<std::string_view> toldByFatSector(CarveContext& ctx, const FatLookPlan& plan) {
  const cfb::Header& h = plan.noted.header;
  std::array<std::uint8_t, kNotedSectorBytes> fat{};
  if (!ctx.reader.peek(plan.fatSector * kNotedSectorBytes, fat)) return std::nullopt;
  const auto entry = [&fat](std::uint32_t i) { return le32(Bytes(fat), 4 * std::size_t{i}); };
  std::int64_t length = 0;
  for (std::uint32_t i = kFatEntries; i-- > 0;)
    if (entry(i) != ole2::kFreeSector) {
      length = h.sectorEnd(i);
      break;
    }
  if (length > 0 && !plan.reachable(length)) return std::nullopt;
  // As far as the carve would count the file reaching: the header, the FAT sector, the length.
  const std::int64_t reached = std::max({kNotedSectorBytes, h.sectorEnd(plan.noted.firstFatSector), length});
  const std::int64_t sectorLimit = reached / kNotedSectorBytes - 2;
  const std::uint32_t first = h.firstDirectorySector;
  if (first > sectorLimit) return cfb::kDirectoryBeyondFile;
  // The carve assembles the first directory sector before it looks at its link.
  const std::int64_t dirSector = plan.sourceOf(first);
  if (dirSector < 0 || !ctx.reader.readCleanly(plan.startSector, std::max(plan.fatSector, dirSector))) return std::nullopt;
  if (first >= kFatEntries) return cfb::kDirectoryBeyondFat;
  const std::uint32_t next = entry(first);
  if (next == ole2::kEndOfChain || next <= sectorLimit) return std::nullopt;
  return cfb::kDirectoryBeyondFile;
}

// The carve below, for a header noted with one 512-byte FAT sector and no DIFAT chain, up to
// the first link of its directory chain, from the FAT sector alone: it holds the header
// sector, looks at the FAT sector and the first directory sector where the stepping rule
// places them, and turns the header down when that sector has no FAT entry or its link
// leaves the file (a header of noise, whose FAT is noise too). Only where the scan read
// every sector up to both cleanly, so that no read of the carve could have failed; the
// reason the carve would give, with one look of a sector at most. nullopt when the carve has
// to be made.
std::optional<std::string_view> toldByFat(CarveContext& ctx, const FatLookPlan& plan) {
  const cfb::NotedHeader& noted = plan.noted;
  if (!noted.onlyFatSector || !noted.noDifatChain || !noted.directoryNoted) return std::nullopt;
  if (!ctx.reader.readCleanly(plan.startSector, plan.fatSector)) return std::nullopt;
  if (std::optional<std::string_view> why = toldByLink(ctx, plan)) return why;
  return toldByFatSector(ctx, plan);
}

// The header noted when the candidate was found lists a first FAT sector that the carve below
// would turn down before it reads anything past the header: one beyond the sector limit, or
// one further on than the free sectors left in the range (the claims since only make them
// fewer); or, past that, one whose FAT tells as much (toldByFat). The candidate is turned
// down as that carve would, without reading the header again.
bool turnedDownUnread(CarveContext& ctx, std::int64_t startOffset) {
  const std::optional<cfb::NotedHeader> noted = cfb::notedHeader(ctx.note);
  if (!noted) return false;
  CarveSettings settings;
  const std::int64_t startSector = freeFirstSector(ctx, startOffset, settings);
  if (startSector < 0 || settings.bytesPerSector != kNotedSectorBytes) return false;
  const cfb::Header& h = noted->header;
  std::optional<std::string_view> why;
  FatLookPlan plan{ctx.claims, *noted, startSector, settings.scanEndSector};
  if (noted->firstFatSector > h.initialSectorLimit()) {
    why = cfb::kFatSectorUnusable;
  } else {
    // The carve holds the header sector and looks for the FAT sector's first byte this many
    // free sectors past it.
    plan.fatSector = plan.sourceOf((h.sectorOffset(noted->firstFatSector) - kNotedSectorBytes) / kNotedSectorBytes);
    if (plan.fatSector < 0) why = cfb::kFatSectorNotAssembled;
    else if (h.sectorBytes == kNotedSectorBytes) why = toldByFat(ctx, plan);
  }
  if (!why) return false;
  ctx.reporter.rejected(startSector, *why);
  return true;
}

}  // namespace

void carveOle2(CarveContext& ctx, std::int64_t startOffset) {
  if (turnedDownUnread(ctx, startOffset)) return;
  Carve carve(ctx, startOffset);
  if (!carve.started()) return;
  const std::optional<cfb::Header> header = cfb::readHeader(carve.bytes());
  if (!header) return carve.reject("no compound-file header of 512- or 4096-byte sectors");

  LookaheadSupply supply(carve, header->sectorBytes);
  cfb::Fat fat;
  if (const std::string why = cfb::collectFat(supply, *header, fat); !why.empty()) return carve.reject(why);
  const std::int64_t length = cfb::describedLength(*header, fat);
  if (length > kMaxDocumentBytes) return carve.reject("its FAT describes more than 200 MiB");
  // The file's sectors are fetched only once its directory makes it a document: a header of
  // noise whose FAT describes megabytes is turned down without reading them. Where they run
  // past the scan range the fetch is made, to fail as it always has.
  if (length > 0 && !supply.extendTo(length) && !carve.fetchUpTo(length)) return;

  // The last compound sector wholly inside the assembled bytes.
  const std::int64_t sectorLimit = supply.reached() / header->sectorBytes - 2;
  std::vector<std::uint8_t> dir;
  if (const std::string why = cfb::collectDirectory(supply, *header, fat, sectorLimit, dir); !why.empty())
    return carve.reject(why);
  const std::vector<cfb::DirEntry> entries = cfb::parseDirectory(dir);

  const Content content = decideContent(entries);
  const std::string_view extension = extensionFor(content, carve.typeFlags());
  // A file that is no document of a selected family is only traced: its sectors are taken
  // unread (a header of noise may describe a hundred megabytes).
  if (extension.empty()) {
    if (!supply.settleUnread()) return;
    carve.accept();
    return;
  }
  // Only the file's first `length` bytes are looked at from here on; the sectors beyond them
  // up to a FAT or directory sector that lies past the end are still taken.
  if (!supply.settle(length)) return;
  carve.accept();
  // The document is saved as long as its FAT says, not rounded up to source sectors: what
  // follows on the disk is not part of it.
  if (!damageOf(carve.bytes(), length, *header, fat, entries, content).empty()) {
    carve.saveDamaged(extension, kTypeOle2, length);
    return;
  }
  const std::int64_t index = carve.saveDocument(extension, kTypeOle2, length);
  if (index >= 0 && !content.encrypted)
    afterDocumentSaved(ctx, static_cast<std::size_t>(index), carve.bytes().first(static_cast<std::size_t>(length)),
                       content.type == DocType::Word);
}

void carveOle2Confirmed(CarveContext& ctx, std::int64_t startOffset) {
  const CarveSettings settings = ctx.settings.current(startOffset);
  if (settings.bytesPerSector == 0) return;
  const GapSearchGeometry geometry = searchGeometry(settings, ctx.claims);
  const std::int64_t startSector = startOffset / settings.bytesPerSector;
  GapSearchLimits limits = compoundSearchLimits();
  cfb::CompoundFragmentCheck check;
  std::optional<FragmentAssembly> found;
  GapSearchWork work;
  try {
    const std::int64_t length =
        cfb::hintStructure(check, ctx.claims, ctx.reader, geometry, startSector, limits.windowClusters,
                           cfb::HintAids{ctx.memory, ctx.note, ctx.marks});
    // No FAT among the clusters ahead, where even a file in pieces would keep it: nothing
    // the search takes could be checked until the FAT, so a header of noise costs no search.
    if (length < 0) return;
    // Where the FAT tells the length, no piece of the file lies further away than about
    // twice its length: a narrower window keeps the clusters tried at a dead end few.
    const std::int64_t clusterBytes = std::int64_t{geometry.bytesPerSector} * geometry.sectorsPerCluster;
    if (length > 0) limits.windowClusters = std::clamp<std::int64_t>(2 * (length / clusterBytes) + 64, 128, limits.windowClusters);
    found = searchFragments(ctx.claims, ctx.reader, geometry, startSector, check, limits, work);
  } catch (const std::bad_alloc&) {
    return;  // the ordinary pass reports what the document needed
  }
  if (!found) return;
  const Bytes document = check.document();
  const auto length = static_cast<std::int64_t>(document.size());
  if (length == 0 || !cfb::trustworthy(check, *found, geometry, startSector, length)) return;
  const std::optional<cfb::CompoundFile> cf = cfb::openCompoundFile(document);
  if (!cf) return;
  const Content content = decideContent(cf->entries);
  Carve carve(ctx, startOffset);
  if (!carve.started()) return;
  const std::string_view extension = extensionFor(content, carve.typeFlags());
  // Only a whole document of a selected family is claimed here; anything else is left, as
  // it was, to the ordinary pass.
  if (extension.empty() || !damageOf(document, length, cf->header, cf->fat, cf->entries, content).empty()) return;
  if (!carve.adopt(found->sectors, document)) return;
  carve.accept();
  const std::int64_t index = carve.saveDocument(extension, kTypeOle2, length);
  if (index >= 0 && !content.encrypted)
    afterDocumentSaved(ctx, static_cast<std::size_t>(index), carve.bytes().first(static_cast<std::size_t>(length)),
                       content.type == DocType::Word);
}

void afterDocumentSaved(CarveContext& ctx, std::size_t recoveredIndex, Bytes document, bool word) {
  ctx.documents.describe(recoveredIndex, describeCompoundFile(document, word));
}

}  // namespace vellumark
