#include "source/partition_table.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "util/byte_reader.h"
#include "util/crc32.h"

namespace vellumark {

namespace {

constexpr std::size_t kMbrEntries = 446;
constexpr std::size_t kMbrEntrySize = 16;
constexpr std::uint8_t kMbrProtective = 0xEE;
constexpr std::size_t kGptHeaderMin = 92;
constexpr std::size_t kGptEntryMin = 128;

bool isExtendedType(std::uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

struct RawMbrEntry {
  std::uint8_t status = 0;
  std::uint8_t type = 0;
  std::uint32_t start = 0;
  std::uint32_t count = 0;
};

RawMbrEntry mbrEntry(Bytes sector, int i) {
  const std::size_t at = kMbrEntries + static_cast<std::size_t>(i) * kMbrEntrySize;
  return {u8At(sector, at), u8At(sector, at + 4), le32(sector, at + 8), le32(sector, at + 12)};
}

bool hasBootSignature(Bytes sector) { return le16(sector, 510) == 0xAA55; }

// A sector that holds an MBR-style table: the signature, and every entry's status byte
// 0x00 or 0x80 (boot code of a volume boot sector seldom passes that).
bool looksLikeMbr(Bytes sector) {
  if (!hasBootSignature(sector)) return false;
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t status = mbrEntry(sector, i).status;
    if (status != 0x00 && status != 0x80) return false;
  }
  return true;
}

class TableReader {
 public:
  TableReader(const DiskReader& read, std::uint64_t diskBytes, PartitionTable& table)
      : read_(read), diskBytes_(diskBytes), table_(table) {}

  [[nodiscard]] std::uint64_t sectors() const { return diskBytes_ / table_.sectorSize; }

  // One or more whole sectors from sector s; empty when they cannot be read.
  [[nodiscard]] std::vector<std::uint8_t> sectorsAt(std::uint64_t s, std::uint64_t count) const {
    const std::uint64_t bps = table_.sectorSize;
    if (count == 0 || s >= sectors() || count > sectors() - s) return {};
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count * bps));
    if (!read_(s * bps, bytes)) return {};
    return bytes;
  }

  void problem(std::string text) { table_.problems.push_back(std::move(text)); }

  void add(PartitionEntry entry) {
    const std::uint64_t total = sectors();
    if (entry.firstSector >= total || entry.sectorCount > total - entry.firstSector)
      problem("partition " + std::to_string(entry.number) + " reaches past the end of the disk");
    table_.partitions.push_back(std::move(entry));
  }

 private:
  const DiskReader& read_;
  std::uint64_t diskBytes_;
  PartitionTable& table_;
};

// The chain of extended boot records: each holds one logical partition (relative to
// itself) and the link to the next (relative to the start of the extended partition).
void readLogicalPartitions(TableReader& r, std::uint64_t extendedStart, std::uint64_t extendedCount) {
  std::set<std::uint64_t> visited;
  std::uint64_t ebr = extendedStart;
  int number = 5;
  while (number < 5 + kMaxLogicalPartitions) {
    if (!visited.insert(ebr).second) {
      r.problem("the chain of logical partitions loops back on itself");
      return;
    }
    const std::vector<std::uint8_t> sector = r.sectorsAt(ebr, 1);
    if (sector.empty() || !hasBootSignature(sector)) {
      r.problem("an extended boot record at sector " + std::to_string(ebr) + " cannot be read or is not valid");
      return;
    }
    const RawMbrEntry logical = mbrEntry(sector, 0);
    if (logical.type != 0 && logical.count != 0) {
      PartitionEntry e;
      e.number = number++;
      e.firstSector = ebr + logical.start;
      e.sectorCount = logical.count;
      e.logical = true;
      e.mbrType = logical.type;
      r.add(std::move(e));
    }
    const RawMbrEntry link = mbrEntry(sector, 1);
    if (link.type == 0 || link.count == 0) return;
    if (!isExtendedType(link.type) || link.start >= extendedCount) {
      r.problem("a link in the chain of logical partitions points outside the extended partition");
      return;
    }
    ebr = extendedStart + link.start;
  }
  r.problem("more than " + std::to_string(kMaxLogicalPartitions) + " logical partitions; the rest are ignored");
}

