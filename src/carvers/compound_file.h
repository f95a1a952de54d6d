#pragma once
// Reading the structure of an OLE2 compound file: header, FAT (through the header's list and
// the DIFAT chain), directory, sector chains and streams, and the consistency checks that
// tell a whole compound file from a damaged one. Used by the compound-document carver, which
// assembles the file while the FAT tells it how far to go, and by code that reads streams of
// a recovered file held in memory.
//
// Sector n of a compound file lies at sectorBytes * (n + 1): the header takes the first
// sector (of which it uses 512 bytes).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/ole2.h"
#include "util/byte_reader.h"

namespace vellumark::cfb {

// Where the bytes of a compound file come from: ensure(end) makes the sector that ends at
// `end` available (assembling more sectors where it can), and range() gives bytes of the
// file made available so far; bytes() is the file from offset 0 as far as it is held in one
// piece (a supply may keep the sectors it looked at far ahead apart from it).
class ByteSupply {
 public:
  virtual ~ByteSupply() = default;
  [[nodiscard]] virtual bool ensure(std::int64_t end) = 0;
  [[nodiscard]] virtual Bytes bytes() const = 0;
  // `size` bytes from file offset `from`; empty when they are not available.
  [[nodiscard]] virtual Bytes range(std::int64_t from, std::int64_t size) const {
    const Bytes all = bytes();
    if (from < 0 || size < 0 || !fits(all, static_cast<std::size_t>(from), static_cast<std::size_t>(size))) return {};
    return all.subspan(static_cast<std::size_t>(from), static_cast<std::size_t>(size));
  }
};

// A compound file already in memory.
class WholeFile final : public ByteSupply {
 public:
  explicit WholeFile(Bytes file) : file_(file) {}
  [[nodiscard]] bool ensure(std::int64_t end) override { return end >= 0 && static_cast<std::uint64_t>(end) <= file_.size(); }
  [[nodiscard]] Bytes bytes() const override { return file_; }

