#include "carvers/compound_file.h"

#include <algorithm>
#include <array>

namespace vellumark::cfb {

namespace {

using ole2::kEndOfChain;
using ole2::kFreeSector;

// More FAT than this cannot belong to a document under the length limit: 4096 sectors of 512
// bytes describe 256 MiB. Refused before it eats memory.
constexpr std::size_t kMaxFatBytes = 4096 * 512;

std::uint64_t ceilDiv(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

// Appends sector n (assembled through the supply) to a table.
bool appendSector(ByteSupply& supply, const Header& h, std::uint32_t n, std::vector<std::uint8_t>& table) {
  if (!supply.ensure(h.sectorEnd(n))) return false;
  const Bytes sector = supply.range(h.sectorOffset(n), h.sectorBytes);
  if (sector.size() != static_cast<std::size_t>(h.sectorBytes)) return false;
  table.insert(table.end(), sector.begin(), sector.end());
  return true;
}

std::vector<std::uint32_t> entriesOf(const std::vector<std::uint8_t>& table) {
  std::vector<std::uint32_t> out(table.size() / 4);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = le32(table, 4 * i);
  return out;
}

// FAT and DIFAT sectors met so far: each may be listed once. Most headers list a handful,
// so the first few are kept in a list; a map of every sector up to the limit is made only
// for a file that lists more.
class SeenSet {
 public:
  explicit SeenSet(std::int64_t limit) : limit_(limit) {}
  // False when n is beyond the limit or was seen before.
  bool add(std::uint32_t n) {
    if (static_cast<std::int64_t>(n) > limit_) return false;
    if (seen_.empty()) {
      const auto listed = few_.begin() + static_cast<std::ptrdiff_t>(fewCount_);
      if (std::find(few_.begin(), listed, n) != listed) return false;
      if (fewCount_ < few_.size()) {
        few_[fewCount_++] = n;
        return true;
      }
      seen_.assign(static_cast<std::size_t>(limit_ + 1), false);
      for (const std::uint32_t s : few_) seen_[s] = true;
    }
    if (seen_[n]) return false;
    seen_[n] = true;
    return true;
  }

 private:
  std::int64_t limit_;
  std::array<std::uint32_t, 32> few_{};
  std::size_t fewCount_ = 0;
  std::vector<bool> seen_;
};

std::string addFatSector(ByteSupply& supply, const Header& h, std::uint32_t e, SeenSet& seen, Fat& fat,
                         std::vector<std::uint8_t>& table) {
  if (!seen.add(e)) return std::string(kFatSectorUnusable);
  if (table.size() + static_cast<std::size_t>(h.sectorBytes) > kMaxFatBytes) return "more FAT than a document can have";
  if (!appendSector(supply, h, e, table)) return std::string(kFatSectorNotAssembled);
  fat.fatSectors.push_back(e);
  return {};
}

}  // namespace

bool DirEntry::nameIs(std::string_view ascii) const {
  if (name.size() != ascii.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (name[i] != static_cast<unsigned char>(ascii[i])) return false;
  return true;
}

std::optional<Header> readHeader(Bytes file) {
  if (!fits(file, 0, ole2::kHeaderBytes)) return std::nullopt;
  if (!std::equal(ole2::kSignature.begin(), ole2::kSignature.end(), file.begin())) return std::nullopt;
  Header h;
  const std::uint32_t orderAndShift = le32(file, ole2::kByteOrderAndShiftOffset);
  if (orderAndShift == ole2::kByteOrderAndShift) h.sectorBytes = ole2::kSectorBytes;
  else if (orderAndShift == ole2::kByteOrderAndShift4096) h.sectorBytes = ole2::kLargeSectorBytes;
  else return std::nullopt;
  h.majorVersion = le16(file, ole2::kMajorVersionOffset);
  // 4096-byte sectors come only with version 4; 512-byte ones are written by version 3
  // writers (and some early ones that leave the version field as they found it).
  if (h.sectorBytes == ole2::kLargeSectorBytes && h.majorVersion != 4) return std::nullopt;
  h.fatSectors = le32(file, ole2::kFatSectorCountOffset);
  h.firstDirectorySector = le32(file, ole2::kFirstDirectorySectorOffset);
  h.miniStreamCutoff = le32(file, ole2::kMiniStreamCutoffOffset);
  h.firstMiniFatSector = le32(file, ole2::kFirstMiniFatSectorOffset);
  h.miniFatSectors = le32(file, ole2::kMiniFatSectorCountOffset);
  h.firstDifatSector = le32(file, ole2::kFirstDifatSectorOffset);
  h.difatSectors = le32(file, ole2::kDifatSectorCountOffset);
  return h;
}

namespace {

constexpr std::uint32_t kNoted = 0x80000000;
constexpr std::uint32_t kNotedLargeSectors = 0x40000000;
constexpr std::uint32_t kNotedOnlyFatSector = 0x20000000;
constexpr int kNotedWithoutFatShift = 23;  // 6 bits: sectors after the header that hold no FAT
constexpr std::uint32_t kNotedMostWithoutFat = 63;
constexpr std::uint32_t kNotedSectorMask = (1u << kNotedWithoutFatShift) - 1;
// The upper half: the first directory sector in 23 bits, when it fits in them; whether it
// does; and whether no DIFAT chain begins.
constexpr int kNotedDirectoryShift = 32;
constexpr std::uint64_t kNotedDirectoryMask = (std::uint64_t{1} << 23) - 1;
constexpr std::uint64_t kNotedNoDifatChain = std::uint64_t{1} << 23;
constexpr std::uint64_t kNotedDirectory = std::uint64_t{1} << 24;

// The 512-byte sectors at the start of `following`, up to 63, none of which could hold a
// FAT sector.
std::uint32_t sectorsWithoutFat(Bytes following) {
  std::uint32_t n = 0;
  for (; n < kNotedMostWithoutFat && (n + 1) * std::size_t{512} <= following.size(); ++n)
    if (mayHoldFatSector(following.subspan(n * std::size_t{512}, 512))) break;
  return n;
}

}  // namespace

bool mayHoldFatSector(Bytes cluster) {
  constexpr auto kMostLinks = static_cast<std::uint32_t>(1024 * ole2::kHeaderDifatEntries);
  for (std::size_t slot = 0; slot + 512 <= cluster.size(); slot += 512) {
    bool fine = true;
    for (std::size_t i = slot; fine && i < slot + 512; i += 4) {
      const std::uint32_t v = le32(cluster, i);
      fine = v < kMostLinks || v >= ole2::kFatSectorMark;
    }
    if (fine) return true;
  }
  return false;
}

std::uint64_t headerNote(Bytes firstSector, Bytes following) {
  const std::optional<Header> h = readHeader(firstSector);
  if (!h) return 0;
  const std::uint32_t first = le32(firstSector, ole2::kHeaderDifatOffset);
  if (first == kFreeSector) return 0;
  const auto limit = static_cast<std::uint32_t>(h->initialSectorLimit());
  std::uint32_t note = kNoted | (h->sectorBytes == ole2::kLargeSectorBytes ? kNotedLargeSectors : 0) | std::min(first, limit + 1);
  if (h->fatSectors == 1 && le32(firstSector, ole2::kHeaderDifatOffset + 4) == kFreeSector) note |= kNotedOnlyFatSector;
  // Sectors of 512 bytes only: those are the slots a FAT sector is looked for in.
  if (firstSector.size() == 512) note |= sectorsWithoutFat(following) << kNotedWithoutFatShift;
  std::uint64_t upper = h->firstDirectorySector <= kNotedDirectoryMask ? kNotedDirectory | h->firstDirectorySector : 0;
  if (h->firstDifatSector == kEndOfChain || h->firstDifatSector == kFreeSector) upper |= kNotedNoDifatChain;
  return note | upper << kNotedDirectoryShift;
}

std::int64_t directoryLinkAhead(Bytes firstSector) {
  const std::optional<Header> h = readHeader(firstSector);
  if (!h || h->sectorBytes != ole2::kSectorBytes || h->fatSectors != 1) return -1;
  if (h->firstDifatSector != kEndOfChain && h->firstDifatSector != kFreeSector) return -1;
  const std::uint32_t fat = le32(firstSector, ole2::kHeaderDifatOffset);
  if (le32(firstSector, ole2::kHeaderDifatOffset + 4) != kFreeSector || fat > h->initialSectorLimit()) return -1;
  const std::uint32_t first = h->firstDirectorySector;
  if (first > fat || 4 * std::int64_t{first} + 8 > h->sectorBytes) return -1;
  return h->sectorOffset(fat) + 4 * std::int64_t{first};
}

std::optional<NotedHeader> notedHeader(std::uint64_t note) {
  if ((note & kNoted) == 0) return std::nullopt;
  NotedHeader n;
  n.header.sectorBytes = (note & kNotedLargeSectors) != 0 ? ole2::kLargeSectorBytes : ole2::kSectorBytes;
  n.firstFatSector = note & kNotedSectorMask;
  n.onlyFatSector = (note & kNotedOnlyFatSector) != 0;
  n.sectorsWithoutFat = (note >> kNotedWithoutFatShift) & kNotedMostWithoutFat;
  const std::uint64_t upper = note >> kNotedDirectoryShift;
  n.directoryNoted = (upper & kNotedDirectory) != 0;
  n.header.firstDirectorySector = static_cast<std::uint32_t>(upper & kNotedDirectoryMask);
  n.noDifatChain = (upper & kNotedNoDifatChain) != 0;
  return n;
}

std::string collectFat(ByteSupply& supply, const Header& h, Fat& fat) {
  const std::int64_t limit = h.initialSectorLimit();
  SeenSet seen(limit);
  std::vector<std::uint8_t> table;
  const Bytes header = supply.range(0, ole2::kHeaderBytes);
  for (std::size_t i = 0; i < ole2::kHeaderDifatEntries; ++i) {
    const std::uint32_t e = le32(header, ole2::kHeaderDifatOffset + 4 * i);
    if (e == kFreeSector) break;
    if (std::string problem = addFatSector(supply, h, e, seen, fat, table); !problem.empty()) return problem;
  }
  const std::size_t perDifat = static_cast<std::size_t>(h.sectorBytes / 4 - 1);
  std::uint32_t d = h.firstDifatSector;
  while (d != kEndOfChain && d != kFreeSector) {
    // The seen-set also ends a chain that comes back on itself.
    if (!seen.add(d)) return "DIFAT sector out of range or listed twice";
    if (!supply.ensure(h.sectorEnd(d))) return "DIFAT sector not assembled";
    fat.difatSectors.push_back(d);
    // A copy: fetching the FAT sectors it lists may move what the supply holds.
    const Bytes held = supply.range(h.sectorOffset(d), h.sectorBytes);
    const std::vector<std::uint8_t> difat(held.begin(), held.end());
    for (std::size_t i = 0; i < perDifat; ++i) {
      const std::uint32_t e = le32(difat, 4 * i);
      if (e == kFreeSector) continue;
      if (std::string problem = addFatSector(supply, h, e, seen, fat, table); !problem.empty()) return problem;
    }
    d = le32(difat, 4 * perDifat);
  }
  fat.entries = entriesOf(table);
  return {};
}

std::int64_t describedLength(const Header& h, const Fat& fat) {
  for (std::size_t i = fat.entries.size(); i-- > 0;)
    if (fat.entries[i] != kFreeSector) return h.sectorEnd(static_cast<std::uint32_t>(i));
  return 0;
}

std::string collectDirectory(ByteSupply& supply, const Header& h, const Fat& fat, std::int64_t sectorLimit,
                             std::vector<std::uint8_t>& directory) {
  const std::size_t maxBytes = kMaxDirectorySectors * static_cast<std::size_t>(h.sectorBytes);
  std::uint32_t d = h.firstDirectorySector;
  while (d != kEndOfChain) {
    if (static_cast<std::int64_t>(d) > sectorLimit) return std::string(kDirectoryBeyondFile);
    if (directory.size() >= maxBytes) return "directory too long";
    if (!appendSector(supply, h, d, directory)) return "directory sector not assembled";
    if (d >= fat.entries.size()) return std::string(kDirectoryBeyondFat);
    d = fat.entries[d];
  }
  return {};
}

std::vector<DirEntry> parseDirectory(Bytes directory) {
  std::vector<DirEntry> out;
  for (std::size_t off = 0; off + ole2::kDirEntryBytes <= directory.size(); off += ole2::kDirEntryBytes) {
    const Bytes e = directory.subspan(off, ole2::kDirEntryBytes);
    DirEntry d;
    d.nameLength = le16(e, ole2::kDirNameLengthOffset);
    const std::size_t chars = std::min<std::size_t>(d.nameLength, ole2::kDirNameBytes) / 2;
    for (std::size_t i = 0; i + 1 < chars; ++i) d.name.push_back(static_cast<char16_t>(le16(e, 2 * i)));
    d.type = u8At(e, ole2::kDirTypeOffset);
    d.color = u8At(e, ole2::kDirColorOffset);
    d.left = le32(e, ole2::kDirLeftSiblingOffset);
    d.right = le32(e, ole2::kDirRightSiblingOffset);
    d.child = le32(e, ole2::kDirChildOffset);
    d.startSector = le32(e, ole2::kDirStartSectorOffset);
    d.size = le64(e, ole2::kDirStreamSizeOffset);
    out.push_back(std::move(d));
  }
  return out;
}

std::string followChain(const std::vector<std::uint32_t>& next, std::uint32_t start, std::int64_t sectorCount,
                        std::size_t maxLength, std::vector<std::uint32_t>& chain) {
  chain.clear();
  std::vector<bool> visited(static_cast<std::size_t>(std::max<std::int64_t>(sectorCount, 0)), false);
  std::uint32_t s = start;
  while (s != kEndOfChain) {
    if (static_cast<std::int64_t>(s) >= sectorCount || s >= next.size()) return "chain leaves the file";
    if (visited[s]) return "chain loops";
    if (chain.size() >= maxLength) return "chain longer than its stream";
    visited[s] = true;
    chain.push_back(s);
    s = next[s];
    if (s > ole2::kHighestRegularSector && s != kEndOfChain) return "free or special sector inside a chain";
  }
  return {};
}

namespace {

// The checks of checkStructure, sharing what they learn.
class StructureCheck {
 public:
  StructureCheck(Bytes file, std::int64_t length, const Header& h, const Fat& fat, const std::vector<DirEntry>& entries)
      : file_(file), h_(h), fat_(fat), entries_(entries),
        sectorCount_(length / h.sectorBytes - 1),
        owned_(static_cast<std::size_t>(std::max<std::int64_t>(sectorCount_, 0)), false) {}

  std::string run() {
    if (sectorCount_ <= 0 || static_cast<std::int64_t>(file_.size()) < h_.sectorEnd(static_cast<std::uint32_t>(sectorCount_ - 1)))
      return "file shorter than its FAT";
    if (h_.fatSectors != fat_.fatSectors.size()) return "FAT sector count";
    for (std::uint32_t s : fat_.fatSectors)
      if (!own(s)) return "FAT sector beyond the file or in a chain";
    for (std::uint32_t s : fat_.difatSectors)
      if (!own(s)) return "DIFAT sector beyond the file or in a chain";
    std::vector<std::uint32_t> chain;
    if (std::string p = ownChain(fat_.entries, h_.firstDirectorySector, chain); !p.empty()) return "directory " + p;
    if (std::string p = miniFat(); !p.empty()) return p;
    if (std::string p = entries(); !p.empty()) return p;
    return tree();
  }

 private:
  bool own(std::uint32_t s) {
    if (static_cast<std::int64_t>(s) >= sectorCount_ || owned_[s]) return false;
    owned_[s] = true;
    return true;
  }

  std::string ownChain(const std::vector<std::uint32_t>& next, std::uint32_t start, std::vector<std::uint32_t>& chain) {
    if (std::string p = followChain(next, start, sectorCount_, static_cast<std::size_t>(sectorCount_), chain); !p.empty()) return p;
    for (std::uint32_t s : chain)
      if (!own(s)) return "sector in two chains";
    return {};
  }

  std::string miniFat() {
    if (h_.miniFatSectors == 0 && h_.firstMiniFatSector == kEndOfChain) return {};
    std::vector<std::uint32_t> chain;
    if (std::string p = ownChain(fat_.entries, h_.firstMiniFatSector, chain); !p.empty()) return "mini FAT " + p;
    if (chain.size() != h_.miniFatSectors) return "mini FAT sector count";
    std::vector<std::uint8_t> table;
    for (std::uint32_t s : chain) {
      const auto at = static_cast<std::size_t>(h_.sectorOffset(s));
      table.insert(table.end(), file_.begin() + static_cast<std::ptrdiff_t>(at),
                   file_.begin() + static_cast<std::ptrdiff_t>(at + static_cast<std::size_t>(h_.sectorBytes)));
    }
    miniFat_ = entriesOf(table);
    return {};
  }

  std::uint64_t sizeOf(const DirEntry& e) const {
    // Version 3 files keep only 32 bits of size; old writers leave the high half undefined.
    return h_.majorVersion == 4 ? e.size : (e.size & 0xFFFFFFFFu);
  }

  std::string entries() {
    if (entries_.empty() || entries_[0].type != ole2::kEntryRoot) return "no root entry";
    const std::uint64_t rootSize = sizeOf(entries_[0]);
    // The mini stream is the root's chain of big sectors, so it lies inside the file; only
    // then may its size decide how many mini sectors are tracked.
    if (rootSize > static_cast<std::uint64_t>(sectorCount_) * static_cast<std::uint64_t>(h_.sectorBytes))
      return "mini stream longer than the file";
    const std::int64_t miniSectors = static_cast<std::int64_t>(ceilDiv(rootSize, ole2::kMiniSectorBytes));
    std::vector<bool> miniOwned(static_cast<std::size_t>(miniSectors), false);
    const std::uint32_t count = static_cast<std::uint32_t>(entries_.size());
    std::vector<std::uint32_t> chain;
    for (std::uint32_t i = 0; i < count; ++i) {
      const DirEntry& e = entries_[i];
      if (e.type == ole2::kEntryUnused) continue;
      if (e.type != ole2::kEntryStorage && e.type != ole2::kEntryStream && e.type != ole2::kEntryRoot) return "directory entry type";
      if ((e.type == ole2::kEntryRoot) != (i == 0)) return "directory root entry";
      const bool blankRoot = i == 0 && e.nameLength == 0;
      if (!blankRoot && (e.nameLength < 2 || e.nameLength > 64 || e.nameLength % 2 != 0)) return "directory name length";
      if (e.color > 1) return "directory entry colour";
      for (std::uint32_t link : {e.left, e.right, e.child})
        if (link != ole2::kNoStream && link >= count) return "directory link beyond the directory";
      if (e.type == ole2::kEntryStorage) continue;
      const std::uint64_t size = sizeOf(e);
      if (size == 0) continue;
      if (e.type == ole2::kEntryRoot || size >= h_.miniStreamCutoff) {
        if (std::string p = ownChain(fat_.entries, e.startSector, chain); !p.empty()) return "stream " + p;
        if (chain.size() != ceilDiv(size, static_cast<std::uint64_t>(h_.sectorBytes))) return "stream chain length";
        continue;
      }
      if (std::string p = followChain(miniFat_, e.startSector, miniSectors, static_cast<std::size_t>(miniSectors), chain); !p.empty())
        return "mini stream " + p;
      if (chain.size() != ceilDiv(size, ole2::kMiniSectorBytes)) return "mini stream chain length";
      for (std::uint32_t s : chain) {
        if (miniOwned[s]) return "mini sector in two streams";
        miniOwned[s] = true;
      }
    }
    return {};
  }

  // Every entry in use is reached exactly once from the root through the sibling and child
  // links, and nothing reached is unused.
  std::string tree() {
    const std::size_t count = entries_.size();
    std::vector<bool> reached(count, false);
    std::vector<std::uint32_t> pending{entries_[0].child};
    reached[0] = true;
    while (!pending.empty()) {
      const std::uint32_t i = pending.back();
      pending.pop_back();
      if (i == ole2::kNoStream) continue;
      if (i >= count || reached[i] || entries_[i].type == ole2::kEntryUnused || entries_[i].type == ole2::kEntryRoot)
        return "directory tree";
      reached[i] = true;
      pending.push_back(entries_[i].left);
      pending.push_back(entries_[i].right);
      if (entries_[i].type == ole2::kEntryStorage) pending.push_back(entries_[i].child);
      else if (entries_[i].child != ole2::kNoStream) return "directory tree";
    }
    for (std::size_t i = 0; i < count; ++i)
      if (!reached[i] && entries_[i].type != ole2::kEntryUnused) return "directory entry outside the tree";
    return {};
  }

  Bytes file_;
  const Header& h_;
  const Fat& fat_;
  const std::vector<DirEntry>& entries_;
  std::int64_t sectorCount_;
  std::vector<bool> owned_;
  std::vector<std::uint32_t> miniFat_;
};

std::optional<std::vector<std::uint8_t>> chainBytes(Bytes source, const std::vector<std::uint32_t>& next, std::uint32_t start,
                                                    std::int64_t unit, std::int64_t base, std::uint64_t size) {
  const std::int64_t count = (static_cast<std::int64_t>(source.size()) - base) / unit;
  std::vector<std::uint32_t> chain;
  if (!followChain(next, start, count, static_cast<std::size_t>(count), chain).empty()) return std::nullopt;
  if (chain.size() * static_cast<std::uint64_t>(unit) < size) return std::nullopt;
  std::vector<std::uint8_t> out;
  out.reserve(static_cast<std::size_t>(size));
  for (std::uint32_t s : chain) {
    const auto at = static_cast<std::size_t>(base + unit * s);
    const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(unit), static_cast<std::size_t>(size) - out.size());
    if (!fits(source, at, take)) return std::nullopt;
    out.insert(out.end(), source.begin() + static_cast<std::ptrdiff_t>(at), source.begin() + static_cast<std::ptrdiff_t>(at + take));
    if (out.size() == size) break;
  }
  return out;
}

}  // namespace

std::string checkStructure(Bytes file, std::int64_t length, const Header& header, const Fat& fat,
                           const std::vector<DirEntry>& entries) {
  return StructureCheck(file, length, header, fat, entries).run();
}

std::optional<std::vector<std::uint8_t>> readStream(Bytes file, const Header& h, const Fat& fat,
                                                    const std::vector<DirEntry>& entries, const DirEntry& entry) {
  const std::uint64_t size = h.majorVersion == 4 ? entry.size : (entry.size & 0xFFFFFFFFu);
  // Sectors are counted from the one after the header: sector n at sectorBytes * (n + 1).
  const Bytes sectors = file.size() > static_cast<std::size_t>(h.sectorBytes) ? file : Bytes{};
  if (entry.type == ole2::kEntryRoot || size >= h.miniStreamCutoff)
    return chainBytes(sectors, fat.entries, entry.startSector, h.sectorBytes, h.sectorBytes, size);
  if (entries.empty() || size == 0) return std::vector<std::uint8_t>{};
  std::vector<std::uint8_t> miniTable;
  if (h.miniFatSectors > 0) {
    auto bytes = chainBytes(sectors, fat.entries, h.firstMiniFatSector, h.sectorBytes, h.sectorBytes,
                            std::uint64_t{h.miniFatSectors} * static_cast<std::uint64_t>(h.sectorBytes));
    if (!bytes) return std::nullopt;
    miniTable = std::move(*bytes);
  }
  auto miniStream = readStream(file, h, fat, {}, entries[0]);
  if (!miniStream) return std::nullopt;
  return chainBytes(*miniStream, entriesOf(miniTable), entry.startSector, ole2::kMiniSectorBytes, 0, size);
}

const DirEntry* CompoundFile::stream(std::string_view ascii) const {
  for (const DirEntry& e : entries)
    if (e.type == ole2::kEntryStream && e.nameIs(ascii)) return &e;
  return nullptr;
}

std::optional<CompoundFile> openCompoundFile(Bytes file) {
  std::optional<Header> header = readHeader(file);
  if (!header) return std::nullopt;
  CompoundFile cf;
  cf.header = *header;
  WholeFile supply(file);
  if (!collectFat(supply, cf.header, cf.fat).empty()) return std::nullopt;
  const std::int64_t sectorLimit = static_cast<std::int64_t>(file.size()) / cf.header.sectorBytes - 2;
  std::vector<std::uint8_t> directory;
  if (!collectDirectory(supply, cf.header, cf.fat, sectorLimit, directory).empty()) return std::nullopt;
  cf.entries = parseDirectory(directory);
  return cf;
}

}  // namespace vellumark::cfb