void readMbr(TableReader& r, Bytes sector) {
  bool extendedSeen = false;
  for (int i = 0; i < 4; ++i) {
    const RawMbrEntry raw = mbrEntry(sector, i);
    if (raw.type == 0 || raw.count == 0) continue;
    if (isExtendedType(raw.type)) {
      if (extendedSeen) {
        r.problem("a second extended partition is ignored");
        continue;
      }
      extendedSeen = true;
      readLogicalPartitions(r, raw.start, raw.count);
      continue;
    }
    PartitionEntry e;
    e.number = i + 1;
    e.firstSector = raw.start;
    e.sectorCount = raw.count;
    e.mbrType = raw.type;
    r.add(std::move(e));
  }
}

std::string utf16Name(Bytes raw) {
  std::string out;
  for (std::size_t i = 0; i + 1 < raw.size(); i += 2) {
    const std::uint32_t c = le16(raw, i);
    if (c == 0) break;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      out += '?';  // surrogate halves are not paired up: names are shown, not compared
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

struct GptHeader {
  std::uint64_t myLba = 0;
  std::uint64_t alternateLba = 0;
  std::uint64_t entriesLba = 0;
  std::uint32_t entryCount = 0;
  std::uint32_t entrySize = 0;
  std::uint32_t entriesCrc = 0;
};

// Checks the header at sector `lba`; the reason it is unusable, or empty.
std::string parseGptHeader(const TableReader& r, std::uint64_t lba, std::uint32_t sectorSize, GptHeader& out) {
  const std::vector<std::uint8_t> raw = r.sectorsAt(lba, 1);
  if (raw.empty()) return "it cannot be read";
  Bytes sector(raw);
  if (!bytesEqual(sector, 0, "EFI PART")) return "its signature is missing";
  const std::uint32_t headerSize = le32(sector, 12);
  if (headerSize < kGptHeaderMin || headerSize > sectorSize) return "its size field is not valid";
  std::vector<std::uint8_t> copy(raw.begin(), raw.begin() + headerSize);
  std::fill(copy.begin() + 16, copy.begin() + 20, 0);
  if (crc32Of(copy) != le32(sector, 16)) return "its CRC-32 does not match";
  out.myLba = le64(sector, 24);
  out.alternateLba = le64(sector, 32);
  out.entriesLba = le64(sector, 72);
  out.entryCount = le32(sector, 80);
  out.entrySize = le32(sector, 84);
  out.entriesCrc = le32(sector, 88);
  if (out.myLba != lba) return "it does not name its own position";
  if (out.entrySize < kGptEntryMin || out.entrySize % 8 != 0) return "its entry size is not valid";
  const std::uint64_t arrayBytes = static_cast<std::uint64_t>(out.entryCount) * out.entrySize;
  if (arrayBytes > kMaxGptArrayBytes) return "its entry array is implausibly large";
  return {};
}

// Reads and checks the entry array a valid header names; the reason it is unusable, or empty.
std::string readGptEntries(TableReader& r, const GptHeader& h, std::uint32_t sectorSize,
                           std::vector<PartitionEntry>& out) {
  const std::uint64_t arrayBytes = static_cast<std::uint64_t>(h.entryCount) * h.entrySize;
  const std::uint64_t arraySectors = (arrayBytes + sectorSize - 1) / sectorSize;
  if (arraySectors == 0) return {};
  std::vector<std::uint8_t> raw = r.sectorsAt(h.entriesLba, arraySectors);
  if (raw.empty()) return "its entry array cannot be read";
  Bytes array = Bytes(raw).first(static_cast<std::size_t>(arrayBytes));
  if (crc32Of(array) != h.entriesCrc) return "the CRC-32 of its entry array does not match";
  for (std::uint32_t i = 0; i < h.entryCount; ++i) {
    Bytes entry = array.subspan(static_cast<std::size_t>(i) * h.entrySize, h.entrySize);
    PartitionEntry e;
    std::copy_n(entry.begin(), 16, e.gptType.begin());
    if (std::all_of(e.gptType.begin(), e.gptType.end(), [](std::uint8_t b) { return b == 0; })) continue;
    const std::uint64_t first = le64(entry, 32);
    const std::uint64_t last = le64(entry, 40);
    e.number = static_cast<int>(i) + 1;
    if (last < first) {
      r.problem("GPT entry " + std::to_string(e.number) + " ends before it begins and is ignored");
      continue;
    }
    e.firstSector = first;
    e.sectorCount = last - first + 1;
    e.name = utf16Name(entry.subspan(56, std::min<std::size_t>(72, entry.size() - 56)));
    out.push_back(std::move(e));
  }
  return {};
}

// Reads one GPT copy (header at lba); the reason it is unusable, or empty.
std::string readGptCopy(TableReader& r, std::uint64_t lba, std::uint32_t sectorSize,
                        std::vector<PartitionEntry>& out, GptHeader& header) {
  if (std::string why = parseGptHeader(r, lba, sectorSize, header); !why.empty()) return why;
  return readGptEntries(r, header, sectorSize, out);
}

void readGpt(TableReader& r, PartitionTable& table) {
  std::vector<PartitionEntry> entries;
  GptHeader primary;
  const std::string primaryWhy = readGptCopy(r, 1, table.sectorSize, entries, primary);
  if (primaryWhy.empty()) {
    for (PartitionEntry& e : entries) r.add(std::move(e));
    return;
  }
  // The backup header is where the primary says (when its header at least was sound), else
  // in the last sector of the disk.
  std::set<std::uint64_t> candidates{r.sectors() - 1};
  if (primary.alternateLba != 0 && primary.alternateLba < r.sectors()) candidates.insert(primary.alternateLba);
  std::string backupWhy = "it cannot be found";
  for (std::uint64_t lba : candidates) {
    entries.clear();
    GptHeader backup;
    backupWhy = readGptCopy(r, lba, table.sectorSize, entries, backup);
    if (!backupWhy.empty()) continue;
    table.backupHeaderUsed = true;
    r.problem("the primary GPT is damaged (" + primaryWhy + "); the backup GPT was used");
    for (PartitionEntry& e : entries) r.add(std::move(e));
    return;
  }
  r.problem("the primary GPT is damaged (" + primaryWhy + ") and so is the backup (" + backupWhy + ")");
}

}  // namespace

PartitionTable readPartitionTable(const DiskReader& read, std::uint64_t diskBytes, std::uint32_t sectorSize) {
  PartitionTable table;
  table.sectorSize = (sectorSize == 512 || sectorSize == 4096) ? sectorSize : 512;
  std::vector<std::uint8_t> first(512);
  if (diskBytes < 512 || !read(0, first) || !looksLikeMbr(first)) return table;

  bool protective = false;
  for (int i = 0; i < 4; ++i) protective = protective || mbrEntry(first, i).type == kMbrProtective;
  if (!protective) {
    table.scheme = PartitionScheme::Mbr;
    TableReader r(read, diskBytes, table);
    readMbr(r, first);
    return table;
  }

  // A GPT disk: its header is in logical sector 1, at byte 512 or 4096.
  table.scheme = PartitionScheme::Gpt;
  std::vector<std::uint8_t> probe(8);
  for (std::uint32_t size : {table.sectorSize, table.sectorSize == 512 ? 4096u : 512u}) {
    if (diskBytes >= 2ull * size && read(size, probe) && bytesEqual(probe, 0, "EFI PART")) {
      table.sectorSize = size;
      break;
    }
  }
  TableReader r(read, diskBytes, table);
  readGpt(r, table);
  return table;
}

std::string guidText(std::span<const std::uint8_t, 16> g) {
  char text[40];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3], g[2],
                g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return text;
}

std::string partitionTypeName(const PartitionEntry& entry, PartitionScheme scheme) {
  if (scheme == PartitionScheme::Gpt) {
    const std::string guid = guidText(entry.gptType);
    if (guid == "C12A7328-F81F-11D2-BA4B-00A0C93EC93B") return "EFI system";
    if (guid == "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7") return "Microsoft basic data";
    if (guid == "E3C9E316-0B5C-4DB8-817D-F92DF00215AE") return "Microsoft reserved";
    if (guid == "0FC63DAF-8483-4772-8E79-3D69D8477DE4") return "Linux";
    if (guid == "48465300-0000-11AA-AA11-00306543ECAC") return "Apple HFS+";
    return guid;
  }
  switch (entry.mbrType) {
    case 0x01: return "FAT12";
    case 0x04:
    case 0x06:
    case 0x0E: return "FAT16";
    case 0x07: return "NTFS/exFAT";
    case 0x0B:
    case 0x0C: return "FAT32";
    case 0x82: return "Linux swap";
    case 0x83: return "Linux";
    case 0xAF: return "Apple HFS";
    case 0xEF: return "EFI system";
    default: break;
  }
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", entry.mbrType);
  return text;
}

}  // namespace vellumark