 private:
  Bytes file_;
};

struct Header {
  std::int64_t sectorBytes = ole2::kSectorBytes;  // 512 or 4096
  std::uint16_t majorVersion = 3;
  std::uint32_t fatSectors = 0;          // as declared
  std::uint32_t firstDirectorySector = ole2::kEndOfChain;
  std::uint32_t miniStreamCutoff = ole2::kMiniStreamCutoff;
  std::uint32_t firstMiniFatSector = ole2::kEndOfChain;
  std::uint32_t miniFatSectors = 0;
  std::uint32_t firstDifatSector = ole2::kEndOfChain;
  std::uint32_t difatSectors = 0;
  // Highest sector a FAT or DIFAT sector may have before the length is known: the last one
  // below the document length limit.
  [[nodiscard]] std::int64_t initialSectorLimit() const { return ole2::kMaxDocumentBytes / sectorBytes - 2; }
  [[nodiscard]] std::int64_t sectorOffset(std::uint32_t n) const { return sectorBytes * (std::int64_t{n} + 1); }
  [[nodiscard]] std::int64_t sectorEnd(std::uint32_t n) const { return sectorBytes * (std::int64_t{n} + 2); }
};

// The header of a compound file with 512-byte sectors (major version 3) or 4096-byte
// sectors (major version 4); nullopt when the signature or the byte order and sector shift
// are not one of those.
[[nodiscard]] std::optional<Header> readHeader(Bytes file);

// Whether some 512 bytes of the cluster could belong to a FAT sector of any file the fragment
// search takes on (at most 109 FAT sectors of up to 4096 bytes): every entry one of the
// special values a FAT holds, or a link below the sectors such a FAT can describe. Noise
// fails at its first entry. Nothing that the search's FAT-sector shape accepts fails here.
[[nodiscard]] bool mayHoldFatSector(Bytes cluster);

// Why a carve turns a compound file down, in the words that both the carve and the turn-downs
// made from the first pass's note give.
inline constexpr std::string_view kFatSectorUnusable = "FAT sector out of range or listed twice";
inline constexpr std::string_view kFatSectorNotAssembled = "FAT sector not assembled";
inline constexpr std::string_view kDirectoryBeyondFile = "directory sector beyond the file";
inline constexpr std::string_view kDirectoryBeyondFat = "directory sector beyond the FAT";

// What the first pass notes of a compound-file header, so that the carves can turn down
// without reading it again a header whose FAT they cannot reach or find: the sector size, the
// first FAT sector the header lists (any number past the limit as limit + 1), whether that is
// the only one, how many 512-byte sectors right after the header (up to 63, of those in
// `following`) could hold no FAT sector, the first directory sector and whether a DIFAT chain
// begins. 0 for a sector that is no header, or lists no FAT sector.
[[nodiscard]] std::uint64_t headerNote(Bytes firstSector, Bytes following = {});

// Where, counted from the header, a carve of a header of one 512-byte FAT sector and no DIFAT
// chain would find the link of its first directory sector when no sector between is taken:
// the FAT entry of that sector, for a first directory sector below the FAT sector (and of an
// entry whose 8 bytes from there lie in the FAT sector). -1 for any other header.
[[nodiscard]] std::int64_t directoryLinkAhead(Bytes firstSector);
struct NotedHeader {
  Header header;                  // its sectorBytes, and firstDirectorySector when directoryNoted
  std::uint32_t firstFatSector = 0;
  bool onlyFatSector = false;     // the header lists that one FAT sector and counts one
  std::int64_t sectorsWithoutFat = 0;
  bool directoryNoted = false;    // the first directory sector is below 2^23
  bool noDifatChain = false;      // the header begins no DIFAT chain
};
[[nodiscard]] std::optional<NotedHeader> notedHeader(std::uint64_t note);

struct Fat {
  std::vector<std::uint32_t> entries;     // entry i: the sector after sector i in its chain
  std::vector<std::uint32_t> fatSectors;  // in the order listed
  std::vector<std::uint32_t> difatSectors;
  [[nodiscard]] std::uint32_t next(std::uint32_t sector) const {
    return sector < entries.size() ? entries[sector] : ole2::kFreeSector;
  }
};

// Collects the FAT: the sectors the header lists (up to its first free entry), then those the
// DIFAT chain lists. They may come in any order; a sector listed twice (as a FAT or a DIFAT
// sector), a DIFAT chain that comes back on itself, a sector beyond the length limit, or more
// FAT than a document under that limit can have fails. Returns "" or what is wrong.
[[nodiscard]] std::string collectFat(ByteSupply& supply, const Header& header, Fat& fat);

// The length the FAT describes: header plus sectors 0..k, k the last entry in use; 0 when
// none is.
[[nodiscard]] std::int64_t describedLength(const Header& header, const Fat& fat);

// The directory stream: sectors of the chain from the header's first directory sector, each
// at most sectorLimit, at most 20 sectors in all. Returns "" or what is wrong.
[[nodiscard]] std::string collectDirectory(ByteSupply& supply, const Header& header, const Fat& fat,
                                           std::int64_t sectorLimit, std::vector<std::uint8_t>& directory);

inline constexpr std::size_t kMaxDirectorySectors = 20;

struct DirEntry {
  std::u16string name;  // as stored, up to (not including) its terminating zero
  std::uint16_t nameLength = 0;  // in bytes, the terminating zero included
  std::uint8_t type = ole2::kEntryUnused;
  std::uint8_t color = 0;
  std::uint32_t left = ole2::kNoStream;
  std::uint32_t right = ole2::kNoStream;
  std::uint32_t child = ole2::kNoStream;
  std::uint32_t startSector = ole2::kEndOfChain;
  std::uint64_t size = 0;
  [[nodiscard]] bool nameIs(std::string_view ascii) const;
};

// Every whole 128-byte entry of the directory stream.
[[nodiscard]] std::vector<DirEntry> parseDirectory(Bytes directory);

// Follows a chain through `next` (a FAT or a mini FAT) from `start`: each link below
// `sectorCount`, no sector twice, no free or special marker inside, ended by end-of-chain,
// at most maxLength sectors. Returns "" or what is wrong.
[[nodiscard]] std::string followChain(const std::vector<std::uint32_t>& next, std::uint32_t start, std::int64_t sectorCount,
                                      std::size_t maxLength, std::vector<std::uint32_t>& chain);

// The consistency of a compound file of `length` bytes (its FAT-described length, held whole
// in `file`): every directory entry is well formed and reachable once from the root through
// the directory tree; every stream's start and size lie inside the file, in the big-sector
// or the mini stream; every chain (directory, mini FAT, each stream) is well formed and as
// long as its size needs; no sector belongs to two chains or to a chain and the FAT. Returns
// "" or what is wrong.
[[nodiscard]] std::string checkStructure(Bytes file, std::int64_t length, const Header& header, const Fat& fat,
                                         const std::vector<DirEntry>& entries);

// The content of a stream entry of a whole compound file (from the big sectors, or from the
// mini stream when it is shorter than the cutoff); nullopt when its chain is broken.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> readStream(Bytes file, const Header& header, const Fat& fat,
                                                                  const std::vector<DirEntry>& entries, const DirEntry& entry);

// The structure of a compound file held whole in memory (a recovered document), read with
// the same rules the carver applies while assembling one.
struct CompoundFile {
  Header header;
  Fat fat;
  std::vector<DirEntry> entries;
  // The stream entry of that name, or null.
  [[nodiscard]] const DirEntry* stream(std::string_view ascii) const;
};
[[nodiscard]] std::optional<CompoundFile> openCompoundFile(Bytes file);

}  // namespace vellumark::cfb
