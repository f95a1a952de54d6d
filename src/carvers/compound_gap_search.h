#pragma once
// The incremental check of an OLE2 compound file for the fragment search.
//
// The header lists the FAT sectors; the FAT gives the file's length and every chain; the
// directory names the streams. Those structures have a shape of their own (FAT entries are
// chain links below the sector count or one of the special values, and each FAT sector is
// marked as one in the FAT itself; directory entries have even name lengths, UTF-16 names,
// types and colours from a short list), and the application streams have a record
// structure that can be walked across cluster boundaries: Excel's BIFF records, PowerPoint's
// and OfficeArt's nested record headers, Word's text pieces (from the piece table) and
// formatting pages, property-set headers with their zero padding. Each cluster taken is
// checked as far as what is known allows; a record that began earlier tells where the next
// header must lie, so a wrong cluster inside a long record is found at the next header.
//
// A writer often puts the FAT and the directory at the end of the file: nothing could be
// checked until then. The carver therefore looks for those sectors first (hint()), among the
// free clusters ahead, by their shape; the check then knows the streams from the first
// cluster, and insists that the sectors it is given at those places are the ones hinted.
//
// The file is Complete when every byte its FAT describes is taken, every walk reached its
// stream's end and the compound-file consistency checks pass.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "carvers/compound_file.h"
#include "carvers/gap_search.h"

namespace vellumark::cfb {

class CompoundFragmentCheck final : public FragmentCheck {
 public:
  CompoundFragmentCheck();
  ~CompoundFragmentCheck() override;
  CompoundFragmentCheck(const CompoundFragmentCheck&) = delete;
  CompoundFragmentCheck& operator=(const CompoundFragmentCheck&) = delete;

  // Before the search: the bytes of compound sector n, found elsewhere. Only FAT and
  // directory sectors are hinted; a hint must match what is taken at that place later.
  void hint(std::uint32_t sector, Bytes bytes);

  [[nodiscard]] FragmentVerdict take(Bytes cluster) override;
  void save(std::size_t slot) override;
  void load(std::size_t slot) override;
  void forget(std::size_t slot) override;
  [[nodiscard]] std::uint64_t decodedBytes() const override;
  [[nodiscard]] std::int64_t blameFrom() const override { return blame_; }

  // Once Complete: the file, exactly as long as its FAT describes.
  [[nodiscard]] Bytes document() const;
  // Whether some check looked at a byte in [offset, offset + n) of the file as assembled.
  // Clusters no check looked into are trusted only where the file runs on unbroken.
  [[nodiscard]] bool confirmed(std::int64_t offset, std::int64_t n) const;

 private:
  struct State;
  struct Layout;
  struct Walk;

  [[nodiscard]] FragmentVerdict advance();
  [[nodiscard]] bool checkSector(std::uint32_t n);
  [[nodiscard]] bool learnFat();
  [[nodiscard]] bool learnDirectory();
  [[nodiscard]] bool runWalks();
  [[nodiscard]] FragmentVerdict finish();
  [[nodiscard]] std::optional<Bytes> sectorBytes(std::uint32_t n) const;
  [[nodiscard]] std::optional<Bytes> hintFor(std::uint32_t n) const;
  void confirm(std::int64_t offset, std::int64_t n);
  [[nodiscard]] std::int64_t blameAt(std::int64_t offset) const;
  [[nodiscard]] FragmentVerdict broken(std::int64_t offset);
  [[nodiscard]] bool refuse(std::int64_t offset) {
    blame_ = blameAt(offset);
    return false;
  }

  std::vector<std::uint8_t> file_;
  // Sectors located ahead of the walk, by compound sector number. Sparse: the number comes
  // from the file and may be anything up to 2^32.
  std::map<std::uint32_t, std::vector<std::uint8_t>> hints_;
  std::unique_ptr<State> st_;
  std::vector<std::unique_ptr<State>> slots_;
  std::int64_t blame_ = 0;
};

// Whether a sector has the shape of a FAT sector of a file with these FAT sectors (listed
// in the header), as sector `index` of the FAT: chain links below the sectors the FAT can
// describe, none to itself and no two to the same sector, special values, the listed FAT
// sectors marked as such.
[[nodiscard]] bool looksLikeFatSector(Bytes sector, std::size_t index, const std::vector<std::uint32_t>& fatSectors);

// Whether a sector has the shape of a directory sector: every 128-byte entry unused and
// blank, or a well-formed storage, stream or root entry, and one at least in use; `first`
// asks for the root entry in front.
[[nodiscard]] bool looksLikeDirectorySector(Bytes sector, bool first);

// Before the search: looks among the free clusters after the header at startSector for the
// file's FAT sectors and then its directory sectors, each where it would lie inside a
// cluster, by its shape; the nearest one found for each is hinted to the check. Reads each
// cluster at most once, and no more than maxClusters of them. Returns the length the FAT
// describes; -1 when the FAT was looked for and not found whole (the search would find it no
// more than this look did); 0 when it could not be looked for (a header the search cannot
// take, sectors that do not fit the clusters). With `memory`, what one call learnt of the
// clusters ahead (that they hold no FAT sector) spares the calls after it their reads, and
// the first pass's marks spare them the clusters it found no FAT sector in. With its `note`
// of the header (headerNote), a header of one FAT sector that no cluster ahead holds is
// turned down without being read.
struct HintAids {
  CarveMemory* memory = nullptr;
  std::uint64_t note = 0;
  const SectorMarks* marks = nullptr;  // used with memory only
};
std::int64_t hintStructure(CompoundFragmentCheck& check, const UsedSectorMap& claims, CarveReader& reader,
                   const GapSearchGeometry& geometry, std::int64_t startSector, std::int64_t maxClusters,
                   const HintAids& aids = {});

// After the search: whether the assembly may be trusted where no check looked. A cluster no
// check looked into is taken only where the file runs on in the same step before and after
// it (one piece, or the same round-robin stride): were a gap next to it, which clusters
// belong on either side of the gap could not be told apart.
[[nodiscard]] bool trustworthy(const CompoundFragmentCheck& check, const FragmentAssembly& assembly,
                               const GapSearchGeometry& geometry, std::int64_t startSector, std::int64_t length);

}  // namespace vellumark::cfb
